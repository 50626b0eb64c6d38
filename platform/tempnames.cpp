#include "platform/tempnames.h"

#include <algorithm>
#include <atomic>

#include "platform/files.h"
#include "platform/paths.h"

namespace {

bool AllDigits(std::string_view Text) {
  return !Text.empty() &&
         std::all_of(Text.begin(), Text.end(), [](char C) { return C >= '0' && C <= '9'; });
}

}  // namespace

std::string TemporaryNameFor(const std::string& Path) {
  static std::atomic<uint64_t> Counter{0};
  // Leaves room below the usual 255-byte name limit for the suffix.
  constexpr size_t MaxNamePart = 200;
  const size_t Delim = Path.rfind(PathDelim);
  const size_t Start = Delim == std::string::npos ? 0 : Delim + 1;
  return Path.substr(0, Start) + "." + Path.substr(Start, MaxNamePart) + "." +
         std::to_string(CurrentProcessId()) + "-" + std::to_string(++Counter) + ".tmp";
}

bool IsTemporaryName(std::string_view Name) {
  constexpr std::string_view Tail = ".tmp";
  if (Name.size() < 2 || Name.front() != '.' || !Name.ends_with(Tail)) return false;
  const std::string_view Body = Name.substr(1, Name.size() - 1 - Tail.size());
  // "<name>.<pid>-<N>" with a name of at least one character.
  const size_t Dot = Body.rfind('.');
  if (Dot == std::string_view::npos || Dot == 0) return false;
  const std::string_view Stamp = Body.substr(Dot + 1);
  const size_t Dash = Stamp.find('-');
  return Dash != std::string_view::npos && AllDigits(Stamp.substr(0, Dash)) &&
         AllDigits(Stamp.substr(Dash + 1));
}

void RemoveTemporaryLeftovers(const std::string& Folder) {
  const std::string Prefix = IncludeTrailingPathDelimiter(Folder);
  for (const std::string& Name : FindFiles(Folder, "*.tmp")) {
    if (IsTemporaryName(Name)) DeleteLocalFile(Prefix + Name);
  }
}
