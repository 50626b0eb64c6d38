#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <ostream>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "platform/clock.h"
#include "platform/codepage.h"
#include "settings/uSettingsClass.h"
#include "support/FaultFtpServer.h"
#include "support/FaultScene.h"
#include "support/FaultStage.h"
#include "support/LoopbackSocketLibrary.h"
#include "support/WorkerHarness.h"
#include "support/WorkerView.h"
#include "ui/ExchangeJournal.h"
#include "workers/uSync.h"

// The agent against the real FTP server (pyftpdlib on loopback, "\" a
// separator) while that server fails at one step of a cycle: each command
// of a worker's cycle and of a journal upload in turn, with every kind of
// failure. After the cycle with the fault and after one clean cycle of the
// same worker, every file is checked byte by byte: nothing is lost, nothing
// half-written appears under a real name, and the clean cycle finishes the
// work.

using ::testing::IsEmpty;

namespace fs = std::filesystem;

namespace {

const auto* const SocketLibrary = ::testing::AddGlobalTestEnvironment(new LoopbackSocketLibrary);

constexpr int ShortPause = 10;

struct WorkerKind {
  const char* Name;
  std::shared_ptr<TFTPLoaderTh> (*Create)(TGetStrProc OnLoadProcess, TGetStrProc OnEndLoad);
  unsigned Files;  // FaultScene::TKinds
};

template <class TWorker>
std::shared_ptr<TFTPLoaderTh> CreateWorker(TGetStrProc OnLoadProcess, TGetStrProc OnEndLoad) {
  return TWorker::Create(std::move(OnLoadProcess), std::move(OnEndLoad));
}

const WorkerKind Receipts{"Receipts", CreateWorker<TFTPChLoaderTh>, FaultScene::Receipts};
const WorkerKind Price{"Price", CreateWorker<TFTPPriceLoaderTh>, FaultScene::Prices};
const WorkerKind Scale{"Scale", CreateWorker<TFTPScaleLoaderTh>, FaultScene::Scales};

// How the server fails, at every step where it can.
struct FailureKind {
  const char* Name;
  std::string Action;
  std::string Argument;
  // Only at the commands that open a transfer.
  bool TransfersOnly;
  // The agent's FTP time-out for the case; 0 keeps its 5 minutes.
  int SessionTimeoutMs = 0;
};

// Failures of the control connection, at any command.
const FailureKind ControlFailures[] = {
    {"Drop", "drop", "", false},
    {"DropInsteadOfTheFinalReply", "drop-reply", "", false},
    {"Refuse450", "reply", "450 Requested file action not taken.", false},
    {"Refuse550", "reply", "550 Requested action not taken.", false},
    {"Refuse421", "reply", "421 Service not available, closing control connection.", false},
    // The server hangs up after a short silence, as servers with an idle
    // limit do.
    {"StopAnswering", "silent", "60", false},
};

// A server that stops answering and never hangs up: each reply the agent
// waits for then takes the whole time-out, so the case shortens it and
// strikes only where a transfer begins.
const FailureKind SilentForGood{"StopAnsweringForGood", "silent", "600000", true, 1000};

const FailureKind DataReset{"ResetTheDataConnection", "reset-data", "64", true};

std::vector<FailureKind> AllFailures() {
  std::vector<FailureKind> all(std::begin(ControlFailures), std::end(ControlFailures));
  all.push_back(DataReset);
  all.push_back(SilentForGood);
  return all;
}

// Failure messages show the cases by their names.
void PrintTo(const WorkerKind& Kind, std::ostream* Out) { *Out << Kind.Name; }
void PrintTo(const FailureKind& Kind, std::ostream* Out) { *Out << Kind.Name; }

// The steps of a recorded cycle where a failure can strike: the greeting,
// then each command, as its word and its occurrence in the cycle.
std::vector<FtpFault> StepsOf(const std::vector<std::string>& Commands, const FailureKind& Kind,
                              int Connection = 0) {
  std::vector<FtpFault> steps;
  const auto add = [&](const std::string& Word, int Occurrence) {
    steps.push_back({Word, Occurrence, Kind.Action, Kind.Argument, Connection});
  };
  if (!Kind.TransfersOnly && Kind.Action != "drop-reply") add("GREETING", 1);
  std::map<std::string, int> seen;
  for (const std::string& line : Commands) {
    const std::string word = line.substr(0, line.find(' '));
    const int occurrence = ++seen[word];
    const bool transfer = word == "LIST" || word == "RETR" || word == "STOR";
    if (!Kind.TransfersOnly || transfer) add(word, occurrence);
  }
  return steps;
}

std::string CaseName(const ::testing::TestParamInfo<std::tuple<WorkerKind, FailureKind>>& Info) {
  return std::string(std::get<0>(Info.param).Name) + "_" + std::get<1>(Info.param).Name;
}

std::string Describe(const FtpFault& Fault) {
  return Fault.Action + " at " + Fault.Command + " #" + std::to_string(Fault.Occurrence);
}

void EmptyFolder(const std::string& Folder) {
  for (const auto& entry : fs::directory_iterator(Folder)) fs::remove_all(entry.path());
}

class FaultTest : public ::testing::Test {
 protected:
  void SetUp() override { SetWorkerTimeoutForTesting(ShortPause); }

  void TearDown() override {
    // A worker may still wait for a greeting that is held back.
    server.HoldFrom(0);
    server.ClearFaults();
    EXPECT_TRUE(WorkerStopAndWait(workers));
    SetWorkerTimeoutForTesting(0);
    UseSessionTimeout(0);
  }

  // The FTP time-out of the workers and journal uploads started from now on;
  // 0 restores theirs.
  static void UseSessionTimeout(int Ms) {
    SetWorkerSessionTimeoutForTesting(Ms);
    SetJournalUploadTimeoutForTesting(Ms);
  }

  // Starts a worker whose first cycle meets Faults and holds its second
  // cycle back at the greeting; true once the first cycle, which makes
  // Connections connections, is over.
  bool RunFirstCycle(const std::function<std::shared_ptr<TFTPLoaderTh>()>& Create,
                     std::vector<FtpFault> Faults, int Connections = 1) {
    FFirst = server.Connections() + 1;
    Faults.insert(Faults.end(), standing.begin(), standing.end());
    server.Inject(std::move(Faults));
    server.HoldFrom(FFirst + Connections);
    workers.push_back(Create());
    return server.WaitForConnection(FFirst + Connections);
  }

  // Lets the held cycle run without faults as the worker's last, and waits
  // until the worker has ended.
  bool RunCleanCycle() {
    const auto worker = workers.back();
    worker->Terminate();
    server.Inject(standing);
    server.HoldFrom(0);
    return WorkerPumpUntil([&] { return worker->Finished(); });
  }

  // The number of the first connection of the latest RunFirstCycle.
  int First() const { return FFirst; }

  FaultFtpServer server;
  // Faults of the server in every cycle, such as a missing command.
  std::vector<FtpFault> standing;
  std::vector<std::shared_ptr<TFTPLoaderTh>> workers;

 private:
  int FFirst = 0;
};

// ---------------------------------------------------------------------------
// Each step of a worker's cycle

class WorkerFaultTest : public FaultTest,
                        public ::testing::WithParamInterface<std::tuple<WorkerKind, FailureKind>> {
 protected:
  // Runs a clean cycle to learn the steps of the worker's cycle, then for
  // each step (of the command word Only, when given) a cycle with the
  // failure there and a clean cycle after it, checking the files after both.
  void CheckEveryStep(const std::string& Only = "") {
    const WorkerKind& kind = std::get<0>(GetParam());
    const FailureKind& failure = std::get<1>(GetParam());
    UseSessionTimeout(failure.SessionTimeoutMs);
    const auto create = [&] {
      return kind.Create(stage.events.FileDone(), stage.events.EndLoad());
    };
    stage.Arrange();
    ASSERT_TRUE(RunFirstCycle(create, {}));
    ASSERT_TRUE(RunCleanCycle());
    const std::vector<std::string> commands = server.Commands(First());
    ASSERT_THAT(stage.scene.EverythingMoved(kind.Files), IsEmpty());

    int struck = 0;
    for (const FtpFault& fault : StepsOf(commands, failure)) {
      if (!Only.empty() && fault.Command != Only) continue;
      ++struck;
      SCOPED_TRACE(Describe(fault));
      stage.Arrange();
      const size_t firedBefore = server.Fired().size();
      ASSERT_TRUE(RunFirstCycle(create, {fault}));
      ASSERT_EQ(server.Fired().size(), firedBefore + 1) << "the fault did not strike";
      EXPECT_THAT(stage.scene.NothingLost(stage.Reported()), IsEmpty());
      ASSERT_TRUE(RunCleanCycle());
      EXPECT_THAT(stage.scene.EverythingMoved(kind.Files), IsEmpty());
    }
    EXPECT_GT(struck, 0);
  }

  // It outlives the workers, whose events it keeps.
  FaultStage stage{server};
};

TEST_P(WorkerFaultTest, NothingIsLostAndTheNextCycleFinishesTheWork) { CheckEveryStep(); }

INSTANTIATE_TEST_SUITE_P(Steps, WorkerFaultTest,
                         ::testing::Combine(::testing::Values(Receipts, Price, Scale),
                                            ::testing::ValuesIn(AllFailures())),
                         CaseName);

// A server without "EPSV": the same at each "PASV".
class PassiveFaultTest : public WorkerFaultTest {};

TEST_P(PassiveFaultTest, NothingIsLostAndTheNextCycleFinishesTheWork) {
  standing = {{"EPSV", 0, "reply", "500 Unknown command."}};
  CheckEveryStep("PASV");
}

INSTANTIATE_TEST_SUITE_P(Steps, PassiveFaultTest,
                         ::testing::Combine(::testing::Values(Receipts, Price, Scale),
                                            ::testing::ValuesIn(ControlFailures)),
                         CaseName);

// ---------------------------------------------------------------------------
// Each step of a journal upload

// A clock that moves on by a minute at every reading, so that each journal
// has a name of its own.
class MinuteClock {
 public:
  MinuteClock() {
    SetClockForTesting([this] {
      ++FMinutes;
      return TLocalTime{2024, 3, 5, 10 + FMinutes / 60, FMinutes % 60, 9};
    });
  }
  ~MinuteClock() { SetClockForTesting(nullptr); }
  MinuteClock(const MinuteClock&) = delete;
  MinuteClock& operator=(const MinuteClock&) = delete;

 private:
  int FMinutes = 0;
};

std::vector<std::string> JournalsIn(const std::string& Folder) {
  static const std::regex journal("Checks[0-9]{14}");
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(Folder)) {
    const std::string name = entry.path().filename().string();
    if (std::regex_match(name, journal)) names.push_back(name);
  }
  return names;
}

class JournalFaultTest : public FaultTest, public ::testing::WithParamInterface<FailureKind> {
 protected:
  void SetUp() override {
    FaultTest::SetUp();
    SetJournalUploadPortForTesting(server.PortText());
  }
  void TearDown() override {
    FaultTest::TearDown();
    SetJournalUploadPortForTesting("");
  }

  // A receipt a.ch in a fresh till and the receipt worker with the real
  // journal handlers.
  void Arrange() {
    run.reset();
    run = std::make_unique<Run>();
    EmptyFolder(server.Root().Path());
    fs::create_directories(server.Root().Path() + "reports/checks");
    fs::create_directories(server.Root().Path() + "log");
    run->till.Write("reports/checks/a.ch", "receipt a");
    UseLoopbackServer(server.PortText(), run->till.Path(), run->till.Path());
  }

  std::shared_ptr<TFTPLoaderTh> Create() {
    return TFTPChLoaderTh::Create(
        [this](const std::string& Name) { run->journal.FileLoaded(Name); },
        [this](const std::string&) { run->journal.EndLoad(run->view); });
  }

  std::string RemoteLog() const { return server.Root().Path() + "log"; }

  struct Run {
    WorkerAppDir app;
    TempDir till;
    WorkerView view;
    TExchangeJournal journal{TExchangeJournal::Checks};
  };
  const MinuteClock clock;
  std::unique_ptr<Run> run;
};

// The receipt worker with its journal: an upload that fails at any step
// loses no receipt and leaves the whole journal in the application
// directory with the stamp as it was; the worker goes on, and its next
// cycle uploads the next journal and the one left behind.
TEST_P(JournalFaultTest, AFailedUploadKeepsTheJournalWholeAndTheWorkerGoesOn) {
  const std::string prefix = Utf8ToCp1251("Загружен файл ");
  const auto create = [this] { return Create(); };
  UseSessionTimeout(GetParam().SessionTimeoutMs);

  // A clean run shows the steps of an upload: the worker's cycle is the
  // first connection, the journal's the second.
  Arrange();
  ASSERT_TRUE(RunFirstCycle(create, {}, 2));
  ASSERT_TRUE(RunCleanCycle());
  const std::vector<std::string> commands = server.Commands(First() + 1);
  ASSERT_EQ(JournalsIn(RemoteLog()).size(), 1u);

  for (FtpFault fault : StepsOf(commands, GetParam())) {
    SCOPED_TRACE(Describe(fault));
    Arrange();
    fault.Connection = server.Connections() + 2;
    const size_t firedBefore = server.Fired().size();
    ASSERT_TRUE(RunFirstCycle(create, {fault}, 2));
    ASSERT_EQ(server.Fired().size(), firedBefore + 1) << "the fault did not strike";
    EXPECT_EQ(server.Root().Read("reports/checks/a.ch"), "receipt a");
    EXPECT_FALSE(run->till.Exists("reports/checks/a.ch"));

    // Some refusals (of SIZE, TYPE, the restart probe) do not stop an
    // upload; the others leave the journal behind.
    const std::vector<std::string> left = JournalsIn(run->app.Path());
    const std::vector<std::string> remote = JournalsIn(RemoteLog());
    std::string first;
    if (left.empty()) {
      ASSERT_EQ(remote.size(), 1u);
      first = remote[0];
      EXPECT_EQ(server.Root().Read("log/" + first), prefix + "a.ch\r\n");
      EXPECT_NE(Settings->ChSync(), "");
    } else {
      ASSERT_EQ(left.size(), 1u);
      first = left[0];
      EXPECT_EQ(run->app.Dir().Read(first), prefix + "a.ch\r\n");
      EXPECT_EQ(Settings->ChSync(), "");
      // The server holds at most the journal's beginning.
      if (!remote.empty()) {
        EXPECT_TRUE((prefix + "a.ch\r\n").starts_with(server.Root().Read("log/" + first)));
      }
    }

    // The next cycle's journal goes up, and the one left behind with it,
    // whole under its own name.
    run->till.Write("reports/checks/b.ch", "receipt b");
    ASSERT_TRUE(RunCleanCycle());
    EXPECT_EQ(server.Root().Read("reports/checks/b.ch"), "receipt b");
    EXPECT_EQ(server.Root().Read("log/" + first), prefix + "a.ch\r\n");
    std::vector<std::string> next = JournalsIn(RemoteLog());
    std::erase(next, first);
    ASSERT_EQ(next.size(), 1u);
    EXPECT_EQ(server.Root().Read("log/" + next[0]), prefix + "b.ch\r\n");
    EXPECT_THAT(JournalsIn(run->app.Path()), IsEmpty());
    EXPECT_NE(Settings->ChSync(), "");
  }
}

INSTANTIATE_TEST_SUITE_P(Steps, JournalFaultTest, ::testing::ValuesIn(AllFailures()),
                         [](const auto& Info) { return std::string(Info.param.Name); });

}  // namespace
