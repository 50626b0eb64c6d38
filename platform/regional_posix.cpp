#include "platform/regional.h"

#include <iconv.h>
#include <langinfo.h>

#include <clocale>
#include <cstdlib>
#include <cstring>

#include "platform/codepage.h"

namespace {

// The locale the environment selects for LC_TIME, by the POSIX precedence.
// Read from the environment rather than the process locale, which a
// program without a window never sets.
std::string TimeLocaleName() {
  for (const char* variable : {"LC_ALL", "LC_TIME", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0') return value;
  }
  return "C";
}

std::string ToUtf8(const char* text, const char* codeset) {
  if (std::strcmp(codeset, "UTF-8") == 0) return IsValidUtf8(text) ? text : std::string();
  iconv_t converter = iconv_open("UTF-8", codeset);
  // iconv_open reports failure as (iconv_t)-1.
  if (converter == reinterpret_cast<iconv_t>(-1)) return {};  // NOLINT(performance-no-int-to-ptr)
  std::string in(text);
  std::string out(in.size() * 4 + 4, '\0');
  char* inPointer = in.data();
  size_t inLeft = in.size();
  char* outPointer = out.data();
  size_t outLeft = out.size();
  const size_t converted = iconv(converter, &inPointer, &inLeft, &outPointer, &outLeft);
  iconv_close(converter);
  if (converted == static_cast<size_t>(-1)) return {};
  out.resize(out.size() - outLeft);
  return out;
}

}  // namespace

std::array<std::string, 12> RegionalShortMonthNames() {
  std::array<std::string, 12> names;
  // The character set of the names is that of the same locale's LC_CTYPE.
  locale_t locale = newlocale(LC_TIME_MASK | LC_CTYPE_MASK, TimeLocaleName().c_str(), nullptr);
  if (locale == nullptr) return names;
  const char* codeset = nl_langinfo_l(CODESET, locale);
  for (int month = 0; month < 12; ++month) {
    names[month] = ToUtf8(nl_langinfo_l(ABMON_1 + month, locale), codeset);
  }
  freelocale(locale);
  return names;
}
