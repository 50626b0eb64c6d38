#include "platform/paths.h"

std::string IncludeTrailingPathDelimiter(std::string_view folder) {
  std::string result(folder);
  if (result.empty() || result.back() != PathDelim) result += PathDelim;
  return result;
}
