#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <ostream>
#include <regex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "net/blcksock.h"
#include "platform/codepage.h"
#include "platform/posix_calls.h"
#include "platform/tempnames.h"
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
constexpr int ShortSettle = 200;

// With QUORVEL_FAULT_CUT_AT set, the process ends, as at a power cut, when a
// save is about to rename its temporary file to a name that ends so.
std::string CutAt;

int RenameOrCut(const char* From, const char* To) {
  if (std::string_view(To).ends_with(CutAt)) std::_Exit(3);
  return SystemPosixCalls().Rename(From, To);
}

int RunAgent(const std::string& App) {
  LoadSocketLibrary();
  SetWorkerTimeoutForTesting(ShortPause);
  SetReceiptSettleTimeForTesting(ShortSettle);
  SetJournalUploadPortForTesting(std::getenv("QUORVEL_FAULT_JOURNAL_PORT"));
  if (const char* cut = std::getenv("QUORVEL_FAULT_CUT_AT")) {
    CutAt = cut;
    PosixCalls().Rename = RenameOrCut;
  }
  InitApplicationDirectory(App);
  Settings = new TQuorvelSettings(App);
  RemoveSaveLeftovers();
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

// Each file-system call of a price cycle (writing each download into a
// temporary file in the till folder, flushing it, renaming it over the older
// copy, flushing the folder) fails in turn with a full disk. The price file
// is then whole in the till or still on the server, and a clean cycle after
// it leaves nothing on the server.
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

// A journal that meets a full disk is not written beside the program, under
// its name or any other: it goes up from memory, only its stamp cannot be
// stored, and the worker goes on.
TEST_F(TillFaultTest, AJournalOnAFullDiskGoesUpFromMemory) {
  SetJournalUploadPortForTesting(server.PortText());
  WorkerView view;
  TExchangeJournal journal(TExchangeJournal::Checks);
  const auto create = [&] {
    return TFTPChLoaderTh::Create([&](const std::string& Name) { journal.FileLoaded(Name); },
                                  [&](const std::string&) { journal.EndLoad(view); });
  };
  const auto journals = [&] {
    std::vector<std::string> texts;
    for (const auto& entry : fs::directory_iterator(server.Root().Path() + "log"))
      texts.push_back(server.Root().Read("log/" + entry.path().filename().string()));
    return texts;
  };
  const auto line = [](const char* Name) {
    return Utf8ToCp1251(std::string("Загружен файл ") + Name + "\r\n");
  };
  stage.Arrange();
  {
    PosixFaults faults;
    faults.FailEvery("write", ENOSPC);
    ASSERT_TRUE(FaultRunOneCycle(server, create));
  }
  EXPECT_THAT(stage.scene.NothingLost({}, true), IsEmpty());
  EXPECT_THAT(journal.Lines(), IsEmpty());
  ASSERT_EQ(journals().size(), 1u);
  EXPECT_NE(journals()[0].find(line("r1.ch")), std::string::npos);
  EXPECT_NE(journals()[0].find(line("r2.z")), std::string::npos);
  EXPECT_EQ(TQuorvelSettings(stage.app.Path()).ChSync(), "");

  stage.till.Write("reports/checks/later.ch", "later");
  ASSERT_TRUE(FaultRunOneCycle(server, create));
  SetJournalUploadPortForTesting("");
  EXPECT_EQ(server.Root().Read("reports/checks/later.ch"), "later");
  const std::vector<std::string> both = journals();
  ASSERT_EQ(both.size(), 2u);
  EXPECT_TRUE(both[0] == line("later.ch") || both[1] == line("later.ch"));
  EXPECT_NE(TQuorvelSettings(stage.app.Path()).ChSync(), "");
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
  // Takes folders or files away from the agent's user.
  void (*Protect)(const FaultStage& Stage);
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
     [](const FaultStage& Stage) {
       GiveToNobody(Stage.app.Path());
       KeepForRoot(Stage.app.Path() + "Quorvel.ini", fs::perms(0644));
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
     [](const FaultStage& Stage) {
       GiveToNobody(Stage.app.Path());
       KeepForRoot(Stage.app.Path() + "reports/checks/r2.z", fs::perms(0644));
       KeepForRoot(Stage.app.Path() + "reports/checks", fs::perms(0755));
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
     [](const FaultStage& Stage) {
       GiveToNobody(Stage.app.Path() + "reports");
       KeepForRoot(Stage.app.Path() + "Quorvel.ini", fs::perms(0644));
       KeepForRoot(Stage.app.Path(), fs::perms(0755));
     },
     [](const FaultStage& Stage, const FaultFtpServer& Server, const std::string& Before) {
       // Receipts go up and downloads, which never pass through the
       // program's folder, arrive; no journal can be written there, so the
       // journals go up from memory.
       EXPECT_THAT(Stage.scene.EverythingMoved(FaultScene::All, true), IsEmpty());
       EXPECT_FALSE(HasJournals(Stage.app.Path()));
       EXPECT_GE(LogOf(Server).size(), 3u);
       EXPECT_EQ(Stage.app.Dir().Read("Quorvel.ini"), Before);
     }},
    {"ReadOnlyScalesFolder",
     [](const FaultStage& Stage) {
       GiveToNobody(Stage.app.Path());
       KeepForRoot(Stage.scales.Path(), fs::perms(0755));
     },
     [](const FaultStage& Stage, const FaultFtpServer& Server, const std::string&) {
       // Scale files cannot be saved where they belong: they stay on the
       // server, appear nowhere else, and no scale journal reports them.
       EXPECT_THAT(Stage.scene.EverythingMoved(FaultScene::Receipts | FaultScene::Prices, true),
                   IsEmpty());
       for (const std::string& journal : LogOf(Server))
         EXPECT_FALSE(journal.starts_with("Scale")) << journal;
     }},
};

// Runs the agent in a copy of this program for Ms, as "nobody" unless
// AsRoot, after making the program and every folder on the way reachable to
// that user. The till and the scales folder are given to the agent's user.
ChildResult RunAgentFor(const FaultStage& Stage, const FaultFtpServer& Server, int Ms,
                        bool AsRoot = false, const std::vector<std::string>& Extra = {}) {
  const TempDir programDir;
  const std::string program = programDir.Path() + "fault_local_test";
  fs::copy_file(SelfExecutable(), program);
  for (const std::string& dir :
       {programDir.Path(), Stage.app.Path(), Stage.till.Path(), Stage.scales.Path()})
    fs::permissions(dir, fs::perms(0755));
  std::vector<std::string> environment = {"QUORVEL_FAULT_AGENT_IN=" + Stage.app.Path(),
                                          "QUORVEL_FAULT_JOURNAL_PORT=" + Server.PortText(),
                                          "QUORVEL_FAULT_RUN_MS=" + std::to_string(Ms)};
  environment.insert(environment.end(), Extra.begin(), Extra.end());
  return AsRoot ? RunChild({program}, environment) : RunChildAsNobody({program}, environment);
}

class AnotherUserTest : public TillFaultTest,
                        public ::testing::WithParamInterface<AnotherUserCase> {};

TEST_P(AnotherUserTest, TheAgentLosesNothingAndGoesOn) {
  const AnotherUserCase& c = GetParam();
  Settings->SetAutoStartThread(true);
  stage.Arrange();
  GiveToNobody(stage.till.Path());
  GiveToNobody(stage.scales.Path());
  c.Protect(stage);
  const std::string settingsBefore = stage.app.Dir().Read("Quorvel.ini");

  const ChildResult agent = RunAgentFor(stage, server, 2000);
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

// ---------------------------------------------------------------------------
// A receipt that the till is still writing

// The till writes a receipt bit by bit and keeps it open until it is done.
// Whoever the agent runs as, and whoever owns the receipt, it stays in the
// till folder until the till is done, and then goes up whole. Where the
// agent may not lease another user's file, it waits for the receipt to stop
// changing.
struct ReceiptBeingWrittenCase {
  const char* Name;
  bool AgentAsRoot;
  uid_t ReceiptOwner;
};

// Failure messages show the case by its name.
void PrintTo(const ReceiptBeingWrittenCase& Case, std::ostream* Out) { *Out << Case.Name; }

class ReceiptBeingWrittenTest : public TillFaultTest,
                                public ::testing::WithParamInterface<ReceiptBeingWrittenCase> {};

TEST_P(ReceiptBeingWrittenTest, StaysInTheTillUntilItIsWhole) {
  constexpr int Pieces = 30;
  constexpr size_t PieceSize = 1000;
  constexpr int PieceMs = 50;  // well below the agent's settle time
  const std::string whole = FaultScene::Content("w.ch", static_cast<size_t>(Pieces) * PieceSize);
  Settings->SetAutoStartThread(true);
  fs::create_directories(server.Root().Path() + "reports/checks");
  fs::create_directories(server.Root().Path() + "log");
  fs::create_directories(stage.till.Path() + "reports/checks");
  GiveToNobody(stage.app.Path());
  GiveToNobody(stage.till.Path());
  const std::string receipt = stage.till.Path() + "reports/checks/w.ch";
  const int fd = ::open(receipt.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::fchown(fd, GetParam().ReceiptOwner, GetParam().ReceiptOwner), 0);
  const auto piece = [&](size_t I) {
    return ::write(fd, whole.data() + I * PieceSize, PieceSize) == static_cast<ssize_t>(PieceSize);
  };
  ASSERT_TRUE(piece(0));
  std::thread till([&] {
    for (int i = 1; i < Pieces; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(PieceMs));
      EXPECT_TRUE(piece(static_cast<size_t>(i)));
    }
    ::close(fd);
  });

  const ChildResult agent =
      RunAgentFor(stage, server, Pieces * PieceMs + 6 * ShortSettle + 1000, GetParam().AgentAsRoot);
  till.join();
  ASSERT_EQ(agent.ExitCode, 0) << agent.Output;
  EXPECT_EQ(server.Root().Read("reports/checks/w.ch"), whole);
  EXPECT_FALSE(stage.till.Exists("reports/checks/w.ch"));
  EXPECT_FALSE(stage.app.Dir().Exists("reports/checks/w.ch"));
}

INSTANTIATE_TEST_SUITE_P(Users, ReceiptBeingWrittenTest,
                         ::testing::Values(ReceiptBeingWrittenCase{"AgentAsRoot", true, 0},
                                           ReceiptBeingWrittenCase{"AgentAsTheReceiptsOwner", false,
                                                                   Nobody},
                                           ReceiptBeingWrittenCase{"AgentAsAnotherUser", false, 0}),
                         [](const auto& Info) { return std::string(Info.param.Name); });

// ---------------------------------------------------------------------------
// A power cut in the middle of a save

// The agent ends at the moment a download would take its real name: its
// temporary file stays in the till folder, the older copy and the server
// copy stay whole. The next start removes the temporary file, and the run
// after it delivers everything.
TEST_F(TillFaultTest, ASaveCutShortLeavesNothingBehindAfterTheNextStart) {
  Settings->SetAutoStartThread(true);
  stage.Arrange();
  const ChildResult cut = RunAgentFor(stage, server, 5000, true, {"QUORVEL_FAULT_CUT_AT=/p1.txt"});
  ASSERT_EQ(cut.ExitCode, 3) << cut.Output;
  std::vector<std::string> leftovers;
  for (const auto& entry : fs::directory_iterator(stage.till.Path()))
    if (IsTemporaryName(entry.path().filename().string()))
      leftovers.push_back(entry.path().filename().string());
  ASSERT_EQ(leftovers.size(), 1u);
  EXPECT_TRUE(leftovers[0].starts_with(".p1.txt.")) << leftovers[0];
  EXPECT_EQ(server.Root().Read("p1.txt"), FaultScene::Content("p1.txt", 200000));

  const ChildResult next = RunAgentFor(stage, server, 2000, true);
  ASSERT_EQ(next.ExitCode, 0) << next.Output;
  EXPECT_THAT(stage.scene.EverythingMoved(FaultScene::All, true), IsEmpty());
  EXPECT_THAT(stage.scene.NothingLost({}, true), IsEmpty());
}

}  // namespace
