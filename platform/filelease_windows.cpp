#include "platform/filelease.h"

#include "platform/wintext.h"

THeldOpen ProbeHeldOpen(const std::string& Path) {
  // An open that shares nothing is refused while any other handle of the
  // file is open, as the till's own handle is while it writes a receipt.
  const HANDLE File = CreateFileW(Widen(Path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (File == INVALID_HANDLE_VALUE) {
    return GetLastError() == ERROR_SHARING_VIOLATION ? THeldOpen::Yes : THeldOpen::Unknown;
  }
  CloseHandle(File);
  return THeldOpen::No;
}
