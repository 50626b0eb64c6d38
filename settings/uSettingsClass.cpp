#include "settings/uSettingsClass.h"

#include <optional>
#include <utility>

#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "settings/IntegerText.h"
#include "settings/ProfileFile.h"

TQuorvelSettings* Settings = nullptr;

namespace {

constexpr std::string_view kSection = "main";
constexpr std::string_view kServer = "server";
constexpr std::string_view kPort = "port";
constexpr std::string_view kUser = "user";
constexpr std::string_view kPass = "pass";
constexpr std::string_view kKassaPath = "kassaPath";
constexpr std::string_view kPriceSync = "PriceSync";
constexpr std::string_view kChSync = "ChSync";
constexpr std::string_view kAutoStartThread = "AutoStartThread";
constexpr std::string_view kScalePath = "ScalePath";
constexpr std::string_view kScaleSync = "ScaleSync";

// Values are read through a buffer of 2048 UTF-16 characters, the terminator
// included.
constexpr size_t kMaxValueUnits = 2047;

std::string& AppDirectoryText() {
  static std::string Dir;
  return Dir;
}

// The longest start of Text that fits the read buffer; a character taking two
// UTF-16 units is never cut in half.
std::string FitReadBuffer(std::string Text) {
  size_t Units = 0;
  size_t Pos = 0;
  while (Pos < Text.size()) {
    size_t Next = Pos;
    const long Code = DecodeUtf8(Text, Next);
    Units += Code >= 0x10000 ? 2 : 1;
    if (Units > kMaxValueUnits) {
      Text.resize(Pos);
      break;
    }
    Pos = Next;
  }
  return Text;
}

}  // namespace

const std::string& ApplicationDirectory() { return AppDirectoryText(); }

void InitApplicationDirectory(const std::string& Dir) { AppDirectoryText() = Dir; }

TQuorvelSettings::TQuorvelSettings(std::string AppDirectory)
    : FAppDirectory(std::move(AppDirectory)), FFileName(FAppDirectory + "Quorvel.ini") {
  LoadSettings();
}

void TQuorvelSettings::LoadSettings() {
  TProfileFile Profile;
  try {
    if (FileExists(FFileName)) Profile = TProfileFile(LoadFileBytes(FFileName));
  } catch (const EFileError&) {
    // An unreadable file reads like a missing one: every key takes its default.
  }
  const auto Read = [&Profile](std::string_view Key, const std::string& Default) {
    return FitReadBuffer(Profile.ReadString(kSection, Key).value_or(Default));
  };
  FFTPServer = Read(kServer, "");
  FFTPPort = Read(kPort, "21");
  FFTPUser = Read(kUser, "");
  FFTPPass = Read(kPass, "");
  FKassaPath = Read(kKassaPath, FAppDirectory);
  FPriceSync = Read(kPriceSync, "");
  FChSync = Read(kChSync, "");
  int32_t AutoStart = 0;
  FAutoStartThread = TryStrToInt(Read(kAutoStartThread, ""), AutoStart) && AutoStart != 0;
  FScalePath = Read(kScalePath, FAppDirectory);
  FScaleSync = Read(kScaleSync, "");
}

void TQuorvelSettings::WriteSettings() {
  WriteKeys({{kServer, FFTPServer},
             {kPort, FFTPPort},
             {kUser, FFTPUser},
             {kPass, FFTPPass},
             {kKassaPath, FKassaPath},
             {kChSync, FChSync},
             {kPriceSync, FPriceSync},
             {kAutoStartThread, FAutoStartThread ? "1" : "0"},
             {kScaleSync, FScaleSync},
             {kScalePath, FScalePath}});
}

void TQuorvelSettings::Assign(std::string& Field, std::string_view Key, const std::string& Value) {
  Field = Value;
  WriteKeys({{Key, Field}});
}

void TQuorvelSettings::WriteKeys(std::initializer_list<TKeyValue> Keys) {
  try {
    TProfileFile Profile =
        FileExists(FFileName) ? TProfileFile(LoadFileBytes(FFileName)) : TProfileFile();
    for (const auto& [Key, Value] : Keys) Profile.WriteString(kSection, Key, Value);
    // The file holds the FTP password.
    SaveFileBytes(FFileName, Profile.Bytes(), TNewFileAccess::OwnerOnly);
  } catch (const EFileError&) {
    throw EQuorvelError("Unable to write to " + FFileName);
  }
}

void TQuorvelSettings::SetFTPServer(const std::string& Value) {
  Assign(FFTPServer, kServer, Value);
}

void TQuorvelSettings::SetFTPPort(const std::string& Value) { Assign(FFTPPort, kPort, Value); }

void TQuorvelSettings::SetFTPUser(const std::string& Value) { Assign(FFTPUser, kUser, Value); }

void TQuorvelSettings::SetFTPPass(const std::string& Value) { Assign(FFTPPass, kPass, Value); }

void TQuorvelSettings::SetKassaPath(const std::string& Value) {
  Assign(FKassaPath, kKassaPath, Value);
}

void TQuorvelSettings::SetPriceSync(const std::string& Value) {
  Assign(FPriceSync, kPriceSync, Value);
}

void TQuorvelSettings::SetChSync(const std::string& Value) { Assign(FChSync, kChSync, Value); }

void TQuorvelSettings::SetAutoStartThread(bool Value) {
  FAutoStartThread = Value;
  WriteKeys({{kAutoStartThread, FAutoStartThread ? "1" : "0"}});
}

void TQuorvelSettings::SetScalePath(const std::string& Value) {
  Assign(FScalePath, kScalePath, Value);
}

void TQuorvelSettings::SetScaleSync(const std::string& Value) {
  Assign(FScaleSync, kScaleSync, Value);
}
