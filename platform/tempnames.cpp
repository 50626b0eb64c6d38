#include "platform/tempnames.h"

#include <atomic>

#include "platform/files.h"
#include "platform/paths.h"

namespace {

constexpr std::string_view kSuffix = ".tmp";
// Leaves room below the usual 255-character name limit for the rest.
constexpr size_t kMaxNamePart = 200;

size_t NameStart(const std::string& Path) {
  const size_t Delim = Path.find_last_of(std::string("/") + PathDelim);
  return Delim == std::string::npos ? 0 : Delim + 1;
}

bool AllDigits(std::string_view Text) {
  if (Text.empty()) return false;
  for (const char C : Text) {
    if (C < '0' || C > '9') return false;
  }
  return true;
}

}  // namespace

std::string TemporaryNameFor(const std::string& Path) {
  static std::atomic<unsigned> Counter{0};
  const size_t Start = NameStart(Path);
  return Path.substr(0, Start) + "." + Path.substr(Start, kMaxNamePart) + "." +
         std::to_string(CurrentProcessId()) + "-" + std::to_string(++Counter) +
         std::string(kSuffix);
}

bool IsTemporaryName(std::string_view Name) {
  // "." name "." pid "-" N ".tmp", the name itself not empty.
  if (Name.size() < 1 + 1 + 1 + 1 + 1 + 1 + kSuffix.size() || Name.front() != '.' ||
      Name.substr(Name.size() - kSuffix.size()) != kSuffix) {
    return false;
  }
  Name.remove_suffix(kSuffix.size());
  const size_t Dash = Name.rfind('-');
  if (Dash == std::string_view::npos || !AllDigits(Name.substr(Dash + 1))) return false;
  Name = Name.substr(0, Dash);
  const size_t Dot = Name.rfind('.');
  return Dot != std::string_view::npos && Dot > 1 && AllDigits(Name.substr(Dot + 1));
}

void RemoveTemporaryLeftovers(const std::string& Folder) {
  for (const std::string& Name : FindFiles(Folder, ".*.tmp")) {
    if (IsTemporaryName(Name)) DeleteLocalFile(IncludeTrailingPathDelimiter(Folder) + Name);
  }
}
