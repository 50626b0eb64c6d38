#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "support/ChildProcess.h"
#include "support/PosixFaults.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

mode_t ModeOf(const std::string& Path) {
  struct stat Info {};
  EXPECT_EQ(::stat(Path.c_str(), &Info), 0) << Path;
  return Info.st_mode & 07777;
}

std::set<std::string> Entries(const std::string& Folder) {
  std::set<std::string> Names;
  for (const auto& Entry : fs::directory_iterator(Folder)) {
    Names.insert(Entry.path().filename().string());
  }
  return Names;
}

std::set<std::string> AsSet(const std::vector<std::string>& Names) {
  return {Names.begin(), Names.end()};
}

}  // namespace

TEST(Paths, TrailingDelimiterAndComparison) {
  EXPECT_EQ(IncludeTrailingPathDelimiter(""), "/");
  EXPECT_EQ(IncludeTrailingPathDelimiter("/shop"), "/shop/");
  EXPECT_EQ(IncludeTrailingPathDelimiter("/shop/"), "/shop/");
  EXPECT_EQ(IncludeTrailingPathDelimiter("kassa"), "kassa/");

  // File names are case-sensitive here, and nothing is normalised.
  EXPECT_TRUE(SamePath("/shop/agent/", "/shop/agent/"));
  EXPECT_FALSE(SamePath("/Shop/Agent/", "/shop/agent/"));
  EXPECT_FALSE(SamePath("/shop/agent", "/shop/agent/"));
  EXPECT_FALSE(SamePath("/shop/./agent/", "/shop/agent/"));
}

TEST(Clock, StampsAreZeroPadded24HourLocalTime) {
  struct Case {
    TLocalTime Time;
    const char* Journal;
    const char* Display;
  };
  const Case Cases[] = {
      {{2024, 3, 5, 7, 8, 9}, "20240305070809", "05.03.2024 07:08:09"},
      {{2023, 12, 31, 23, 59, 59}, "20231231235959", "31.12.2023 23:59:59"},
      {{2025, 1, 1, 0, 0, 0}, "20250101000000", "01.01.2025 00:00:00"},
      {{2024, 10, 15, 13, 45, 30}, "20241015134530", "15.10.2024 13:45:30"},
  };
  for (const Case& C : Cases) {
    EXPECT_EQ(FormatJournalStamp(C.Time), C.Journal);
    EXPECT_EQ(FormatDisplayStamp(C.Time), C.Display);
  }
}

TEST(Clock, TestsCanReplaceTheSource) {
  SetClockForTesting([] { return TLocalTime{2024, 2, 29, 18, 30, 0}; });
  EXPECT_EQ(FormatDisplayStamp(Now()), "29.02.2024 18:30:00");
  SetClockForTesting({});

  const TLocalTime Real = Now();
  const TLocalTime System = SystemLocalTime();
  EXPECT_EQ(Real.Year, System.Year);
  EXPECT_GE(Real.Year, 2024);
  EXPECT_TRUE(Real.Hour >= 0 && Real.Hour <= 23);
}

TEST(FindFiles, MatchesTheMaskWithoutRegardToCaseAndYieldsEveryKindOfEntry) {
  const TempDir Dir;
  for (const char* Name : {"0001.ch", "0002.CH", ".hidden.ch", "a.b.ch", "0003.z", "0001.chx", "ch",
                           "0001.c", "x.Z"}) {
    Dir.Write(Name, "data");
  }
  fs::create_directory(Dir.Path() + "folder.ch");

  EXPECT_EQ(AsSet(FindFiles(Dir.Path(), "*.ch")),
            (std::set<std::string>{"0001.ch", "0002.CH", ".hidden.ch", "a.b.ch", "folder.ch"}));
  EXPECT_EQ(AsSet(FindFiles(Dir.Path(), "*.z")), (std::set<std::string>{"0003.z", "x.Z"}));
  // The folder may be given without its trailing separator.
  EXPECT_EQ(FindFiles(Dir.Path().substr(0, Dir.Path().size() - 1), "*.z").size(), 2U);
  EXPECT_TRUE(FindFiles(Dir.Path() + "missing/", "*.ch").empty());
}

TEST(FindFiles, YieldsEntriesInThePlatformOrder) {
  const TempDir Dir;
  for (int I = 0; I < 20; ++I) Dir.Write("r" + std::to_string(I) + ".ch", "");
  std::vector<std::string> Platform;
  for (const auto& Entry : fs::directory_iterator(Dir.Path())) {
    Platform.push_back(Entry.path().filename().string());
  }
  EXPECT_EQ(FindFiles(Dir.Path(), "*.ch"), Platform);
}

TEST(MoveFileNoReplace, RenamesButNeverReplaces) {
  const TempDir Dir;
  Dir.Write("till/0001.ch", "receipt");
  Dir.Write("staging/keep.txt", "");
  EXPECT_TRUE(MoveFileNoReplace(Dir.Path() + "till/0001.ch", Dir.Path() + "staging/0001.ch"));
  EXPECT_FALSE(Dir.Exists("till/0001.ch"));
  EXPECT_EQ(Dir.Read("staging/0001.ch"), "receipt");

  Dir.Write("till/0001.ch", "newer");
  EXPECT_FALSE(MoveFileNoReplace(Dir.Path() + "till/0001.ch", Dir.Path() + "staging/0001.ch"));
  EXPECT_EQ(Dir.Read("till/0001.ch"), "newer");
  EXPECT_EQ(Dir.Read("staging/0001.ch"), "receipt");

  EXPECT_FALSE(MoveFileNoReplace(Dir.Path() + "till/0001.ch", Dir.Path() + "gone/0001.ch"));
  EXPECT_EQ(Dir.Read("till/0001.ch"), "newer");

  // A folder that matches a receipt mask moves like a file.
  fs::create_directory(Dir.Path() + "till/x.ch");
  EXPECT_TRUE(MoveFileNoReplace(Dir.Path() + "till/x.ch", Dir.Path() + "staging/x.ch"));
  EXPECT_TRUE(fs::is_directory(Dir.Path() + "staging/x.ch"));
}

TEST(MoveFileNoReplace, FallsBackWhereTheFileSystemCannotRefuseToReplace) {
  // Without RENAME_NOREPLACE a hard link refuses an existing target; without
  // hard links either, the target is checked before a plain rename.
  for (const char* Missing : {"renameat2", "link"}) {
    SCOPED_TRACE(Missing);
    const TempDir Dir;
    Dir.Write("a", "first");
    Dir.Write("b", "second");
    PosixFaults Faults;
    Faults.FailEvery("renameat2", EINVAL);
    if (std::string(Missing) == "link") Faults.FailEvery("link", EPERM);
    EXPECT_FALSE(MoveFileNoReplace(Dir.Path() + "a", Dir.Path() + "b"));
    EXPECT_EQ(Dir.Read("a"), "first");
    EXPECT_EQ(Dir.Read("b"), "second");
    EXPECT_TRUE(MoveFileNoReplace(Dir.Path() + "a", Dir.Path() + "c"));
    EXPECT_FALSE(Dir.Exists("a"));
    EXPECT_EQ(Dir.Read("c"), "first");
  }
}

TEST(MoveFileNoReplace, AcrossFileSystemsTheRealNameOnlyEverHoldsTheWholeFile) {
  const TempDir Dir;
  const std::string Content(300000, 'r');
  const std::string Target = Dir.Path() + "staging/0001.ch";
  Dir.Write("staging/other", "");
  Dir.Write("till/0001.ch", Content);

  PosixFaults Faults;
  Faults.FailOnce("renameat2", EXDEV);  // as if the folders lay on two file systems
  Faults.LimitWrites(4096);
  Faults.Watch([&](std::string_view) {
    if (fs::exists(Target)) {
      ASSERT_EQ(fs::file_size(Target), Content.size());
    }
  });
  EXPECT_TRUE(MoveFileNoReplace(Dir.Path() + "till/0001.ch", Target));
  EXPECT_GT(Faults.Count("write"), 1U);
  EXPECT_FALSE(Dir.Exists("till/0001.ch"));
  EXPECT_EQ(Dir.Read("staging/0001.ch"), Content);
  EXPECT_EQ(Entries(Dir.Path() + "staging"), (std::set<std::string>{"0001.ch", "other"}));

  // The copy too refuses to replace an entry that appeared meanwhile.
  Dir.Write("till/0002.ch", "new");
  Dir.Write("staging/0002.ch", "old");
  Faults.FailOnce("renameat2", EXDEV);
  EXPECT_FALSE(MoveFileNoReplace(Dir.Path() + "till/0002.ch", Dir.Path() + "staging/0002.ch"));
  EXPECT_EQ(Dir.Read("till/0002.ch"), "new");
  EXPECT_EQ(Dir.Read("staging/0002.ch"), "old");
  EXPECT_EQ(Entries(Dir.Path() + "staging"),
            (std::set<std::string>{"0001.ch", "0002.ch", "other"}));
}

// A second file system: /dev/shm is a tmpfs where the temporary folder is not.
class OtherFileSystem : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string Pattern = "/dev/shm/quorvel-XXXXXX";
    struct stat Shm {};
    struct stat Tmp {};
    if (::stat(Local.Path().c_str(), &Tmp) != 0 || ::stat("/dev/shm", &Shm) != 0 ||
        Shm.st_dev == Tmp.st_dev || ::mkdtemp(Pattern.data()) == nullptr) {
      GTEST_SKIP() << "no second file system at /dev/shm";
    }
    Remote = Pattern + "/";
  }
  void TearDown() override {
    if (!Remote.empty()) fs::remove_all(Remote);
  }

  TempDir Local;
  std::string Remote;
};

TEST_F(OtherFileSystem, MoveCopiesThenDeletesAndFailsAsAWholeAtAnyStep) {
  const std::string Source = Remote + "0001.ch";
  const std::string Target = Local.Path() + "0001.ch";
  const auto Arrange = [&] {
    fs::remove(Target);
    std::ofstream(Source, std::ios::binary | std::ios::trunc) << "receipt";
  };
  bool Moved = false;
  ForEachFailingCall(
      Arrange, [&] { Moved = MoveFileNoReplace(Source, Target); },
      [&](const std::string& FailedCall, bool) {
        SCOPED_TRACE(FailedCall);
        EXPECT_NE(fs::exists(Source), Moved);
        EXPECT_EQ(fs::exists(Target), Moved);
        if (Moved) {
          EXPECT_EQ(Local.Read("0001.ch"), "receipt");
        }
        EXPECT_EQ(Entries(Local.Path()).size(), Moved ? 1U : 0U);
      });

  Arrange();
  ASSERT_TRUE(MoveFileNoReplace(Source, Target));
  EXPECT_FALSE(fs::exists(Source));
  EXPECT_EQ(Local.Read("0001.ch"), "receipt");
}

TEST(DeleteAndExists, FoldersAreNoFiles) {
  const TempDir Dir;
  Dir.Write("file", "x");
  fs::create_directory(Dir.Path() + "folder");
  EXPECT_TRUE(FileExists(Dir.Path() + "file"));
  EXPECT_FALSE(FileExists(Dir.Path() + "folder"));
  EXPECT_FALSE(FileExists(Dir.Path() + "missing"));

  EXPECT_TRUE(DeleteLocalFile(Dir.Path() + "file"));
  EXPECT_FALSE(Dir.Exists("file"));
  EXPECT_FALSE(DeleteLocalFile(Dir.Path() + "file"));
  EXPECT_FALSE(DeleteLocalFile(Dir.Path() + "folder"));
  EXPECT_TRUE(fs::is_directory(Dir.Path() + "folder"));
}

TEST(LoadFileBytes, ReadsEveryByteAndRaisesWhenItCannot) {
  const TempDir Dir;
  std::string All(200000, '\0');
  for (size_t I = 0; I < All.size(); ++I) All[I] = static_cast<char>(I * 7);
  Dir.Write("all", All);
  EXPECT_EQ(LoadFileBytes(Dir.Path() + "all"), All);
  Dir.Write("empty", "");
  EXPECT_EQ(LoadFileBytes(Dir.Path() + "empty"), "");

  EXPECT_THROW(LoadFileBytes(Dir.Path() + "missing"), EFileError);
  EXPECT_THROW(LoadFileBytes(Dir.Path()), EFileError);
  // A FIFO named like a receipt, with no writer, must not hang the reader.
  ASSERT_EQ(::mkfifo((Dir.Path() + "pipe.ch").c_str(), 0600), 0);
  EXPECT_THROW(LoadFileBytes(Dir.Path() + "pipe.ch"), EFileError);
  PosixFaults Faults;
  Faults.FailOnce("read", EIO);
  EXPECT_THROW(LoadFileBytes(Dir.Path() + "all"), EFileError);
}

TEST(SaveFileBytes, NewFilesGetTheirAccessAndReplacedFilesKeepTheirs) {
  const TempDir Dir;
  const mode_t Mask = ::umask(0);
  ::umask(Mask);

  SaveFileBytes(Dir.Path() + "plain", "a");
  EXPECT_EQ(ModeOf(Dir.Path() + "plain"), 0666 & ~Mask);
  SaveFileBytes(Dir.Path() + "secret", "b", TNewFileAccess::OwnerOnly);
  EXPECT_EQ(ModeOf(Dir.Path() + "secret"), 0600U);

  ::chmod((Dir.Path() + "plain").c_str(), 0640);
  SaveFileBytes(Dir.Path() + "plain", "replaced", TNewFileAccess::OwnerOnly);
  EXPECT_EQ(Dir.Read("plain"), "replaced");
  EXPECT_EQ(ModeOf(Dir.Path() + "plain"), 0640U);
}

TEST(SaveFileBytes, ShortWritesAreCompletedAndLinksFollowed) {
  const TempDir Dir;
  const std::string Content(10000, 'x');
  Dir.Write("real", "old");
  fs::create_symlink(Dir.Path() + "real", Dir.Path() + "link");
  {
    PosixFaults Faults;
    Faults.LimitWrites(7);
    SaveFileBytes(Dir.Path() + "link", Content);
  }
  EXPECT_TRUE(fs::is_symlink(Dir.Path() + "link"));
  EXPECT_EQ(Dir.Read("real"), Content);
  EXPECT_EQ(Entries(Dir.Path()), (std::set<std::string>{"link", "real"}));
}

TEST(SaveFileBytes, AFailureAtAnyStepLeavesTheOldOrTheNewFile) {
  const TempDir Dir;
  const std::string Path = Dir.Path() + "data.bin";
  const std::string Old(5000, 'o');
  const std::string New(7000, 'n');
  ForEachFailingCall([&] { Dir.Write("data.bin", Old); }, [&] { SaveFileBytes(Path, New); },
                     [&](const std::string& FailedCall, bool Raised) {
                       SCOPED_TRACE(FailedCall);
                       EXPECT_EQ(Dir.Read("data.bin"), Raised ? Old : New);
                       EXPECT_EQ(Entries(Dir.Path()), std::set<std::string>{"data.bin"});
                     });
}

TEST(SaveFileBytes, NoStepOfAWriteShowsAnythingButTheOldOrTheNewFile) {
  const TempDir Dir;
  const std::string Old(5000, 'o');
  const std::string New(7000, 'n');
  Dir.Write("data.bin", Old);
  PosixFaults Faults;
  Faults.LimitWrites(1000);
  Faults.Watch([&](std::string_view) {
    const std::string Now = Dir.Read("data.bin");
    ASSERT_TRUE(Now == Old || Now == New);
  });
  SaveFileBytes(Dir.Path() + "data.bin", New);
  EXPECT_EQ(Dir.Read("data.bin"), New);
}

TEST(SaveFileBytes, RaisesWhereNoFileCanBeWritten) {
  const TempDir Dir;
  fs::create_directory(Dir.Path() + "folder");
  EXPECT_THROW(SaveFileBytes(Dir.Path() + "folder", "new"), EFileError);
  EXPECT_THROW(SaveFileBytes(Dir.Path() + "missing/data", "new"), EFileError);
  EXPECT_EQ(Entries(Dir.Path()), std::set<std::string>{"folder"});
}

TEST(ForceDirectories, CreatesEveryMissingParent) {
  const TempDir Dir;
  EXPECT_TRUE(ForceDirectories(Dir.Path() + "reports/checks/"));
  EXPECT_TRUE(fs::is_directory(Dir.Path() + "reports/checks"));
  EXPECT_TRUE(ForceDirectories(Dir.Path() + "reports/checks"));
  EXPECT_TRUE(ForceDirectories(Dir.Path() + "a/b/c"));
  Dir.Write("file", "");
  EXPECT_FALSE(ForceDirectories(Dir.Path() + "file/sub/"));
  EXPECT_FALSE(ForceDirectories(""));
}

TEST(ExecutableDirectory, IsTheFolderOfTheRunningProgram) {
  const std::string Self = SelfExecutable();
  EXPECT_EQ(ExecutableDirectory(), Self.substr(0, Self.rfind('/') + 1));
}
