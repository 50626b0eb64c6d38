#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/filelease.h"
#include "platform/files.h"
#include "platform/instancelock.h"
#include "platform/paths.h"
#include "platform/tempnames.h"
#include "support/ChildProcess.h"
#include "support/PosixFaults.h"
#include "support/TempDir.h"
#include "support/WorkerHarness.h"

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

TEST(SaveFileBytes, ABigFileWrittenInPiecesArrivesWholeAndInOrder) {
  const TempDir Dir;
  // Past two of the pieces that are handed to the disk while writing, each
  // megabyte marked by its number, in short writes that split every piece
  // unevenly.
  std::string Content;
  for (int MiB = 0; MiB < 19; ++MiB) Content.append(size_t{1} << 20, static_cast<char>('a' + MiB));
  Content += "tail";
  {
    PosixFaults Faults;
    Faults.LimitWrites(3 << 20);
    SaveFileBytes(Dir.Path() + "big.bin", Content);
  }
  EXPECT_TRUE(Dir.Read("big.bin") == Content);
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

// ---------------------------------------------------------------------------
// Temporary names of saves

TEST(TemporaryNames, AreUniqueHiddenNamesBesideTheTargetThatTheRecogniserKnows) {
  const std::string Pid = std::to_string(CurrentProcessId());
  EXPECT_EQ(CurrentProcessId(), static_cast<uint32_t>(::getpid()));
  std::set<std::string> Seen;
  for (int I = 0; I < 100; ++I) {
    const std::string Name = TemporaryNameFor("/shop/till/goods.txt");
    ASSERT_TRUE(Name.starts_with("/shop/till/.goods.txt." + Pid + "-")) << Name;
    ASSERT_TRUE(Name.ends_with(".tmp")) << Name;
    EXPECT_TRUE(IsTemporaryName(Name.substr(std::string("/shop/till/").size()))) << Name;
    EXPECT_TRUE(Seen.insert(Name).second) << Name;
  }
  // A bare name stays bare; a long one is cut so the whole fits a name limit.
  EXPECT_TRUE(TemporaryNameFor("Quorvel.ini").starts_with(".Quorvel.ini." + Pid + "-"));
  const std::string Long = TemporaryNameFor("/t/" + std::string(250, 'n'));
  EXPECT_LT(Long.size() - 3, 255U);
  EXPECT_TRUE(IsTemporaryName(Long.substr(3)));
}

TEST(TemporaryNames, TheRecogniserTakesOnlyThatShape) {
  const struct {
    const char* Name;
    bool Temporary;
  } Cases[] = {
      {".goods.txt.123-1.tmp", true},
      {".0001.ch.4294967295-18446744073709551615.tmp", true},
      {".a.1-1.tmp", true},
      {"..1-1.tmp", false},  // no name part
      {"goods.txt.123-1.tmp", false},
      {".goods.txt.123-1.TMP", false},
      {".goods.txt.123-1.tmp.ch", false},
      {".goods.txt.123.tmp", false},
      {".goods.txt.-1.tmp", false},
      {".goods.txt.12-.tmp", false},
      {".goods.txt.1x-2.tmp", false},
      {".goods.txt.1-2x.tmp", false},
      {".goods.txt.1-2-3.tmp", false},
      {".tmp", false},
      {"notes.tmp", false},
      {"", false},
  };
  for (const auto& C : Cases) EXPECT_EQ(IsTemporaryName(C.Name), C.Temporary) << C.Name;
}

TEST(TemporaryNames, LeftoversAreRemovedOnlyInTheFolderAndOnlyByTheirShape) {
  const TempDir Dir;
  for (const char* Name : {".goods.txt.77-3.tmp", ".Quorvel.ini.1-1.tmp", "goods.txt", "notes.tmp",
                           ".backup.tmp", "sub/.x.ch.5-5.tmp"}) {
    Dir.Write(Name, "data");
  }
  fs::create_directory(Dir.Path() + ".folder.9-9.tmp");
  RemoveTemporaryLeftovers(Dir.Path());
  EXPECT_EQ(Entries(Dir.Path()), (std::set<std::string>{"goods.txt", "notes.tmp", ".backup.tmp",
                                                        "sub", ".folder.9-9.tmp"}));
  EXPECT_TRUE(Dir.Exists("sub/.x.ch.5-5.tmp"));
  // Without the trailing separator, and for a folder that is not there.
  Dir.Write("sub/.y.1-2.tmp", "");
  RemoveTemporaryLeftovers(Dir.Path() + "sub");
  EXPECT_EQ(Entries(Dir.Path() + "sub"), std::set<std::string>{});
  RemoveTemporaryLeftovers(Dir.Path() + "missing/");
}

// ---------------------------------------------------------------------------
// Folder identity and file state

TEST(SameFolder, SeesThroughLinksAndSpellingsAndFallsBackOnTheText) {
  const TempDir Dir;
  fs::create_directories(Dir.Path() + "agent/reports");
  fs::create_directories(Dir.Path() + "other");
  fs::create_directory_symlink(Dir.Path() + "agent", Dir.Path() + "link");
  const std::string Agent = Dir.Path() + "agent/";
  const struct {
    std::string A;
    std::string B;
    bool Same;
  } Cases[] = {
      {Agent, Agent, true},
      {Agent, Dir.Path() + "agent", true},
      {Agent, Dir.Path() + "link/", true},
      {Agent, Dir.Path() + "/agent//", true},
      {Agent, Dir.Path() + "./agent/./", true},
      {Agent, Dir.Path() + "other/../agent/", true},
      {Agent + "reports/", Dir.Path() + "link/reports/", true},
      {Agent, Dir.Path() + "other/", false},
      {Agent, Agent + "reports/", false},
      {Agent, Dir.Path() + "Agent/", false},
      // Missing folders are compared by their text.
      {Dir.Path() + "gone/", Dir.Path() + "gone/", true},
      {Dir.Path() + "gone/", Dir.Path() + "./gone/", false},
      {Agent, Dir.Path() + "gone/", false},
  };
  for (const auto& C : Cases) EXPECT_EQ(SameFolder(C.A, C.B), C.Same) << C.A << " vs " << C.B;
}

// A bind mount shows one folder at two places. Mounting needs a mount
// namespace of its own, so it is done in a child.
TEST(SameFolder, SeesThroughABindMount) {
  const TempDir Dir;
  fs::create_directories(Dir.Path() + "agent");
  fs::create_directories(Dir.Path() + "mounted");
  const pid_t Child = ::fork();
  ASSERT_GE(Child, 0);
  if (Child == 0) {
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount((Dir.Path() + "agent").c_str(), (Dir.Path() + "mounted").c_str(), nullptr, MS_BIND,
                nullptr) != 0) {
      ::_exit(2);
    }
    ::_exit(SameFolder(Dir.Path() + "agent/", Dir.Path() + "mounted/") ? 0 : 1);
  }
  int Status = 0;
  ASSERT_EQ(::waitpid(Child, &Status, 0), Child);
  ASSERT_TRUE(WIFEXITED(Status));
  if (WEXITSTATUS(Status) == 2) GTEST_SKIP() << "no bind mounts here";
  EXPECT_EQ(WEXITSTATUS(Status), 0);
}

TEST(GetFileState, ChangesWithTheSizeAndTheModificationTime) {
  const TempDir Dir;
  Dir.Write("r.ch", "half");
  const std::string Path = Dir.Path() + "r.ch";
  const auto Before = GetFileState(Path);
  ASSERT_TRUE(Before.has_value());
  EXPECT_EQ(Before->Size, 4U);
  EXPECT_EQ(GetFileState(Path), Before);

  const timespec Stamps[2] = {{0, UTIME_OMIT}, {1700000000, 123456789}};
  ASSERT_EQ(::utimensat(AT_FDCWD, Path.c_str(), Stamps, 0), 0);
  const auto Touched = GetFileState(Path);
  ASSERT_TRUE(Touched.has_value());
  EXPECT_EQ(Touched->ModifiedNs, 1700000000123456789);
  EXPECT_EQ(Touched->Size, 4U);

  // The same time but one byte more still counts as a change.
  std::ofstream(Path, std::ios::app) << "!";
  ASSERT_EQ(::utimensat(AT_FDCWD, Path.c_str(), Stamps, 0), 0);
  const auto Grown = GetFileState(Path);
  ASSERT_TRUE(Grown.has_value());
  EXPECT_EQ(Grown->Size, 5U);
  EXPECT_NE(Grown, Touched);

  EXPECT_EQ(GetFileState(Dir.Path() + "missing"), std::nullopt);
}

// ---------------------------------------------------------------------------
// Replacing a file

TEST(ReplaceFileBytes, ReplacesTheEntryItselfAndLeavesNoTemporaryFile) {
  const TempDir Dir;
  ReplaceFileBytes(Dir.Path() + "new.txt", "fresh");
  EXPECT_EQ(Dir.Read("new.txt"), "fresh");

  Dir.Write("old.txt", "old");
  ::chmod((Dir.Path() + "old.txt").c_str(), 0444);
  ReplaceFileBytes(Dir.Path() + "old.txt", "newer");
  EXPECT_EQ(Dir.Read("old.txt"), "newer");

  // A link under the name is replaced; what it points to stays as it was.
  Dir.Write("elsewhere/target", "not ours");
  fs::create_symlink(Dir.Path() + "elsewhere/target", Dir.Path() + "link.txt");
  ReplaceFileBytes(Dir.Path() + "link.txt", "delivered");
  EXPECT_FALSE(fs::is_symlink(Dir.Path() + "link.txt"));
  EXPECT_EQ(Dir.Read("link.txt"), "delivered");
  EXPECT_EQ(Dir.Read("elsewhere/target"), "not ours");
  EXPECT_EQ(Entries(Dir.Path()),
            (std::set<std::string>{"elsewhere", "link.txt", "new.txt", "old.txt"}));
}

TEST(ReplaceFileBytes, RaisesAndLeavesEverythingAsItWasWhereItCannot) {
  const TempDir Dir;
  fs::create_directories(Dir.Path() + "busy.txt/inner");
  EXPECT_THROW(ReplaceFileBytes(Dir.Path() + "busy.txt", "new"), EFileError);
  EXPECT_THROW(ReplaceFileBytes(Dir.Path() + "missing/data", "new"), EFileError);
  EXPECT_EQ(Entries(Dir.Path()), std::set<std::string>{"busy.txt"});
  EXPECT_TRUE(fs::is_directory(Dir.Path() + "busy.txt/inner"));

  const std::string Old(5000, 'o');
  const std::string New(7000, 'n');
  ForEachFailingCall(
      [&] { Dir.Write("data.bin", Old); }, [&] { ReplaceFileBytes(Dir.Path() + "data.bin", New); },
      [&](const std::string& FailedCall, bool Raised) {
        SCOPED_TRACE(FailedCall);
        EXPECT_EQ(Dir.Read("data.bin"), Raised ? Old : New);
        EXPECT_EQ(Entries(Dir.Path()), (std::set<std::string>{"busy.txt", "data.bin"}));
      });
}

// ---------------------------------------------------------------------------
// The open-file probe

namespace {

constexpr uid_t NobodyId = 65534;

// The probe's answer for a process of the user "nobody": root may lease any
// file, an ordinary user only its own.
THeldOpen ProbeAsNobody(const std::string& Path) {
  const pid_t Child = ::fork();
  if (Child == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setresgid(NobodyId, NobodyId, NobodyId) != 0 ||
        ::setresuid(NobodyId, NobodyId, NobodyId) != 0) {
      ::_exit(9);
    }
    ::_exit(static_cast<int>(ProbeHeldOpen(Path)));
  }
  int Status = 0;
  if (Child < 0 || ::waitpid(Child, &Status, 0) != Child || !WIFEXITED(Status) ||
      WEXITSTATUS(Status) > static_cast<int>(THeldOpen::Unknown)) {
    ADD_FAILURE() << "the probe as nobody did not report";
    return THeldOpen::Unknown;
  }
  return static_cast<THeldOpen>(WEXITSTATUS(Status));
}

const char* NameOf(THeldOpen Answer) {
  switch (Answer) {
    case THeldOpen::No: return "No";
    case THeldOpen::Yes: return "Yes";
    case THeldOpen::Unknown: return "Unknown";
  }
  return "?";
}

}  // namespace

TEST(ProbeHeldOpen, TellsWhetherAnotherProcessHasTheFileOpenOrThatItCannotTell) {
  const TempDir Dir;
  fs::permissions(Dir.Path(), fs::perms(0755));
  Dir.Write("mine.ch", "receipt");   // the agent's user's own file
  Dir.Write("tills.ch", "receipt");  // another user's file
  ASSERT_EQ(::chown((Dir.Path() + "mine.ch").c_str(), NobodyId, NobodyId), 0);
  fs::create_directory(Dir.Path() + "folder.ch");
  ASSERT_EQ(::mkfifo((Dir.Path() + "pipe.ch").c_str(), 0644), 0);

  const struct {
    const char* Case;
    std::string File;
    int HolderFlags;  // -1: nobody holds it
    THeldOpen AsRoot;
    THeldOpen AsNobody;
  } Cases[] = {
      {"closed own file", "mine.ch", -1, THeldOpen::No, THeldOpen::No},
      {"own file held for writing", "mine.ch", O_WRONLY | O_APPEND, THeldOpen::Yes, THeldOpen::Yes},
      {"own file held for reading", "mine.ch", O_RDONLY, THeldOpen::Yes, THeldOpen::Yes},
      {"closed file of another user", "tills.ch", -1, THeldOpen::No, THeldOpen::Unknown},
      {"another user's file held", "tills.ch", O_WRONLY, THeldOpen::Yes, THeldOpen::Unknown},
      {"a folder", "folder.ch", -1, THeldOpen::Unknown, THeldOpen::Unknown},
      {"a FIFO", "pipe.ch", -1, THeldOpen::Unknown, THeldOpen::Unknown},
      {"a missing file", "missing.ch", -1, THeldOpen::Unknown, THeldOpen::Unknown},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Case);
    const std::string Path = Dir.Path() + C.File;
    std::unique_ptr<WorkerFileHolder> Holder;
    if (C.HolderFlags >= 0) Holder = std::make_unique<WorkerFileHolder>(Path, C.HolderFlags);
    EXPECT_STREQ(NameOf(ProbeHeldOpen(Path)), NameOf(C.AsRoot));
    EXPECT_STREQ(NameOf(ProbeAsNobody(Path)), NameOf(C.AsNobody));
  }
  EXPECT_EQ(Dir.Read("tills.ch"), "receipt");
}

// The probe holds a lease for a moment; each open by another process in that
// moment breaks it, and the kernel tells this process by a signal. Probing
// from a worker thread while another process keeps opening the file must
// neither end the process nor leave a signal behind.
TEST(ProbeHeldOpen, ProbingWhileAnotherProcessKeepsOpeningTheFileLeavesTheProcessAlone) {
  const TempDir Dir;
  Dir.Write("r.ch", "receipt");
  const std::string Path = Dir.Path() + "r.ch";
  const pid_t Opener = ::fork();
  ASSERT_GE(Opener, 0);
  if (Opener == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    for (;;) {
      const int Fd = ::open(Path.c_str(), O_RDONLY);
      if (Fd >= 0) ::close(Fd);
    }
  }
  const auto Probe = [&] {
    std::atomic<int> Held{0};
    std::thread Worker([&] {
      const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000);
      while (std::chrono::steady_clock::now() < End) {
        if (ProbeHeldOpen(Path) == THeldOpen::Yes) ++Held;
      }
    });
    Worker.join();
    sigset_t Pending;
    sigpending(&Pending);
    const bool Left = sigismember(&Pending, SIGIO) || sigismember(&Pending, SIGURG);
    std::fprintf(stderr, "held %d times\n", Held.load());
    std::exit(Left ? 1 : 0);
  };
  EXPECT_EXIT(Probe(), ::testing::ExitedWithCode(0), "held [0-9]+ times");
  ::kill(Opener, SIGKILL);
  ::waitpid(Opener, nullptr, 0);
}

// A handler that some part of the process installed for the signal that
// lease breaks are sent as must never see one: the probe then cannot tell.
TEST(ProbeHeldOpen, CannotTellWhileTheBreakSignalHasAHandler) {
  const TempDir Dir;
  Dir.Write("r.ch", "receipt");
  struct sigaction Handler {};
  struct sigaction Before {};
  Handler.sa_handler = [](int) {};
  ASSERT_EQ(::sigaction(SIGURG, &Handler, &Before), 0);
  const THeldOpen Answer = ProbeHeldOpen(Dir.Path() + "r.ch");
  ::sigaction(SIGURG, &Before, nullptr);
  EXPECT_STREQ(NameOf(Answer), "Unknown");
  EXPECT_STREQ(NameOf(ProbeHeldOpen(Dir.Path() + "r.ch")), "No");
}

// The folder claim and the request to show the window, within one process:
// every claim opens the folder anew, so a later one meets the earlier lock
// as a second process would.
TEST(ProgramFolderClaim, HoldsTheFolderAgainstLaterClaimsAndCarriesShowRequests) {
  TempDir Folder;
  TempDir Other;
  EXPECT_EQ(ClaimProgramFolder(Folder.Path()), TFolderClaim::Claimed);
  EXPECT_EQ(ClaimProgramFolder(Folder.Path()), TFolderClaim::HeldByAnother);
  EXPECT_EQ(ClaimProgramFolder(Folder.Path() + "."), TFolderClaim::HeldByAnother);
  EXPECT_EQ(ClaimProgramFolder(Other.Path()), TFolderClaim::Claimed);
  EXPECT_EQ(ClaimProgramFolder(Folder.Path() + "missing/"), TFolderClaim::Unknown);

  // The serving thread outlives the test.
  const auto Asked = std::make_shared<std::atomic<int>>(0);
  ASSERT_TRUE(ServeShowWindowRequests(Folder.Path(), [Asked] { ++*Asked; }));
  // Asking another folder's agent does not reach this one.
  AskFolderAgentToShowWindow(Other.Path());
  AskFolderAgentToShowWindow(Folder.Path() + ".");
  AskFolderAgentToShowWindow(Folder.Path());
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (*Asked < 2 && std::chrono::steady_clock::now() < Deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(*Asked, 2);
  // Nobody listens for Other: asking is no error and no wait.
  AskFolderAgentToShowWindow(Other.Path() + "missing/");
}
