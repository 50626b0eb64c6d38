// The settings file reader: any bytes as Quorvel.ini, then one property
// write. Reading must give well-formed values within the read buffer; the
// write must reach the file, change no other setting, and leave every byte
// of the file outside the one line it writes (or adds) as it was.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/posix_calls.h"
#include "settings/ProfileFile.h"
#include "settings/uSettingsClass.h"
#include "support/TempDir.h"

namespace {

constexpr size_t kMaxValueUnits = 2047;

// One folder for the whole run; each input replaces the file in it.
const TempDir& Folder() {
  static const TempDir folder;
  return folder;
}

// The ten settings as texts, in the order of the file's keys.
enum TSetting {
  Server,
  Port,
  User,
  Pass,
  KassaPath,
  PriceSync,
  ChSync,
  AutoStart,
  ScalePath,
  ScaleSync
};
using TValues = std::array<std::string, 10>;

TValues ValuesOf(const TQuorvelSettings& Settings) {
  return {Settings.FTPServer(), Settings.FTPPort(),
          Settings.FTPUser(),   Settings.FTPPass(),
          Settings.KassaPath(), Settings.PriceSync(),
          Settings.ChSync(),    Settings.AutoStartThread() ? "1" : "0",
          Settings.ScalePath(), Settings.ScaleSync()};
}

size_t Utf16Units(std::string_view Text) {
  size_t units = 0;
  for (size_t pos = 0; pos < Text.size();) units += DecodeUtf8(Text, pos) >= 0x10000 ? 2 : 1;
  return units;
}

void CheckValue(const std::string& Value) {
  FUZZ_CHECK(IsValidUtf8(Value));
  FUZZ_CHECK(Utf16Units(Value) <= kMaxValueUnits);
}

// The file in its code units; a UTF-16 file's last odd byte, half a unit,
// stands for itself and equals no whole unit.
std::vector<char32_t> CodeUnits(const std::string& Bytes, TProfileEncoding Encoding) {
  const size_t width = Encoding == TProfileEncoding::Utf16LE ? 2 : 1;
  std::vector<char32_t> units;
  for (size_t pos = 0; pos < Bytes.size(); pos += width) {
    char32_t unit = static_cast<unsigned char>(Bytes[pos]);
    if (width == 2) {
      unit = pos + 1 < Bytes.size()
                 ? unit | static_cast<char32_t>(static_cast<unsigned char>(Bytes[pos + 1])) << 8
                 : unit | 0x10000;
    }
    units.push_back(unit);
  }
  return units;
}

// The write changed at most the inside of one line: the units before and
// after the change are the old file's, and what the old file had in their
// place holds no line end.
void CheckOneLineChanged(const std::string& Before, const std::string& After,
                         TProfileEncoding Encoding) {
  const std::vector<char32_t> before = CodeUnits(Before, Encoding);
  const std::vector<char32_t> after = CodeUnits(After, Encoding);
  size_t prefix = 0;
  while (prefix < before.size() && prefix < after.size() && before[prefix] == after[prefix])
    ++prefix;
  size_t suffix = 0;
  while (suffix < before.size() - prefix && suffix < after.size() - prefix &&
         before[before.size() - 1 - suffix] == after[after.size() - 1 - suffix]) {
    ++suffix;
  }
  for (size_t pos = prefix; pos < before.size() - suffix; ++pos)
    FUZZ_CHECK(before[pos] != '\r' && before[pos] != '\n');
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Flushing to disk proves nothing here and would cost milliseconds per input.
  PosixCalls().Fsync = [](int) { return 0; };
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string before(reinterpret_cast<const char*>(Data), Size);
  Folder().Write("Quorvel.ini", before);

  TQuorvelSettings settings(Folder().Path());
  FUZZ_CHECK(settings.FileName() == Folder().Path() + "Quorvel.ini");
  const TValues values = ValuesOf(settings);
  for (const std::string& value : values) CheckValue(value);

  TValues expected = values;
  switch (Size % 4) {
    case 0:
      expected[ChSync] = "01.02.2024 10:11:12";
      settings.SetChSync(expected[ChSync]);
      break;
    case 1:
      expected[Server] = "ftp.example.test";
      settings.SetFTPServer(expected[Server]);
      break;
    case 2:
      expected[AutoStart] = settings.AutoStartThread() ? "0" : "1";
      settings.SetAutoStartThread(!settings.AutoStartThread());
      break;
    default:
      expected[KassaPath] = "C:\\Касса\\";
      settings.SetKassaPath(expected[KassaPath]);
      break;
  }
  FUZZ_CHECK(ValuesOf(settings) == expected);

  const std::string after = Folder().Read("Quorvel.ini");
  const TProfileEncoding encoding = TProfileFile(before).Encoding();
  CheckOneLineChanged(before, after, encoding);
  // A file without a byte-order mark is UTF-8 when all of it is, else code
  // page 1251. A write that replaces the only line that was not UTF-8 turns
  // the file into UTF-8, and then the other lines read as UTF-8 too: they
  // may read otherwise than before, though not one of their bytes changed.
  const TProfileEncoding encodingAfter = TProfileFile(after).Encoding();
  FUZZ_CHECK(encodingAfter == encoding ||
             (encoding == TProfileEncoding::Ansi && encodingAfter == TProfileEncoding::Utf8));
  const TValues reread = ValuesOf(TQuorvelSettings(Folder().Path()));
  for (size_t i = 0; i < reread.size(); ++i) {
    if (encodingAfter == encoding || expected[i] != values[i]) FUZZ_CHECK(reread[i] == expected[i]);
  }
  return 0;
}
