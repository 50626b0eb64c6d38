// The settings file reader: any bytes as Quorvel.ini, then one property
// write. Reading must give well-formed values within the read buffer; the
// write must reach the file, change no other setting, and leave every byte
// of the file outside the one line it writes (or adds) as it was.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "app/ProfileFile.h"
#include "app/uSettingsClass.h"
#include "fuzz/FuzzCheck.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/posix_calls.h"
#include "support/TempDir.h"

namespace {

constexpr size_t kMaxValueUnits = 2047;

// One folder for the whole run; each input replaces the file in it.
const TempDir& Folder() {
  static const TempDir folder;
  return folder;
}

// The ten settings as texts, in the order of the file's keys.
enum TSetting { Server, Port, User, Pass, KassaPath, PriceSync, ChSync, AutoStart, ScalePath, ScaleSync };
using TValues = std::array<std::string, 10>;

TValues ValuesOf(const TQuorvelSettings& Settings) {
  return {Settings.FTPServer(), Settings.FTPPort(),   Settings.FTPUser(),
          Settings.FTPPass(),   Settings.KassaPath(), Settings.PriceSync(),
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

// The write changed at most the inside of one line: the bytes before and
// after the change are the old file's, and what the old file had in their
// place holds no line end (in the file's own code units).
void CheckOneLineChanged(const std::string& Before, const std::string& After,
                         TProfileEncoding Encoding) {
  size_t prefix = 0;
  while (prefix < Before.size() && prefix < After.size() && Before[prefix] == After[prefix]) ++prefix;
  size_t suffix = 0;
  while (suffix < Before.size() - prefix && suffix < After.size() - prefix &&
         Before[Before.size() - 1 - suffix] == After[After.size() - 1 - suffix]) {
    ++suffix;
  }
  const size_t width = Encoding == TProfileEncoding::Utf16LE ? 2 : 1;
  // A half code unit at the end of a UTF-16 file is no line end.
  for (size_t pos = prefix - prefix % width; pos < Before.size() - suffix && pos + width <= Before.size();
       pos += width) {
    char32_t unit = static_cast<unsigned char>(Before[pos]);
    if (width == 2) unit |= static_cast<char32_t>(static_cast<unsigned char>(Before[pos + 1])) << 8;
    FUZZ_CHECK(unit != '\r' && unit != '\n');
  }
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
             (encoding == TProfileEncoding::Cp1251 && encodingAfter == TProfileEncoding::Utf8));
  const TValues reread = ValuesOf(TQuorvelSettings(Folder().Path()));
  for (size_t i = 0; i < reread.size(); ++i) {
    if (encodingAfter == encoding || expected[i] != values[i]) FUZZ_CHECK(reread[i] == expected[i]);
  }
  return 0;
}
