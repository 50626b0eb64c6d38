// The settings file reader: any bytes as Quorvel.ini, then one property
// write. Reading must give well-formed values within the read buffer; the
// write must reach the file, change no other setting, and leave every byte
// of the file outside the one line it writes (or adds) as it was.

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

struct TValues {
  std::string FTPServer, FTPPort, FTPUser, FTPPass, KassaPath, PriceSync, ChSync, ScalePath,
      ScaleSync;
  bool AutoStartThread;
  bool operator==(const TValues&) const = default;
};

TValues ValuesOf(const TQuorvelSettings& Settings) {
  return {Settings.FTPServer(), Settings.FTPPort(),   Settings.FTPUser(),
          Settings.FTPPass(),   Settings.KassaPath(), Settings.PriceSync(),
          Settings.ChSync(),    Settings.ScalePath(), Settings.ScaleSync(),
          Settings.AutoStartThread()};
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
  TValues values = ValuesOf(settings);
  for (const std::string* text :
       {&values.FTPServer, &values.FTPPort, &values.FTPUser, &values.FTPPass, &values.KassaPath,
        &values.PriceSync, &values.ChSync, &values.ScalePath, &values.ScaleSync}) {
    CheckValue(*text);
  }

  switch (Size % 4) {
    case 0:
      settings.SetChSync("01.02.2024 10:11:12");
      values.ChSync = "01.02.2024 10:11:12";
      break;
    case 1:
      settings.SetFTPServer("ftp.example.test");
      values.FTPServer = "ftp.example.test";
      break;
    case 2:
      settings.SetAutoStartThread(!settings.AutoStartThread());
      values.AutoStartThread = !values.AutoStartThread;
      break;
    default:
      settings.SetKassaPath("C:\\Касса\\");
      values.KassaPath = "C:\\Касса\\";
      break;
  }
  FUZZ_CHECK(ValuesOf(settings) == values);

  const std::string after = Folder().Read("Quorvel.ini");
  CheckOneLineChanged(before, after, TProfileFile(before).Encoding());
  FUZZ_CHECK(ValuesOf(TQuorvelSettings(Folder().Path())) == values);
  return 0;
}
