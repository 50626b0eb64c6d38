#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/errors.h"
#include "settings/IntegerText.h"
#include "settings/uSettingsClass.h"
#include "support/ChildProcess.h"
#include "support/PosixFaults.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

// Started again by the read-only tests below as another user, this program
// only tries one settings write in the folder it is given and prints what
// came of it.
const bool kChildRun = [] {
  const char* Dir = std::getenv("QUORVEL_TEST_WRITE_SETTINGS_IN");
  if (Dir == nullptr) return false;
  try {
    TQuorvelSettings Store(Dir);
    Store.SetFTPServer("changed");
    std::fputs("written", stdout);
  } catch (const EQuorvelError& Error) {
    std::fputs(Error.what(), stdout);
  }
  std::fflush(stdout);
  std::_Exit(0);
}();

// The bytes Windows writes for a Unicode profile file: UTF-16LE with its
// byte-order mark.
std::string Utf16LE(std::u16string_view Text) {
  std::string Bytes = "\xFF\xFE";
  for (const char16_t Unit : Text) {
    Bytes += static_cast<char>(Unit & 0xFF);
    Bytes += static_cast<char>(Unit >> 8);
  }
  return Bytes;
}

class SettingsFile : public ::testing::Test {
 protected:
  std::string Ini() const { return Dir.Read("Quorvel.ini"); }
  void SetIni(const std::string& Bytes) const { Dir.Write("Quorvel.ini", Bytes); }
  TQuorvelSettings Load() const { return TQuorvelSettings(Dir.Path()); }

  TempDir Dir;
};

}  // namespace

TEST(IntegerText, TheWholeTextOrNothing) {
  struct Case {
    const char* Text;
    bool Valid;
    int32_t Value;
  };
  const Case Cases[] = {
      {"0", true, 0},
      {"1", true, 1},
      {"2", true, 2},
      {"-1", true, -1},
      {"+7", true, 7},
      {"   42", true, 42},
      {"007", true, 7},
      {"2147483647", true, 2147483647},
      {"-2147483648", true, -2147483647 - 1},
      {"$1", true, 1},
      {"0x1", true, 1},
      {"0X1f", true, 31},
      {"x1", true, 1},
      {"X1", true, 1},
      {"$fF", true, 255},
      {"-$10", true, -16},
      {"$7FFFFFFF", true, 2147483647},
      {"$FFFFFFFF", true, -1},
      {"$80000000", true, -2147483647 - 1},
      {"-$FFFFFFFF", true, 1},
      {"$000000001", true, 1},  // leading zeros are no significant digits
      {"", false, 0},
      {"   ", false, 0},
      {"1 ", false, 0},
      {"\t1", false, 0},
      {"- 1", false, 0},
      {"+-1", false, 0},
      {"-", false, 0},
      {"$", false, 0},
      {"0x", false, 0},
      {"x", false, 0},
      {"-$", false, 0},
      {"$-1", false, 0},
      {"true", false, 0},
      {"yes", false, 0},
      {"1.0", false, 0},
      {"12a", false, 0},
      {"0x1g", false, 0},
      {"00x1", false, 0},
      {"2147483648", false, 0},
      {"-2147483649", false, 0},
      {"99999999999999999999", false, 0},
      {"$100000000", false, 0},
      {"１", false, 0},  // a full-width digit
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(std::string("\"") + C.Text + "\"");
    int32_t Value = 12345;
    EXPECT_EQ(TryStrToInt(C.Text, Value), C.Valid);
    EXPECT_EQ(Value, C.Valid ? C.Value : 12345);
  }
  int32_t Value = 0;
  EXPECT_FALSE(TryStrToInt(std::string_view("1\0", 2), Value));
}

TEST_F(SettingsFile, WithoutAFileEverySettingHasItsDefaultAndNothingIsCreated) {
  const TQuorvelSettings Store = Load();
  EXPECT_EQ(Store.FileName(), Dir.Path() + "Quorvel.ini");
  EXPECT_EQ(Store.FTPServer(), "");
  EXPECT_EQ(Store.FTPPort(), "21");
  EXPECT_EQ(Store.FTPUser(), "");
  EXPECT_EQ(Store.FTPPass(), "");
  EXPECT_EQ(Store.KassaPath(), Dir.Path());
  EXPECT_EQ(Store.ScalePath(), Dir.Path());
  EXPECT_EQ(Store.PriceSync(), "");
  EXPECT_EQ(Store.ChSync(), "");
  EXPECT_EQ(Store.ScaleSync(), "");
  EXPECT_FALSE(Store.AutoStartThread());
  EXPECT_TRUE(fs::is_empty(Dir.Path()));
}

TEST_F(SettingsFile, EveryKeyIsReadIntoItsProperty) {
  SetIni(
      "[main]\nserver=ftp.shop.local\nport=2121\nuser=till\npass=secret\nkassaPath=/srv/till\n"
      "PriceSync=01.02.2024 10:00:00\nChSync=02.02.2024 11:00:00\nAutoStartThread=1\n"
      "ScalePath=/srv/scales\nScaleSync=03.02.2024 12:00:00\n");
  const TQuorvelSettings Store = Load();
  EXPECT_EQ(Store.FTPServer(), "ftp.shop.local");
  EXPECT_EQ(Store.FTPPort(), "2121");
  EXPECT_EQ(Store.FTPUser(), "till");
  EXPECT_EQ(Store.FTPPass(), "secret");
  EXPECT_EQ(Store.KassaPath(), "/srv/till");
  EXPECT_EQ(Store.PriceSync(), "01.02.2024 10:00:00");
  EXPECT_EQ(Store.ChSync(), "02.02.2024 11:00:00");
  EXPECT_TRUE(Store.AutoStartThread());
  EXPECT_EQ(Store.ScalePath(), "/srv/scales");
  EXPECT_EQ(Store.ScaleSync(), "03.02.2024 12:00:00");
}

TEST_F(SettingsFile, APresentButEmptyKeyReadsEmptyNotItsDefault) {
  SetIni("[main]\nport=\nkassaPath=\nScalePath=  \n");
  const TQuorvelSettings Store = Load();
  EXPECT_EQ(Store.FTPPort(), "");
  EXPECT_EQ(Store.KassaPath(), "");
  EXPECT_EQ(Store.ScalePath(), "");
}

TEST_F(SettingsFile, AutoStartIsOnForEveryNonZeroNumber) {
  struct Case {
    const char* File;
    bool AutoStart;
  };
  const Case Cases[] = {
      {"AutoStartThread=1", true},  {"AutoStartThread=2", true},     {"AutoStartThread=-1", true},
      {"AutoStartThread=$1", true}, {"AutoStartThread=0x1", true},   {"AutoStartThread=x1", true},
      {"AutoStartThread=0", false}, {"AutoStartThread=true", false}, {"AutoStartThread=yes", false},
      {"AutoStartThread=$", false}, {"AutoStartThread=", false},     {"server=x", false},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.File);
    SetIni(std::string("[main]\n") + C.File + "\n");
    EXPECT_EQ(Load().AutoStartThread(), C.AutoStart);
  }
}

TEST_F(SettingsFile, AValueIsReadUpTo2047Characters) {
  struct Case {
    std::string Value;
    std::string Read;
  };
  const std::string Cyrillic = "ж";
  std::string LongCyrillic;
  for (int I = 0; I < 3000; ++I) LongCyrillic += Cyrillic;
  std::string FirstCyrillic;
  for (int I = 0; I < 2047; ++I) FirstCyrillic += Cyrillic;
  const std::string Emoji = "\xF0\x9F\x98\x80";  // two UTF-16 characters
  const Case Cases[] = {
      {std::string(2047, 'a'), std::string(2047, 'a')},
      {std::string(2048, 'a'), std::string(2047, 'a')},
      {std::string(5000, 'a') + "b", std::string(2047, 'a')},
      {LongCyrillic, FirstCyrillic},
      {std::string(2046, 'a') + Emoji, std::string(2046, 'a')},
      {std::string(2045, 'a') + Emoji + "z", std::string(2045, 'a') + Emoji},
  };
  for (const Case& C : Cases) {
    SetIni("[main]\npass=" + C.Value + "\n");
    EXPECT_EQ(Load().FTPPass(), C.Read) << C.Value.size();
  }
}

TEST_F(SettingsFile, NamesMatchWithoutRegardToCaseAndValuesLoseBlanksAndQuotes) {
  SetIni(
      "; till settings\n"
      "user=outside any section\n"
      "[Other]\nserver=wrong section\n"
      "  [ MAIN ]  \n"
      "SERVER = ftp.shop.local \n"
      "Server=second occurrence\n"
      "kassapath=\"/srv/till one\"\n"
      "ScalePath='/srv/scales'\n"
      "pass=\"unbalanced\n"
      "user\n"
      "[main]\nport=2121\n");
  const TQuorvelSettings Store = Load();
  EXPECT_EQ(Store.FTPServer(), "ftp.shop.local");
  EXPECT_EQ(Store.KassaPath(), "/srv/till one");
  EXPECT_EQ(Store.ScalePath(), "/srv/scales");
  EXPECT_EQ(Store.FTPPass(), "\"unbalanced");
  EXPECT_EQ(Store.FTPUser(), "");
  EXPECT_EQ(Store.FTPPort(), "21");  // only the first [main] counts
}

TEST_F(SettingsFile, Code1251AndUtf16FilesFromAWindowsTillReadBackRight) {
  struct Case {
    const char* Name;
    std::string Bytes;
  };
  const Case Cases[] = {
      {"code page 1251",
       "[main]\r\nserver=\xEA\xE0\xF1\xF1\xE0.\xEC\xE0\xE3\xE0\xE7\xE8\xED\r\n"
       "kassaPath=C:\\\xCA\xE0\xF1\xF1\xE0\\\r\nuser=\xCE\xEF\xE5\xF0\xE0\xF2\xEE\xF0 \xB9"
       "1\r\n"},
      {"UTF-16LE",
       Utf16LE(u"[main]\r\nserver=касса.магазин\r\nkassaPath=C:\\Касса\\\r\nuser=Оператор №1\r\n")},
      {"UTF-8 with byte-order mark",
       "\xEF\xBB\xBF[main]\r\nserver=касса.магазин\r\nkassaPath=C:\\Касса\\\r\nuser=Оператор "
       "№1\r\n"},
      {"UTF-8", "[main]\nserver=касса.магазин\nkassaPath=C:\\Касса\\\nuser=Оператор №1\n"},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    SetIni(C.Bytes);
    const TQuorvelSettings Store = Load();
    EXPECT_EQ(Store.FTPServer(), "касса.магазин");
    EXPECT_EQ(Store.KassaPath(), "C:\\Касса\\");
    EXPECT_EQ(Store.FTPUser(), "Оператор №1");
  }
}

TEST_F(SettingsFile, AWriteKeepsTheEncodingAndLineEndsOfTheFile) {
  struct Case {
    const char* Name;
    std::string Before;
    std::string After;
  };
  const Case Cases[] = {
      {"code page 1251", "[main]\r\nserver=\xEA\xE0\xF1\xF1\xE0\r\n",
       "[main]\r\nserver=\xEA\xE0\xF1\xF1\xE0\r\nuser=\xCE\xEF\xE5\xF0\xE0\xF2\xEE\xF0\r\n"},
      {"UTF-16LE", Utf16LE(u"[main]\r\nserver=касса\r\n"),
       Utf16LE(u"[main]\r\nserver=касса\r\nuser=Оператор\r\n")},
      {"UTF-8 with byte-order mark", "\xEF\xBB\xBF[main]\nserver=касса\n",
       "\xEF\xBB\xBF[main]\nserver=касса\nuser=Оператор\n"},
      {"UTF-8 with CR LF", "[main]\r\nserver=касса\r\n",
       "[main]\r\nserver=касса\r\nuser=Оператор\r\n"},
      {"ASCII", "[main]\nserver=x\n", "[main]\nserver=x\nuser=Оператор\n"},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    SetIni(C.Before);
    Load().SetFTPUser("Оператор");
    EXPECT_EQ(Ini(), C.After);
  }
}

TEST_F(SettingsFile, CharactersOutsideCode1251BecomeQuestionMarksInSuchAFile) {
  SetIni("[main]\r\nserver=\xEA\r\n");
  Load().SetFTPPass("пароль€中");
  EXPECT_EQ(Ini(), "[main]\r\nserver=\xEA\r\npass=\xEF\xE0\xF0\xEE\xEB\xFC\x88?\r\n");
  EXPECT_EQ(Load().FTPPass(), "пароль€?");
}

TEST_F(SettingsFile, OneAssignmentLeavesEveryOtherByteAsItWas) {
  const std::string Head =
      "; written by hand\r\n"
      "[Other]\r\n"
      "server=not ours\r\n"
      "\r\n"
      "[MAIN]\r\n"
      "  Server = old.example  \r\n";
  const std::string Tail =
      "unknown=kept\r\n"
      "# odd line\r\n"
      "PORT=2121\r\n"
      "\r\n"
      "[last]\r\n"
      "x=\xFF\xFE raw bytes\n"
      "no line end";
  SetIni(Head + Tail);
  TQuorvelSettings Store = Load();

  Store.SetChSync("05.03.2024 07:08:09");  // a new key, below the section's last line
  EXPECT_EQ(Ini(), Head +
                       "unknown=kept\r\n# odd line\r\nPORT=2121\r\nChSync=05.03.2024 07:08:09\r\n"
                       "\r\n[last]\r\nx=\xFF\xFE raw bytes\nno line end");

  Store.SetFTPServer("new.example");  // an existing key, in place
  EXPECT_EQ(Ini(),
            "; written by hand\r\n[Other]\r\nserver=not ours\r\n\r\n[MAIN]\r\n"
            "Server=new.example\r\nunknown=kept\r\n# odd line\r\nPORT=2121\r\n"
            "ChSync=05.03.2024 07:08:09\r\n\r\n[last]\r\nx=\xFF\xFE raw bytes\nno line end");
  EXPECT_EQ(Load().FTPPort(), "2121");
}

TEST_F(SettingsFile, AMissingSectionOrFileIsAddedByTheFirstWrite) {
  TQuorvelSettings Store = Load();
  EXPECT_FALSE(Dir.Exists("Quorvel.ini"));
  Store.SetChSync("05.03.2024 07:08:09");
  EXPECT_EQ(Ini(), "[main]\nChSync=05.03.2024 07:08:09\n");  // UTF-8, no byte-order mark
  struct stat Info {};
  ASSERT_EQ(::stat(Store.FileName().c_str(), &Info), 0);
  EXPECT_EQ(Info.st_mode & 0777, 0600U);  // it holds the FTP password

  SetIni("[other]\r\na=1");
  Load().SetAutoStartThread(true);
  EXPECT_EQ(Ini(), "[other]\r\na=1\r\n[main]\r\nAutoStartThread=1\r\n");
}

TEST_F(SettingsFile, EveryAssignmentWritesItsKeyOnceAndAtOnce) {
  TQuorvelSettings Store = Load();
  PosixFaults Faults;
  Store.SetFTPServer("a");
  Store.SetFTPPort("2121");
  Store.SetFTPUser("u");
  Store.SetFTPPass("p");
  Store.SetKassaPath("/k");
  Store.SetPriceSync("1");
  Store.SetChSync("2");
  Store.SetAutoStartThread(true);
  Store.SetScalePath("/s");
  Store.SetScaleSync("3");
  Store.SetScaleSync("3");  // the same value again is written again
  EXPECT_EQ(Faults.Count("rename"), 11U);
  EXPECT_EQ(Faults.Count("fsync"), Faults.Count("rename") * 2);  // the file and its folder
  EXPECT_EQ(Ini(),
            "[main]\nserver=a\nport=2121\nuser=u\npass=p\nkassaPath=/k\nPriceSync=1\nChSync=2\n"
            "AutoStartThread=1\nScalePath=/s\nScaleSync=3\n");
  Store.SetAutoStartThread(false);
  EXPECT_FALSE(Load().AutoStartThread());
}

TEST_F(SettingsFile, WriteSettingsWritesEveryKeyInOneWrite) {
  SetIni("[main]\nport=2121\nAutoStartThread=$10\n");
  TQuorvelSettings Store = Load();
  PosixFaults Faults;
  Store.WriteSettings();
  EXPECT_EQ(Faults.Count("rename"), 1U);
  EXPECT_EQ(Ini(),
            "[main]\nport=2121\nAutoStartThread=1\nserver=\nuser=\npass=\nkassaPath=" + Dir.Path() +
                "\nChSync=\nPriceSync=\nScaleSync=\nScalePath=" + Dir.Path() + "\n");
}

TEST_F(SettingsFile, AWriteInterruptedAtAnyStepLeavesTheOldOrTheNewFile) {
  const std::string Old = "[main]\nserver=old.example\nport=21\n";
  const std::string New = "[main]\nserver=new.example\nport=21\n";
  std::string Message;
  ForEachFailingCall(
      [&] {
        SetIni(Old);
        Message.clear();
      },
      [&] {
        TQuorvelSettings Store = Load();
        try {
          Store.SetFTPServer("new.example");
        } catch (const EQuorvelError& Error) {
          EXPECT_EQ(Store.FTPServer(), "new.example");  // the field took the value first
          Message = Error.what();
          throw;
        }
      },
      [&](const std::string& FailedCall, bool Raised) {
        SCOPED_TRACE(FailedCall);
        EXPECT_EQ(Ini(), Raised ? Old : New);
        if (Raised) {
          EXPECT_EQ(Message, "Unable to write to " + Dir.Path() + "Quorvel.ini");
        }
        EXPECT_EQ(fs::directory_iterator(Dir.Path())->path().filename(), "Quorvel.ini");
        EXPECT_EQ(std::distance(fs::directory_iterator(Dir.Path()), fs::directory_iterator()), 1);
      });

  // And at every step on the way the file on disk is whole.
  SetIni(Old);
  TQuorvelSettings Store = Load();
  PosixFaults Faults;
  Faults.Watch([&](std::string_view) {
    const std::string Now = Ini();
    ASSERT_TRUE(Now == Old || Now == New) << Now;
  });
  Store.SetFTPServer("new.example");
  EXPECT_EQ(Ini(), New);
}

TEST_F(SettingsFile, AnUnreadableFileReadsAsDefaultsButIsNotOverwritten) {
  fs::create_directory(Dir.Path() + "Quorvel.ini");
  TQuorvelSettings Store = Load();
  EXPECT_EQ(Store.FTPPort(), "21");
  EXPECT_THROW(Store.SetFTPServer("x"), EQuorvelError);
  EXPECT_TRUE(fs::is_directory(Dir.Path() + "Quorvel.ini"));

  fs::remove(Dir.Path() + "Quorvel.ini");
  SetIni("[main]\nport=2121\n");
  PosixFaults Faults;
  Faults.FailEvery("read", EIO);
  EXPECT_EQ(Load().FTPPort(), "21");
  // Writing without the other keys would lose them.
  EXPECT_THROW(Store.SetFTPServer("x"), EQuorvelError);
  EXPECT_EQ(Ini(), "[main]\nport=2121\n");
}

// Tests run as root, whom permission bits do not stop; another user shows
// what a write-protected file or folder does.
TEST(SettingsAsAnotherUser, AFileOrFolderThatRefusesWritingRaisesWithTheFullPath) {
  struct Case {
    const char* Name;
    fs::perms Folder;
    fs::perms File;
    bool Written;
  };
  const Case Cases[] = {
      // The folder would let a rename replace the file: the file's own
      // protection must still hold.
      {"read-only file", fs::perms::all, fs::perms(0444), false},
      {"read-only folder", fs::perms(0755), fs::perms(0666), false},
      {"writable", fs::perms::all, fs::perms(0666), true},
  };
  const TempDir Dir;
  fs::permissions(Dir.Path(), fs::perms(0755));
  // The user must be able to reach the program wherever the build lies.
  const std::string Program = Dir.Path() + "settings_test";
  fs::copy_file(SelfExecutable(), Program);
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    const std::string App = Dir.Path() + C.Name + "/";
    const std::string Before = "[main]\nserver=old\nuser=kept\n";
    Dir.Write(std::string(C.Name) + "/Quorvel.ini", Before);
    fs::permissions(App + "Quorvel.ini", C.File);
    fs::permissions(App, C.Folder);

    const ChildResult Child =
        RunChildAsNobody({Program}, {"QUORVEL_TEST_WRITE_SETTINGS_IN=" + App});
    ASSERT_EQ(Child.ExitCode, 0) << Child.Output;
    const std::string After = Dir.Read(std::string(C.Name) + "/Quorvel.ini");
    if (C.Written) {
      EXPECT_EQ(Child.Output, "written");
      EXPECT_EQ(After, "[main]\nserver=changed\nuser=kept\n");
    } else {
      EXPECT_EQ(Child.Output, "Unable to write to " + App + "Quorvel.ini");
      EXPECT_EQ(After, Before);
      EXPECT_EQ(std::distance(fs::directory_iterator(App), fs::directory_iterator()), 1);
    }
  }
}
