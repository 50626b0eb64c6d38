#include <gtest/gtest.h>
#include <windows.h>

#include <ostream>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/wintext.h"
#include "settings/ProfileFile.h"
#include "settings/uSettingsClass.h"
#include "support/TempDir.h"

// The settings file between the project's own profile code and the
// platform's GetPrivateProfileStringW / WritePrivateProfileStringW: whatever
// one of them writes, the other reads with the same values, in each encoding
// a settings file comes in.

namespace {

// How a file starts before the first key is written: missing, or only the
// byte-order mark that selects its encoding.
struct TStartingFile {
  const char* Name;
  std::string Bytes;  // empty: no file
  bool Exists;
};

void PrintTo(const TStartingFile& File, std::ostream* Out) { *Out << File.Name; }

const std::vector<TStartingFile>& StartingFiles() {
  static const std::vector<TStartingFile> Files = {
      {"New", "", false},
      {"Ansi", "[main]\r\n", true},
      {"Utf16", std::string("\xFF\xFE[\0m\0a\0i\0n\0]\0\r\0\n\0", 18), true},
      {"Utf8", "\xEF\xBB\xBF[main]\r\n", true},
  };
  return Files;
}

struct TKeyValue {
  std::string Key;
  std::string Value;
};

std::string Long3000() {
  std::string Value;
  for (int I = 0; I < 1000; ++I) Value += "aя";  // a Cyrillic letter is two UTF-8 bytes
  return Value + std::string(1000, 'z');
}

const std::vector<TKeyValue>& Values() {
  static const std::vector<TKeyValue> Keys = {
      {"server", "ftp.example.ru"},
      {"kassaPath", "C:\\Касса\\Магазин №5"},
      {"pass", "пароль с пробелами"},
      {"ChSync", "10.12.2026 14:03:59"},
      {"empty", ""},
      {"long", Long3000()},
  };
  return Keys;
}

std::string PlatformRead(const std::string& File, const std::string& Key) {
  std::wstring Buffer(8192, L'\0');
  const DWORD Length =
      GetPrivateProfileStringW(L"main", Widen(Key).c_str(), L"<missing>", Buffer.data(),
                               static_cast<DWORD>(Buffer.size()), Widen(File).c_str());
  Buffer.resize(Length);
  return Narrow(Buffer);
}

bool PlatformWrite(const std::string& File, const std::string& Key, const std::string& Value) {
  return WritePrivateProfileStringW(L"main", Widen(Key).c_str(), Widen(Value).c_str(),
                                    Widen(File).c_str()) != 0;
}

void Start(const TStartingFile& Start, const std::string& File) {
  if (Start.Exists) SaveFileBytes(File, Start.Bytes);
}

class ProfileCompatibility : public ::testing::TestWithParam<TStartingFile> {
 protected:
  // Each case its own file, so the platform's profile cache never answers
  // from an earlier case.
  std::string File() const { return FDir.Path() + GetParam().Name + ".ini"; }

  TempDir FDir;
};

}  // namespace

TEST_P(ProfileCompatibility, WhatTheProjectWritesThePlatformReads) {
  Start(GetParam(), File());
  for (const TKeyValue& Key : Values()) {
    TProfileFile Profile =
        FileExists(File()) ? TProfileFile(LoadFileBytes(File())) : TProfileFile();
    Profile.WriteString("main", Key.Key, Key.Value);
    SaveFileBytes(File(), Profile.Bytes());
  }
  for (const TKeyValue& Key : Values()) {
    SCOPED_TRACE(Key.Key);
    EXPECT_EQ(PlatformRead(File(), Key.Key), Key.Value);
  }
}

TEST_P(ProfileCompatibility, WhatThePlatformWritesTheProjectReads) {
  Start(GetParam(), File());
  for (const TKeyValue& Key : Values()) ASSERT_TRUE(PlatformWrite(File(), Key.Key, Key.Value));
  const TProfileFile Profile(LoadFileBytes(File()));
  for (const TKeyValue& Key : Values()) {
    SCOPED_TRACE(Key.Key);
    EXPECT_EQ(Profile.ReadString("main", Key.Key), Key.Value);
  }
}

// The settings object end to end: its own writes, read by the platform with
// the 2048-character buffer of the program, and back.
TEST_P(ProfileCompatibility, TheSettingsObjectAndThePlatformAgree) {
  const std::string Folder = FDir.Path() + GetParam().Name + "\\";
  ASSERT_TRUE(ForceDirectories(Folder));
  Start(GetParam(), Folder + "Quorvel.ini");
  {
    TQuorvelSettings Written(Folder);
    Written.SetKassaPath("D:\\Касса\\");
    Written.SetFTPPass(Long3000());
    Written.SetAutoStartThread(true);
  }
  const std::string File = Folder + "Quorvel.ini";
  EXPECT_EQ(PlatformRead(File, "kassaPath"), "D:\\Касса\\");
  EXPECT_EQ(PlatformRead(File, "AutoStartThread"), "1");
  wchar_t Buffer[2048];
  GetPrivateProfileStringW(L"main", L"pass", L"", Buffer, 2048, Widen(File).c_str());
  EXPECT_EQ(Narrow(Buffer), Narrow(Widen(Long3000()).substr(0, 2047)));

  ASSERT_TRUE(PlatformWrite(File, "ScalePath", "E:\\Весы"));
  ASSERT_TRUE(PlatformWrite(File, "port", ""));
  const TQuorvelSettings Read(Folder);
  EXPECT_EQ(Read.ScalePath(), "E:\\Весы");
  EXPECT_EQ(Read.KassaPath(), "D:\\Касса\\");
  EXPECT_EQ(Read.FTPPort(), "");
  EXPECT_TRUE(Read.AutoStartThread());
  EXPECT_EQ(Read.FTPPass(), Narrow(Widen(Long3000()).substr(0, 2047)));
}

INSTANTIATE_TEST_SUITE_P(Files, ProfileCompatibility, ::testing::ValuesIn(StartingFiles()),
                         [](const auto& Info) { return std::string(Info.param.Name); });
