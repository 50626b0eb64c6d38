#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "net/blcksock.h"
#include "platform/codepage.h"
#include "settings/uSettingsClass.h"
#include "support/ChildProcess.h"
#include "support/FaultFtpServer.h"
#include "support/FaultStage.h"
#include "support/LoopbackSocketLibrary.h"
#include "support/PosixFaults.h"
#include "support/WorkerHarness.h"
#include "support/WorkerView.h"
#include "ui/ExchangeJournal.h"
#include "ui/SyncController.h"
#include "workers/MainThreadDispatch.h"
#include "workers/uSync.h"

// Local faults on the till computer while the agent works against the real
// FTP server: a missing staging folder, a full disk at every step of saving
// a download and while writing a journal, and folders and a settings file
// that refuse writing to the user the agent runs as. Whatever fails, nothing
// is lost, nothing half-written appears under a real name, and the workers
// go on.
//
// The cases of another user run the agent in a copy of this program started
// as "nobody" with QUORVEL_FAULT_AGENT_IN set: it runs the controller with
// auto-start for a while, as the program does, and prints the state shown.

using ::testing::IsEmpty;

namespace fs = std::filesystem;

namespace {

constexpr int ShortPause = 20;

int RunAgent(const std::string& App) {
  LoadSocketLibrary();
  SetWorkerTimeoutForTesting(ShortPause);
  SetJournalUploadPortForTesting(std::getenv("QUORVEL_FAULT_JOURNAL_PORT"));
  InitApplicationDirectory(App);
  Settings = new TQuorvelSettings(App);
  WorkerView view;
  TSyncController controller(view);
  controller.FormCreate();
  WorkerPumpFor(std::atoi(std::getenv("QUORVEL_FAULT_RUN_MS")));
  std::fputs(view.Status.c_str(), stdout);
  std::fflush(stdout);
  // The workers are still running: end as the program does, without
  // waiting for them.
  std::_Exit(0);
}

}  // namespace

int main(int argc, char** argv) {
  if (const char* app = std::getenv("QUORVEL_FAULT_AGENT_IN")) return RunAgent(app);
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new LoopbackSocketLibrary);
  return RUN_ALL_TESTS();
}

namespace {

class TillFaultTest : public ::testing::Test {
 protected:
  void SetUp() override { SetWorkerTimeoutForTesting(ShortPause); }
  void TearDown() override { SetWorkerTimeoutForTesting(0); }

  FaultFtpServer server;
  FaultStage stage{server};
};

// ---------------------------------------------------------------------------
// The staging folder

// Someone removed "reports/checks/" below the program while it runs: the
// receipts stay whole in the till, and once the folder is back they go.
TEST_F(TillFaultTest, WithoutTheStagingFolderReceiptsWaitInTheTill) {
  stage.Arrange();
  fs::remove_all(stage.app.Path() + "reports");
  ASSERT_TRUE(FaultRunOneCycle(server, [&] { return stage.Create<TFTPChLoaderTh>(); }));
  EXPECT_THAT(stage.Reported(), IsEmpty());
  EXPECT_EQ(stage.till.Read("reports/checks/r1.ch"), FaultScene::Content("r1.ch", 200000));
  EXPECT_FALSE(server.Root().Exists("reports/checks/r1.ch"));

  fs::create_directories(stage.app.Path() + "reports/checks");
  ASSERT_TRUE(FaultRunOneCycle(server, [&] { return stage.Create<TFTPChLoaderTh>(); }));
  EXPECT_EQ(server.Root().Read("reports/checks/r1.ch"), FaultScene::Content("r1.ch", 200000));
  EXPECT_FALSE(stage.till.Exists("reports/checks/r1.ch"));
}

// ---------------------------------------------------------------------------
// A full disk

// Each file-system call of a price cycle (saving each download beside the
// till under a temporary name, flushing, renaming it into place, removing
// the older copy, moving it into the till folder) fails in turn with a full
// disk. The price file is then whole in the till, whole in the staging
// folder, or still on the server, and a clean cycle after it leaves
// nothing on the server.
TEST_F(TillFaultTest, EveryStepOfSavingADownloadMayFindTheDiskFull) {
  const auto create = [&] { return stage.Create<TFTPPriceLoaderTh>(); };
  std::vector<std::string> calls;
  stage.Arrange();
  {
    const PosixFaults counter;
    ASSERT_TRUE(FaultRunOneCycle(server, create));
    calls = counter.Log();
  }
  ASSERT_THAT(stage.scene.EverythingMoved(FaultScene::Prices), IsEmpty());
  ASSERT_GE(calls.size(), 10u);

  for (size_t call = 0; call < calls.size(); ++call) {
    SCOPED_TRACE(calls[call] + " #" + std::to_string(call));
    stage.Arrange();
    {
      PosixFaults faults;
      faults.FailCall(call, ENOSPC);
      ASSERT_TRUE(FaultRunOneCycle(server, create));
    }
    EXPECT_THAT(stage.scene.NothingLost(stage.Reported()), IsEmpty());
    ASSERT_TRUE(FaultRunOneCycle(server, create));
    EXPECT_THAT(stage.scene.NothingLost(stage.Reported()), IsEmpty());
    EXPECT_FALSE(server.Root().Exists("p1.txt"));
    EXPECT_FALSE(server.Root().Exists("p2.txt"));
  }
}

// A journal that meets a full disk is not written at all, under its name or
// any other; its lines go with the next journal of the kind, and the worker
// goes on.
TEST_F(TillFaultTest, AJournalOnAFullDiskKeepsItsLinesForTheNext) {
  SetJournalUploadPortForTesting(server.PortText());
  WorkerView view;
  TExchangeJournal journal(TExchangeJournal::Checks);
  const auto create = [&] {
    return TFTPChLoaderTh::Create([&](const std::string& Name) { journal.FileLoaded(Name); },
                                  [&](const std::string&) { journal.EndLoad(view); });
  };
  stage.Arrange();
  {
    PosixFaults faults;
    faults.FailEvery("write", ENOSPC);
    ASSERT_TRUE(FaultRunOneCycle(server, create));
  }
  EXPECT_THAT(stage.scene.NothingLost({}), IsEmpty());
  EXPECT_EQ(journal.Lines().size(), 2u);
  EXPECT_TRUE(fs::is_empty(server.Root().Path() + "log"));
  EXPECT_EQ(Settings->ChSync(), "");

  stage.till.Write("reports/checks/later.ch", "later");
  ASSERT_TRUE(FaultRunOneCycle(server, create));
  SetJournalUploadPortForTesting("");
  EXPECT_EQ(server.Root().Read("reports/checks/later.ch"), "later");
  ASSERT_EQ(
      std::distance(fs::directory_iterator(server.Root().Path() + "log"), fs::directory_iterator()),
      1);
  const std::string uploaded = server.Root().Read(
      "log/" + fs::directory_iterator(server.Root().Path() + "log")->path().filename().string());
  for (const char* name : {"r1.ch", "r2.z", "later.ch"})
    EXPECT_NE(uploaded.find(Utf8ToCp1251(std::string("Загружен файл ") + name + "\r\n")),
              std::string::npos)
        << name;
  EXPECT_NE(Settings->ChSync(), "");
  EXPECT_THAT(journal.Lines(), IsEmpty());
}

// ---------------------------------------------------------------------------
// Places that refuse writing to the user the agent runs as

constexpr uid_t Nobody = 65534;

void GiveToNobody(const std::string& Path) {
  ASSERT_EQ(chown(Path.c_str(), Nobody, Nobody), 0) << Path;
  for (const auto& entry : fs::recursive_directory_iterator(Path))
    ASSERT_EQ(lchown(entry.path().c_str(), Nobody, Nobody), 0) << entry.path();
}

void KeepForRoot(const std::string& Path, fs::perms Permissions) {
  ASSERT_EQ(chown(Path.c_str(), 0, 0), 0) << Path;
  fs::permissions(Path, Permissions);
}

// The kind of worker each control connection served, told by its commands.
std::vector<std::string> CycleKinds(const FaultFtpServer& Server) {
  std::vector<std::string> kinds;
  for (int connection = 1; connection <= Server.Connections(); ++connection) {
    std::string kind = "receipts";
    for (const std::string& line : Server.Commands(connection)) {
      if (line == "LIST") kind = "price";
      if (line == "LIST scale\\") kind = "scale";
      if (line.starts_with("SIZE log\\")) kind = "journal";
    }
    kinds.push_back(kind);
  }
  return kinds;
}

struct AnotherUserCase {
  const char* Name;
  // Takes the application directory's parts away from the agent's user.
  void (*Protect)(const std::string& App);
  // What arrives besides the promise of FaultScene.
  void (*Expect)(const FaultStage& Stage, const FaultFtpServer& Server,
                 const std::string& Settings);
};

// Failure messages show the case by its name.
void PrintTo(const AnotherUserCase& Case, std::ostream* Out) { *Out << Case.Name; }

std::vector<std::string> LogOf(const FaultFtpServer& Server) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(Server.Root().Path() + "log"))
    names.push_back(entry.path().filename().string());
  return names;
}

bool HasJournals(const std::string& Folder) {
  static const std::regex journal("(Checks|Price|Scale)[0-9]{14}");
  for (const auto& entry : fs::directory_iterator(Folder))
    if (std::regex_match(entry.path().filename().string(), journal)) return true;
  return false;
}

const AnotherUserCase AnotherUserCases[] = {
    {"ReadOnlySettingsFile",
     [](const std::string& App) {
       GiveToNobody(App);
       KeepForRoot(App + "Quorvel.ini", fs::perms(0644));
     },
     [](const FaultStage& Stage, const FaultFtpServer& Server, const std::string& Before) {
       // Everything moves and every journal goes up; only the stamps
       // cannot be kept.
       EXPECT_THAT(Stage.scene.EverythingMoved(FaultScene::All, true), IsEmpty());
       EXPECT_FALSE(HasJournals(Stage.app.Path()));
       EXPECT_GE(LogOf(Server).size(), 3u);
       EXPECT_EQ(Stage.app.Dir().Read("Quorvel.ini"), Before);
     }},
    {"ReadOnlyStagingFolder",
     [](const std::string& App) {
       GiveToNobody(App);
       KeepForRoot(App + "reports/checks/r2.z", fs::perms(0644));
       KeepForRoot(App + "reports/checks", fs::perms(0755));
     },
     [](const FaultStage& Stage, const FaultFtpServer& Server, const std::string&) {
       // The till's receipt cannot be staged; the staged one goes up every
       // cycle, since it cannot be deleted after the upload.
       EXPECT_EQ(Stage.till.Read("reports/checks/r1.ch"), FaultScene::Content("r1.ch", 200000));
       EXPECT_EQ(Server.Root().Read("reports/checks/r2.z"), FaultScene::Content("r2.z", 700));
       EXPECT_TRUE(Stage.app.Dir().Exists("reports/checks/r2.z"));
       EXPECT_THAT(Stage.scene.EverythingMoved(FaultScene::Prices | FaultScene::Scales, true),
                   ::testing::ElementsAre("receipt r2.z was touched"));
     }},
    {"ReadOnlyApplicationDirectory",
     [](const std::string& App) {
       GiveToNobody(App + "reports");
       KeepForRoot(App + "Quorvel.ini", fs::perms(0644));
       KeepForRoot(App, fs::perms(0755));
     },
     [](const FaultStage& Stage, const FaultFtpServer& Server, const std::string& Before) {
       // Receipts go up; downloads cannot be saved beside the program and
       // stay on the server; no journal can be written.
       EXPECT_THAT(Stage.scene.EverythingMoved(FaultScene::Receipts, true), IsEmpty());
       EXPECT_THAT(LogOf(Server), IsEmpty());
       EXPECT_EQ(Stage.app.Dir().Read("Quorvel.ini"), Before);
     }},
};

class AnotherUserTest : public TillFaultTest,
                        public ::testing::WithParamInterface<AnotherUserCase> {};

TEST_P(AnotherUserTest, TheAgentLosesNothingAndGoesOn) {
  const AnotherUserCase& c = GetParam();
  Settings->SetAutoStartThread(true);
  stage.Arrange();
  // The agent's user must reach its program and every folder on the way.
  const TempDir programDir;
  const std::string program = programDir.Path() + "fault_local_test";
  fs::copy_file(SelfExecutable(), program);
  for (const std::string& dir :
       {programDir.Path(), stage.app.Path(), stage.till.Path(), stage.scales.Path()})
    fs::permissions(dir, fs::perms(0755));
  GiveToNobody(stage.till.Path());
  GiveToNobody(stage.scales.Path());
  c.Protect(stage.app.Path());
  const std::string settingsBefore = stage.app.Dir().Read("Quorvel.ini");

  const ChildResult agent = RunChildAsNobody(
      {program}, {"QUORVEL_FAULT_AGENT_IN=" + stage.app.Path(),
                  "QUORVEL_FAULT_JOURNAL_PORT=" + server.PortText(), "QUORVEL_FAULT_RUN_MS=2000"});
  ASSERT_EQ(agent.ExitCode, 0) << agent.Output;
  EXPECT_EQ(agent.Output, "Запущен");

  EXPECT_THAT(stage.scene.NothingLost({}, true), IsEmpty());
  c.Expect(stage, server, settingsBefore);
  // Every worker kept cycling after what went wrong.
  const std::vector<std::string> kinds = CycleKinds(server);
  for (const char* kind : {"receipts", "price", "scale"})
    EXPECT_GE(std::count(kinds.begin(), kinds.end(), kind), 3) << kind;
}

INSTANTIATE_TEST_SUITE_P(Cases, AnotherUserTest, ::testing::ValuesIn(AnotherUserCases),
                         [](const auto& Info) { return std::string(Info.param.Name); });

}  // namespace
