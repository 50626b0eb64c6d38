#include "platform/exename.h"

#include "platform/files.h"
#include "platform/wintext.h"

std::string ExecutableFileName() {
  std::wstring Path(32768, L'\0');
  const DWORD Length = GetModuleFileNameW(nullptr, Path.data(), static_cast<DWORD>(Path.size()));
  if (Length == 0 || Length >= Path.size()) return {};
  Path.resize(Length);
  return Narrow(Path.substr(Path.find_last_of(L"\\/:") + 1));
}
