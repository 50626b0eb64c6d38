#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "app/Startup.h"
#include "platform/ansicodepage.h"
#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/exename.h"
#include "platform/filelease.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/regional.h"
#include "platform/tempnames.h"
#include "platform/wintext.h"
#include "support/TempDir.h"
#include "workers/uSync.h"

// The Windows file layer through the W calls, under Wine. This program
// doubles as two helpers it starts: with QUORVEL_HOLD_OPEN it keeps a file
// open without sharing, as the till does while it writes a receipt; with
// QUORVEL_REPORT_STARTUP it runs start-up stage 1 and reports the folders it
// fixed.

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

namespace {

std::string Environment(const char* Name) {
  const char* Value = std::getenv(Name);
  return Value == nullptr ? std::string() : std::string(Value);
}

void WriteText(const std::string& Path, const std::string& Text) { SaveFileBytes(Path, Text); }

int HoldOpen(const std::string& Path) {
  const HANDLE File = CreateFileW(Widen(Path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (File == INVALID_HANDLE_VALUE) return 2;
  WriteText(Path + ".held", "");
  // Held until the test ends the helper.
  Sleep(60000);
  return 0;
}

int ReportStartup(const std::string& ReportFile) {
  InitializeSettingsUnit();
  WriteText(ReportFile, ApplicationDirectory() + "\n" + Settings->FileName() + "\n");
  return 0;
}

// A copy of this program, started with one variable set; killed when the
// object goes.
class THelper {
 public:
  THelper(const std::string& Program, const std::string& Variable, const std::string& Value) {
    SetEnvironmentVariableW(Widen(Variable).c_str(), Widen(Value).c_str());
    std::wstring CommandLine = L"\"" + Widen(Program) + L"\"";
    STARTUPINFOW Startup{};
    Startup.cb = sizeof Startup;
    FStarted = CreateProcessW(nullptr, CommandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                              nullptr, &Startup, &FProcess) != 0;
    SetEnvironmentVariableW(Widen(Variable).c_str(), nullptr);
  }
  ~THelper() {
    if (!FStarted) return;
    TerminateProcess(FProcess.hProcess, 1);
    WaitForSingleObject(FProcess.hProcess, 10000);
    CloseHandle(FProcess.hProcess);
    CloseHandle(FProcess.hThread);
  }
  THelper(const THelper&) = delete;
  THelper& operator=(const THelper&) = delete;

  bool Started() const { return FStarted; }
  // The exit code, or -1 when the helper did not end within Ms.
  int Wait(DWORD Ms) {
    DWORD Code = 0;
    if (WaitForSingleObject(FProcess.hProcess, Ms) != WAIT_OBJECT_0) return -1;
    GetExitCodeProcess(FProcess.hProcess, &Code);
    return static_cast<int>(Code);
  }

 private:
  PROCESS_INFORMATION FProcess{};
  bool FStarted = false;
};

std::string ThisProgram() {
  std::wstring Path(32768, L'\0');
  Path.resize(GetModuleFileNameW(nullptr, Path.data(), static_cast<DWORD>(Path.size())));
  return Narrow(Path);
}

bool WaitFor(const std::string& Path) {
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!FileExists(Path) && std::chrono::steady_clock::now() < Deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return FileExists(Path);
}

std::vector<std::string> Sorted(std::vector<std::string> Names) {
  std::sort(Names.begin(), Names.end());
  return Names;
}

}  // namespace

int main(int argc, char** argv) {
  if (const std::string Path = Environment("QUORVEL_HOLD_OPEN"); !Path.empty())
    return HoldOpen(Path);
  if (const std::string Report = Environment("QUORVEL_REPORT_STARTUP"); !Report.empty())
    return ReportStartup(Report);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

TEST(WindowsFiles, AReceiptTheTillStillHoldsOpenIsSeenAsHeld) {
  TempDir dir;
  const std::string receipt = dir.Path() + "0001.ch";
  WriteText(receipt, "receipt");
  EXPECT_EQ(ProbeHeldOpen(receipt), THeldOpen::No);
  {
    THelper till(ThisProgram(), "QUORVEL_HOLD_OPEN", receipt);
    ASSERT_TRUE(till.Started());
    ASSERT_TRUE(WaitFor(receipt + ".held"));
    EXPECT_EQ(ProbeHeldOpen(receipt), THeldOpen::Yes);
    // The move the receipt worker would make is refused as well.
    EXPECT_FALSE(MoveFileNoReplace(receipt, dir.Path() + "staged.ch"));
  }
  EXPECT_EQ(ProbeHeldOpen(receipt), THeldOpen::No);
  EXPECT_TRUE(MoveFileNoReplace(receipt, dir.Path() + "staged.ch"));
  // Neither a missing file nor a folder can be probed.
  EXPECT_EQ(ProbeHeldOpen(dir.Path() + "missing.ch"), THeldOpen::Unknown);
  EXPECT_EQ(ProbeHeldOpen(dir.Path()), THeldOpen::Unknown);
}

TEST(WindowsFiles, FoldersAreTheSameByIdentityWhateverTheirText) {
  TempDir dir;
  ASSERT_TRUE(ForceDirectories(dir.Path() + "Till\\sub"));
  const std::string till = dir.Path() + "Till";
  struct Case {
    std::string Other;
    bool Same;
  };
  for (const Case& c : {Case{till + "\\", true}, Case{dir.Path() + "TILL", true},
                        Case{dir.Path() + ".\\Till\\.", true}, Case{till + "\\sub\\..", true},
                        Case{till + "\\sub", false}, Case{dir.Path(), false}}) {
    SCOPED_TRACE(c.Other);
    EXPECT_EQ(SameFolder(till, c.Other), c.Same);
  }
  // Where a folder is missing the texts decide, without regard to case.
  EXPECT_TRUE(SameFolder(dir.Path() + "gone", dir.Path() + "GONE"));
  EXPECT_FALSE(SameFolder(dir.Path() + "gone", dir.Path() + "gone\\"));
}

TEST(WindowsFiles, AFilesStateChangesWithItsContent) {
  TempDir dir;
  const std::string path = dir.Path() + "0001.ch";
  EXPECT_EQ(GetFileState(path), std::nullopt);
  WriteText(path, "abc");
  const std::optional<TFileState> before = GetFileState(path);
  ASSERT_TRUE(before.has_value());
  EXPECT_EQ(before->Size, 3u);
  EXPECT_GT(before->ModifiedNs, 0);
  EXPECT_EQ(GetFileState(path), before);
  WriteText(path, "abcdef");
  EXPECT_EQ(GetFileState(path)->Size, 6u);
}

TEST(WindowsFiles, AReplaceTakesTheNameWholeAndLeavesNoTemporaryFile) {
  TempDir dir;
  const std::string path = dir.Path() + "price.txt";
  ReplaceFileBytes(path, "first");
  ReplaceFileBytes(path, "second");
  EXPECT_EQ(LoadFileBytes(path), "second");
  EXPECT_THAT(FindFiles(dir.Path(), "*"), ElementsAre("price.txt"));
}

TEST(WindowsFiles, AMoveOntoAnExistingNameFailsAndLeavesBothFiles) {
  TempDir dir;
  WriteText(dir.Path() + "a.txt", "new");
  WriteText(dir.Path() + "b.txt", "old");
  EXPECT_FALSE(MoveFileNoReplace(dir.Path() + "a.txt", dir.Path() + "b.txt"));
  EXPECT_EQ(LoadFileBytes(dir.Path() + "a.txt"), "new");
  EXPECT_EQ(LoadFileBytes(dir.Path() + "b.txt"), "old");
  // Letter case does not make another name on Windows.
  EXPECT_FALSE(MoveFileNoReplace(dir.Path() + "a.txt", dir.Path() + "B.TXT"));
  EXPECT_TRUE(MoveFileNoReplace(dir.Path() + "a.txt", dir.Path() + "c.txt"));
  EXPECT_FALSE(FileExists(dir.Path() + "a.txt"));
  EXPECT_EQ(LoadFileBytes(dir.Path() + "c.txt"), "new");
}

// Wine's C: drive lies on the disk of the build; Z:\dev\shm\ is a memory file
// system, another volume, so the move there is a copy.
TEST(WindowsFiles, AMoveToAnotherVolumeCopiesWholeAndRemovesTheSource) {
  const std::string other = "Z:\\dev\\shm\\quorvel-move-" + std::to_string(GetCurrentProcessId());
  ASSERT_TRUE(ForceDirectories(other));
  TempDir onC;
  const std::string source = onC.Path() + "0001.ch";
  const std::string target = other + "\\0001.ch";
  WriteText(source, "receipt");
  WriteText(other + "\\taken.ch", "old");
  EXPECT_FALSE(MoveFileNoReplace(source, other + "\\taken.ch"));
  EXPECT_EQ(LoadFileBytes(other + "\\taken.ch"), "old");
  EXPECT_EQ(LoadFileBytes(source), "receipt");
  EXPECT_TRUE(MoveFileNoReplace(source, target));
  EXPECT_FALSE(FileExists(source));
  EXPECT_EQ(LoadFileBytes(target), "receipt");
  EXPECT_THAT(Sorted(FindFiles(other, "*")), ElementsAre("0001.ch", "taken.ch"));
  std::error_code ignored;
  fs::remove_all(other, ignored);
}

TEST(WindowsFiles, EnumerationMatchesTheMaskAndLeavesFoldersOut) {
  TempDir dir;
  WriteText(dir.Path() + "1.ch", "");
  WriteText(dir.Path() + "2.CH", "");
  WriteText(dir.Path() + "чек.ch", "");
  WriteText(dir.Path() + "3.z", "");
  WriteText(dir.Path() + "notes.txt", "");
  ASSERT_TRUE(ForceDirectories(dir.Path() + "folder.ch"));
  EXPECT_THAT(Sorted(FindFiles(dir.Path(), "*.ch")), ElementsAre("1.ch", "2.CH", "чек.ch"));
  EXPECT_THAT(FindFiles(dir.Path(), "*.z"), ElementsAre("3.z"));
  // The folder text may lack its backslash.
  EXPECT_THAT(FindFiles(dir.Path().substr(0, dir.Path().size() - 1), "*.z"), ElementsAre("3.z"));
  EXPECT_THAT(FindFiles(dir.Path() + "missing\\", "*.ch"), ElementsAre());
  EXPECT_FALSE(FileExists(dir.Path() + "folder.ch"));
  EXPECT_TRUE(FileExists(dir.Path() + "чек.ch"));
  EXPECT_TRUE(DeleteLocalFile(dir.Path() + "чек.ch"));
  EXPECT_FALSE(DeleteLocalFile(dir.Path() + "чек.ch"));
}

TEST(WindowsFiles, DriveRootsAreFoldersWithTheirBackslash) {
  EXPECT_EQ(IncludeTrailingPathDelimiter("C:\\"), "C:\\");
  EXPECT_EQ(IncludeTrailingPathDelimiter("C:"), "C:\\");
  EXPECT_EQ(IncludeTrailingPathDelimiter(""), "\\");
  EXPECT_FALSE(FileExists("C:\\"));
  EXPECT_TRUE(ForceDirectories("C:\\"));
  const std::string nested = "C:\\quorvel-root-" + std::to_string(GetCurrentProcessId());
  ASSERT_TRUE(ForceDirectories(nested + "\\reports\\checks"));
  WriteText(nested + "\\reports\\checks\\1.ch", "r");
  EXPECT_THAT(FindFiles(nested + "\\reports\\checks\\", "*.ch"), ElementsAre("1.ch"));
  EXPECT_THAT(FindFiles("C:\\", "quorvel-root-*"), ElementsAre()) << "folders are left out";
  EXPECT_TRUE(SamePath("c:\\shop\\", "C:\\SHOP\\"));
  EXPECT_FALSE(SamePath("C:\\Магазин\\", "C:\\магазин\\"));
  std::error_code ignored;
  fs::remove_all(nested, ignored);
}

TEST(WindowsFiles, ASaveReplacesWholeAndLeavesNoTemporaryFile) {
  TempDir dir;
  const std::string path = dir.Path() + "Quorvel.ini";
  SaveFileBytes(path, "first");
  SaveFileBytes(path, "second, longer");
  EXPECT_EQ(LoadFileBytes(path), "second, longer");
  EXPECT_THAT(FindFiles(dir.Path(), "*"), ElementsAre("Quorvel.ini"));
}

TEST(WindowsFiles, AReadOnlyFileIsNotReplaced) {
  TempDir dir;
  const std::string path = dir.Path() + "Quorvel.ini";
  SaveFileBytes(path, "kept");
  ASSERT_TRUE(SetFileAttributesW(Widen(path).c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_THROW(SaveFileBytes(path, "lost"), EFileError);
  EXPECT_EQ(LoadFileBytes(path), "kept");
  EXPECT_THAT(FindFiles(dir.Path(), "*"), ElementsAre("Quorvel.ini"));
  SetFileAttributesW(Widen(path).c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(WindowsFiles, LoadingAMissingFileOrAFolderRaises) {
  TempDir dir;
  EXPECT_THROW(LoadFileBytes(dir.Path() + "missing"), EFileError);
  EXPECT_THROW(LoadFileBytes(dir.Path()), EFileError);
}

TEST(WindowsFiles, LeftoversOfACutSaveAreRemovedAndNothingElse) {
  TempDir dir;
  const std::string leftover = TemporaryNameFor(dir.Path() + "Quorvel.ini");
  EXPECT_EQ(leftover.substr(0, dir.Path().size() + 13), dir.Path() + ".Quorvel.ini.");
  WriteText(leftover, "half");
  WriteText(dir.Path() + "price.tmp", "a download");
  WriteText(dir.Path() + ".hidden.tmp", "not ours");
  RemoveTemporaryLeftovers(dir.Path());
  EXPECT_THAT(Sorted(FindFiles(dir.Path(), "*")), ElementsAre(".hidden.tmp", "price.tmp"));
}

TEST(WindowsProgram, TheExecutablesNameAndFolderComeFromItsPath) {
  EXPECT_EQ(ExecutableFileName(), "platform_windows_test.exe");
  const std::string folder = ExecutableDirectory();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder.back(), '\\');
  EXPECT_TRUE(FileExists(folder + "platform_windows_test.exe"));
}

// An executable in C:\Shop\Agent gives the application directory
// C:\Shop\Agent\, the settings file C:\Shop\Agent\Quorvel.ini and the staging
// folder C:\Shop\Agent\reports\checks\; one at a drive root gives C:\.
TEST(WindowsProgram, StartUpFixesTheBackslashApplicationDirectory) {
  const std::string unique = std::to_string(GetCurrentProcessId());
  for (const std::string& folder : {"C:\\Shop" + unique + "\\Agent\\", std::string("C:\\")}) {
    SCOPED_TRACE(folder);
    const std::string program = folder + "quorvel-start-" + unique + ".exe";
    ASSERT_TRUE(ForceDirectories(folder));
    ASSERT_TRUE(CopyFileW(Widen(ThisProgram()).c_str(), Widen(program).c_str(), FALSE));
    TempDir out;
    {
      THelper agent(program, "QUORVEL_REPORT_STARTUP", out.Path() + "report.txt");
      ASSERT_TRUE(agent.Started());
      EXPECT_EQ(agent.Wait(20000), 0);
    }
    EXPECT_EQ(LoadFileBytes(out.Path() + "report.txt"), folder + "\n" + folder + "Quorvel.ini\n");
    const DWORD staging = GetFileAttributesW(Widen(folder + "reports\\checks\\").c_str());
    EXPECT_TRUE(staging != INVALID_FILE_ATTRIBUTES && (staging & FILE_ATTRIBUTE_DIRECTORY));
    DeleteLocalFile(program);
    RemoveDirectoryW(Widen(folder + "reports\\checks").c_str());
    RemoveDirectoryW(Widen(folder + "reports").c_str());
  }
  std::error_code ignored;
  fs::remove_all("C:\\Shop" + unique, ignored);
}

// Wine is started with the Russian locale, so the ANSI code page is the one
// a Russian Windows has, and it must agree with the Linux build's table.
TEST(WindowsText, TheAnsiCodePageIsTheLinuxBuildsCodePage1251) {
  ASSERT_EQ(GetACP(), 1251u);
  for (int byte = 0; byte < 256; ++byte) {
    const std::string bytes(1, static_cast<char>(byte));
    SCOPED_TRACE(byte);
    EXPECT_EQ(AnsiToUtf8(bytes), Cp1251ToUtf8(bytes));
    EXPECT_EQ(Utf8ToAnsi(Cp1251ToUtf8(bytes)), bytes);
  }
  EXPECT_EQ(Utf8ToAnsi("Загружен файл"), Utf8ToCp1251("Загружен файл"));
  // No look-alikes for what the code page lacks, and malformed UTF-8 is "?".
  EXPECT_EQ(Utf8ToAnsi("é中😀"), "???");
  EXPECT_EQ(Utf8ToAnsi("a\xC3"), "a?");
  EXPECT_EQ(Utf8ToAnsi(""), "");
}

TEST(WindowsText, ShortMonthNamesComeFromTheRussianRegionalSettings) {
  // Windows and Wine differ in the abbreviation's dot.
  const auto names = RegionalShortMonthNames();
  EXPECT_THAT(names[0], ::testing::StartsWith("янв"));
  EXPECT_THAT(names[11], ::testing::StartsWith("дек"));
}

TEST(WindowsText, WideTextRoundTripsAndErrorsHaveTheSystemsText) {
  EXPECT_EQ(Narrow(Widen("Обмен данными с кассой 😀")), "Обмен данными с кассой 😀");
  EXPECT_EQ(Widen("чек"), L"\u0447\u0435\u043a");
  EXPECT_FALSE(WindowsErrorText(ERROR_FILE_NOT_FOUND).empty());
  EXPECT_NE(WindowsErrorText(ERROR_FILE_NOT_FOUND).back(), '\n');
}

// A server's listing may name what Windows would take for another file or a
// device; such names are never downloaded.
TEST(WindowsNames, NamesWindowsWouldReadOtherwiseAreNotDelivered) {
  struct Case {
    const char* Name;
    bool Plain;
  };
  for (const Case& c :
       {Case{"price.txt", true}, Case{"Прайс №2.txt", true}, Case{"con.txt.bak", false},
        Case{"CON", false},      Case{"nul.txt", false},     Case{"Aux .dat", false},
        Case{"com1", false},     Case{"LPT9.x", false},      Case{"COM\xC2\xB9", false},
        Case{"com10", true},     Case{"console", true},      Case{"price.txt:stream", false},
        Case{"price.", false},   Case{"price ", false},      Case{"a*b", false},
        Case{"a?b", false},      Case{"a|b", false},         Case{"a\"b", false},
        Case{"a<b>", false},     Case{"tab\there", false}}) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(IsPlainFileName(c.Name), c.Plain);
    EXPECT_EQ(IsDeliverableName(c.Name), c.Plain);
  }
  // Windows drops the dot and the blank: these would land on the settings
  // file and on the program itself.
  EXPECT_FALSE(IsDeliverableName("Quorvel.ini."));
  EXPECT_FALSE(IsDeliverableName("QUORVEL.INI "));
  EXPECT_FALSE(IsDeliverableName("platform_windows_test.exe."));
}
