#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

// The program as built beside this test: <build>/app/quorvel.
std::string BuiltProgram() {
  const fs::path Program =
      fs::path(SelfExecutable()).parent_path().parent_path() / "app" / "quorvel";
  if (!fs::exists(Program)) ADD_FAILURE() << Program << " is not built";
  return Program.string();
}

std::set<std::string> Tree(const std::string& Folder) {
  std::set<std::string> Names;
  for (const auto& Entry : fs::recursive_directory_iterator(Folder)) {
    Names.insert(fs::relative(Entry.path(), Folder).string());
  }
  return Names;
}

// A copy of the program in a folder of its own, as on a till.
class InstalledProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(Folder);
    fs::copy_file(BuiltProgram(), Folder + "quorvel");
    // Other users may reach the folder but not change it.
    for (const std::string& Level : {Dir.Path(), Dir.Path() + "Shop Касса/", Folder}) {
      fs::permissions(Level, fs::perms(0755));
    }
  }

  TempDir Dir;
  const std::string Folder = Dir.Path() + "Shop Касса/Agent/";
};

// The program runs until it is stopped (SIGTERM, which ends it with status
// 0); without a display it runs headless and reports its first balloon on
// standard error, after start-up is done.
const std::vector<std::string> kNoDisplay = {"DISPLAY=", "WAYLAND_DISPLAY="};
const std::string kFirstBalloon = "Программа запущена";

ChildResult RunUntilStarted(const std::string& Program) {
  return RunChild({Program}, kNoDisplay, 60, kFirstBalloon);
}

}  // namespace

TEST_F(InstalledProgram, CreatesTheStagingFolderButNoSettingsFile) {
  const ChildResult Run = RunUntilStarted(Folder + "quorvel");
  EXPECT_EQ(Run.ExitCode, 0) << Run.Output;
  EXPECT_NE(Run.Output.find(kFirstBalloon), std::string::npos) << Run.Output;
  EXPECT_EQ(Tree(Folder), (std::set<std::string>{"quorvel", "reports", "reports/checks"}));
}

TEST_F(InstalledProgram, ReadsAnExistingSettingsFileWithoutWritingIt) {
  Dir.Write("Shop Касса/Agent/Quorvel.ini",
            "[main]\r\nserver=ftp.shop.local\r\nAutoStartThread=0\r\n");
  const auto Written = fs::last_write_time(Folder + "Quorvel.ini");
  const ChildResult Run = RunUntilStarted(Folder + "quorvel");
  EXPECT_EQ(Run.ExitCode, 0) << Run.Output;
  EXPECT_EQ(Dir.Read("Shop Касса/Agent/Quorvel.ini"),
            "[main]\r\nserver=ftp.shop.local\r\nAutoStartThread=0\r\n");
  EXPECT_EQ(fs::last_write_time(Folder + "Quorvel.ini"), Written);
}

// Tests run as root, whom permission bits do not stop.
TEST_F(InstalledProgram, StartsAndStopsInAFolderItCannotWrite) {
  const ChildResult Run = RunChildAsNobody({Folder + "quorvel"}, kNoDisplay, 60, kFirstBalloon);
  EXPECT_EQ(Run.ExitCode, 0) << Run.Output;
  EXPECT_NE(Run.Output.find(kFirstBalloon), std::string::npos) << Run.Output;
  EXPECT_EQ(Tree(Folder), std::set<std::string>{"quorvel"});
}
