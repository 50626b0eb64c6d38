#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/codepage.h"
#include "settings/uSettingsClass.h"
#include "support/FtpServer.h"
#include "support/LoopbackPorts.h"
#include "support/ScriptedFtpPeer.h"
#include "support/WorkerHarness.h"
#include "support/WorkerView.h"
#include "ui/SyncController.h"
#include "workers/MainThreadDispatch.h"

// The sync controller with its view, its journals and real workers against
// the real FTP server (pyftpdlib on loopback). Worker pauses are cut to
// milliseconds and the journal upload is pointed at the test server's port.

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

namespace fs = std::filesystem;

namespace {

constexpr int ShortPause = 50;
constexpr TLocalTime JournalTime{2024, 3, 5, 14, 7, 9};

class ControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetWorkerTimeoutForTesting(ShortPause);
    SetJournalUploadPortForTesting(server.PortText());
  }

  void TearDown() override {
    EXPECT_TRUE(WorkerStopAndWait(all));
    SetWorkerTimeoutForTesting(0);
    SetJournalUploadPortForTesting("");
    SetClockForTesting(nullptr);
  }

  // The server as a till's is set up: with its scales folder, so that the
  // scale worker's listing is not refused.
  void UseServer() {
    fs::create_directories(server.Root().Path() + "scale");
    UseLoopbackServer(server.PortText(), till.Path(), scales.Path());
  }

  // A server and till with something for every worker.
  void ArrangeFiles() {
    for (const char* folder : {"log", "reports/checks"})
      fs::create_directories(server.Root().Path() + folder);
    server.Root().Write("p1.txt", "price one");
    server.Root().Write("p2.txt", "price two");
    server.Root().Write("scale/plu.dat", "plu");
    server.Root().Write("scale/goods.txt", "goods");
    till.Write("reports/checks/0001.ch", "receipt");
    till.Write("reports/checks/a.z", "z report");
  }

  // Every start or stop goes through here, so that TearDown can wait for
  // every worker ever started.
  void Press() {
    controller.btnSyncClick();
    Remember();
  }
  void Remember() {
    for (const std::shared_ptr<TFTPLoaderTh>& worker :
         {std::shared_ptr<TFTPLoaderTh>(controller.chloader),
          std::shared_ptr<TFTPLoaderTh>(controller.priceLoader),
          std::shared_ptr<TFTPLoaderTh>(controller.ScaleLoader)}) {
      if (worker && std::find(all.begin(), all.end(), worker) == all.end()) all.push_back(worker);
    }
  }

  // Runs main-thread requests until every kind has ended Cycles cycles
  // from now.
  bool CyclesEnded(TSyncController& Controller, int Cycles = 1) {
    int counts[3] = {0, 0, 0};
    std::string seen[3];
    return WorkerPumpUntil([&] {
      bool all = true;
      for (const auto kind :
           {TSyncController::Checks, TSyncController::Price, TSyncController::Scale}) {
        const std::string& last = Controller.KindState(kind).LastCycle;
        // Cycles of one second share a stamp; each new text counts once.
        if (!last.empty() && last != seen[kind]) {
          seen[kind] = last;
          ++counts[kind];
        }
        all = all && counts[kind] >= Cycles;
      }
      return all;
    });
  }

  bool AllStamped() {
    return WorkerPumpUntil([] {
      return !Settings->ChSync().empty() && !Settings->PriceSync().empty() &&
             !Settings->ScaleSync().empty();
    });
  }

  // The journal lines of every journal of a kind on the server, decoded.
  // Each file of ArrangeFiles named in the journals on the server, however
  // often two racing worker sets reported it.
  void ExpectEveryFileJournaled() {
    const auto distinct = [](const std::multiset<std::string>& lines) {
      return std::set<std::string>(lines.begin(), lines.end());
    };
    EXPECT_THAT(distinct(JournalLines("Checks")),
                ElementsAre("Загружен файл 0001.ch", "Загружен файл a.z"));
    EXPECT_THAT(distinct(JournalLines("Price")),
                ElementsAre("Скачен файл p1.txt", "Скачен файл p2.txt"));
    EXPECT_THAT(distinct(JournalLines("Scale")),
                ElementsAre("Скачен файл goods.txt", "Скачен файл plu.dat"));
  }

  std::multiset<std::string> JournalLines(const std::string& Prefix) {
    std::multiset<std::string> lines;
    for (const auto& entry : fs::directory_iterator(server.Root().Path() + "log")) {
      const std::string name = entry.path().filename().string();
      if (name.rfind(Prefix, 0) != 0) continue;
      const std::string text = Cp1251ToUtf8(server.Root().Read("log/" + name));
      for (size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
        lines.insert(text.substr(at, end - at));
    }
    return lines;
  }

  WorkerAppDir app;
  TestFtpServer server;
  TempDir till;
  TempDir scales;
  WorkerView view;
  TSyncController controller{view};
  std::vector<std::shared_ptr<TFTPLoaderTh>> all;
};

}  // namespace

// ---------------------------------------------------------------------------
// FormCreate

TEST_F(ControllerTest, FormCreateShowsTheStampsFillsTheSettingsAndAutoStarts) {
  const struct {
    bool AutoStart;
    const char* Server;
    bool Starts;
  } cases[] = {
      {true, "127.0.0.1", true},
      {true, "", false},
      {true, "  ", true},  // blanks count as a server: no trimming
      {false, "127.0.0.1", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.AutoStart ? "auto-start, server \"" : "no auto-start, server \"") +
                 c.Server + "\"");
    WorkerAppDir caseApp;
    Settings->SetFTPServer(c.Server);
    Settings->SetFTPPort("1");
    Settings->SetAutoStartThread(c.AutoStart);
    Settings->SetPriceSync("04.03.2024 10:00:00");
    Settings->SetScaleSync("04.03.2024 11:00:00");
    WorkerView caseView;
    TSyncController caseController(caseView);
    caseController.FormCreate();

    const std::vector<std::string> shown = {"lbTimePrice=04.03.2024 10:00:00",
                                            "lbTimeCh=", "lbTimeScale=04.03.2024 11:00:00",
                                            "settings page"};
    std::vector<std::string> expected = shown;
    if (c.Starts) {
      for (const char* call :
           {"lbStatus=Запущен", "btnSync=Остановить", "Tag=1", "balloon=Синхронизация работает"})
        expected.emplace_back(call);
    } else {
      for (const char* call : {"lbStatus=Остановлен", "balloon=Программа запущена"})
        expected.emplace_back(call);
    }
    EXPECT_EQ(caseView.Calls, expected);
    EXPECT_EQ(caseView.SettingsServer, c.Server);
    EXPECT_EQ(caseController.chloader != nullptr, c.Starts);
    EXPECT_EQ(caseController.priceLoader != nullptr, c.Starts);
    EXPECT_EQ(caseController.ScaleLoader != nullptr, c.Starts);
    EXPECT_TRUE(WorkerStopAndWait(
        {caseController.chloader, caseController.priceLoader, caseController.ScaleLoader}));
  }
}

// ---------------------------------------------------------------------------
// The button

TEST_F(ControllerTest, TheButtonStartsThreeWorkersEvenWithoutAServerAndStopsThem) {
  Settings->SetFTPServer("");
  Press();
  EXPECT_EQ(view.Status, "Запущен");
  EXPECT_EQ(view.Caption, "Остановить");
  EXPECT_EQ(view.Tag, 1);
  ASSERT_TRUE(controller.chloader && controller.priceLoader && controller.ScaleLoader);
  EXPECT_EQ(all.size(), 3u);

  Press();
  EXPECT_EQ(view.Status, "Остановлен");
  EXPECT_EQ(view.Caption, "Запустить");
  EXPECT_EQ(view.Tag, 0);
  EXPECT_THAT(view.Balloons, ElementsAre("Синхронизация работает", "Синхронизация остановлена"));
  // The references stay; the workers only got their stop flags.
  for (const auto& worker : all) EXPECT_TRUE(worker->Terminated());
  EXPECT_TRUE(WorkerPumpUntil(
      [&] { return all[0]->Finished() && all[1]->Finished() && all[2]->Finished(); }));
}

// All three workers at once through the controller: everything moves, the
// three journals arrive in "log\" byte for byte, the stamps reach the
// settings file and the status page, and no journal stays behind.
TEST_F(ControllerTest, OneRunMovesEverythingAndLeavesThreeJournals) {
  ArrangeFiles();
  UseServer();
  SetClockForTesting([] { return JournalTime; });
  Press();
  ASSERT_TRUE(AllStamped());
  Press();

  const std::string uploaded = "\xC7\xE0\xE3\xF0\xF3\xE6\xE5\xED \xF4\xE0\xE9\xEB ";
  const std::string downloaded = "\xD1\xEA\xE0\xF7\xE5\xED \xF4\xE0\xE9\xEB ";
  EXPECT_EQ(server.Root().Read("log/Checks20240305140709"),
            uploaded + "0001.ch\r\n" + uploaded + "a.z\r\n");
  const std::string price = server.Root().Read("log/Price20240305140709");
  EXPECT_TRUE(price == downloaded + "p1.txt\r\n" + downloaded + "p2.txt\r\n" ||
              price == downloaded + "p2.txt\r\n" + downloaded + "p1.txt\r\n")
      << price;
  const std::string scale = server.Root().Read("log/Scale20240305140709");
  EXPECT_TRUE(scale == downloaded + "plu.dat\r\n" + downloaded + "goods.txt\r\n" ||
              scale == downloaded + "goods.txt\r\n" + downloaded + "plu.dat\r\n")
      << scale;

  EXPECT_THAT(
      WorkerTree(server.Root().Path()),
      ElementsAre("log/Checks20240305140709", "log/Price20240305140709", "log/Scale20240305140709",
                  "reports/checks/0001.ch", "reports/checks/a.z", "scale/"));
  EXPECT_THAT(WorkerTree(till.Path()), ElementsAre("p1.txt", "p2.txt", "reports/checks/"));
  EXPECT_THAT(WorkerTree(scales.Path()), ElementsAre("goods.txt", "plu.dat"));
  EXPECT_THAT(WorkerTree(app.Path()), ElementsAre("Quorvel.ini", "reports/checks/"));

  const TQuorvelSettings stored(app.Path());
  for (const std::string* stamp : {&stored.ChSync(), &stored.PriceSync(), &stored.ScaleSync()})
    EXPECT_EQ(*stamp, "05.03.2024 14:07:09");
  EXPECT_EQ(view.TimeCh, "05.03.2024 14:07:09");
  EXPECT_EQ(view.TimePrice, "05.03.2024 14:07:09");
  EXPECT_EQ(view.TimeScale, "05.03.2024 14:07:09");
}

// Settings saved while the workers run reach the journal upload at once but
// the workers only at their next start.
TEST_F(ControllerTest, SettingsSavedWhileRunningReachOnlyTheJournalUpload) {
  for (const char* folder : {"log", "reports/checks"})
    fs::create_directories(server.Root().Path() + folder);
  till.Write("reports/checks/a.z", "z report");
  UseServer();
  Press();
  Settings->SetFTPUser("nobody");
  ASSERT_TRUE(WorkerPumpUntil([&] {
    return server.Root().Exists("reports/checks/a.z") &&
           std::any_of(
               fs::directory_iterator(app.Path()), fs::directory_iterator(),
               [](const auto& e) { return e.path().filename().string().rfind("Checks", 0) == 0; });
  }));
  EXPECT_EQ(Settings->ChSync(), "");
  EXPECT_TRUE(fs::is_empty(server.Root().Path() + "log"));
}

// A program folder that refuses the journal's files stops nothing: the
// files move, and the journal goes up from memory.
TEST_F(ControllerTest, AJournalTheDiskRefusesGoesUpFromMemory) {
  fs::create_directories(server.Root().Path() + "log");
  fs::create_directories(server.Root().Path() + "reports/checks");
  till.Write("reports/checks/a.ch", "a");
  UseServer();
  // A folder has taken the pending file's name.
  fs::create_directories(app.Path() + "Checks.pending");
  Press();
  ASSERT_TRUE(WorkerPumpUntil([&] { return !Settings->ChSync().empty(); }));
  EXPECT_EQ(server.Root().Read("reports/checks/a.ch"), "a");
  EXPECT_THAT(JournalLines("Checks"), ElementsAre("Загружен файл a.ch"));

  till.Write("reports/checks/b.ch", "b");
  ASSERT_TRUE(WorkerPumpUntil([&] { return JournalLines("Checks").size() == 2; }));
  EXPECT_THAT(JournalLines("Checks"), ElementsAre("Загружен файл a.ch", "Загружен файл b.ch"));
  EXPECT_FALSE(controller.chloader->Finished());
}

// ---------------------------------------------------------------------------
// Stopping and starting

TEST_F(ControllerTest, StopAndStartInQuickSuccessionShareTheJournals) {
  ArrangeFiles();
  UseServer();
  // A second later at every reading, so that no two journals share a name.
  SetClockForTesting([second = std::make_shared<std::atomic<int>>(0)] {
    TLocalTime time = JournalTime;
    time.Second = ++*second % 60;
    return time;
  });
  Press();
  const std::vector<std::shared_ptr<TFTPLoaderTh>> first = all;
  Press();
  Press();
  ASSERT_EQ(all.size(), 6u);
  ASSERT_TRUE(AllStamped());
  EXPECT_TRUE(WorkerPumpUntil([&] {
    return std::all_of(first.begin(), first.end(), [](const auto& w) { return w->Finished(); });
  }));
  for (size_t i = 3; i < all.size(); ++i) EXPECT_FALSE(all[i]->Finished());

  // Workers of two sets may both report a file they raced for; every file
  // is reported, and every one moved.
  const auto distinct = [](const std::multiset<std::string>& lines) {
    return std::set<std::string>(lines.begin(), lines.end());
  };
  ASSERT_TRUE(WorkerPumpUntil([&] {
    return distinct(JournalLines("Checks")).size() >= 2 &&
           distinct(JournalLines("Price")).size() >= 2 &&
           distinct(JournalLines("Scale")).size() >= 2;
  }));
  ExpectEveryFileJournaled();
  EXPECT_THAT(WorkerTree(till.Path()), ElementsAre("p1.txt", "p2.txt", "reports/checks/"));
  EXPECT_THAT(WorkerTree(scales.Path()), ElementsAre("goods.txt", "plu.dat"));
}

// The same with a clock that stands still: journals of one kind that end in
// one second still land apart, and every line reaches the server.
TEST_F(ControllerTest, JournalsOfOneSecondLandApart) {
  ArrangeFiles();
  UseServer();
  SetClockForTesting([] { return JournalTime; });
  Press();
  Press();
  Press();
  const auto journaled = [&] {
    return JournalLines("Checks").size() >= 2 && JournalLines("Price").size() >= 2 &&
           JournalLines("Scale").size() >= 2;
  };
  ASSERT_TRUE(WorkerPumpUntil(journaled));
  // Let the other set's cycles end too.
  ASSERT_TRUE(WorkerStopAndWait(all));
  ExpectEveryFileJournaled();
  EXPECT_THAT(WorkerTree(app.Path()), ElementsAre("Quorvel.ini", "reports/checks/"));
}

TEST_F(ControllerTest, AStopAfterAWorkerEndedIsHarmless) {
  UseServer();
  Press();
  const auto ended = controller.chloader;
  ended->Terminate();
  ASSERT_TRUE(WorkerPumpUntil([&] { return ended->Finished(); }));
  Press();
  EXPECT_EQ(view.Status, "Остановлен");
  EXPECT_EQ(controller.chloader, ended);
  Press();
  EXPECT_EQ(view.Status, "Запущен");
  EXPECT_NE(controller.chloader, ended);
  EXPECT_THAT(view.Balloons, ElementsAre("Синхронизация работает", "Синхронизация остановлена",
                                         "Синхронизация работает"));
}

// ---------------------------------------------------------------------------
// What the user learns of each kind's cycles

// Each set-up mistake shows within one cycle under the stamps and in the
// tooltip, in the server's or the socket's own words, with the icon's
// failure look and one balloon per kind; repeats go to the log only.
TEST_F(ControllerTest, EverySetUpMistakeShowsInItsOwnWords) {
  const std::string refusing = std::to_string(RefusingLoopbackPort());
  const struct {
    const char* Name;
    std::function<void()> Arrange;
    const char* Words;
  } cases[] = {
      {"wrong password",
       [&] {
         UseServer();
         Settings->SetFTPPass("wrong");
       },
       "Сервер не принял вход: 530"},
      {"server down", [&] { UseLoopbackServer(refusing, till.Path(), scales.Path()); },
       "Сервер недоступен: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    c.Arrange();
    WorkerView caseView;
    TSyncController caseController(caseView);
    caseController.btnSyncClick();
    const std::vector<std::shared_ptr<TFTPLoaderTh>> workers{
        caseController.chloader, caseController.priceLoader, caseController.ScaleLoader};
    ASSERT_TRUE(CyclesEnded(caseController, 2));
    EXPECT_TRUE(WorkerStopAndWait(workers));
    for (const std::string* shown :
         {&caseView.ErrorCh, &caseView.ErrorPrice, &caseView.ErrorScale}) {
      EXPECT_THAT(*shown, ::testing::HasSubstr(c.Words));
      const size_t words = shown->find(c.Words) + std::string(c.Words).size();
      EXPECT_LT(words, shown->size()) << "the reply itself is missing";
    }
    EXPECT_THAT(caseView.Tooltip, ::testing::HasSubstr(std::string("\nЧеки: ") + c.Words));
    EXPECT_TRUE(caseView.TrayFailed);
    EXPECT_THAT(caseView.Tooltip, ::testing::StartsWith("Обмен данными с кассой\nЗапущен\n"));
    EXPECT_EQ(std::count_if(caseView.Balloons.begin(), caseView.Balloons.end(),
                            [&](const std::string& b) { return b.find(c.Words) != b.npos; }),
              3);
    EXPECT_GE(caseView.Logged.size(), 3u);
    EXPECT_TRUE(Settings->ChSync().empty());
  }
}

// A till folder typed wrong: the price file stays on the server, nothing is
// journaled, no stamp moves, and the error names the folder. Once the folder
// exists the next cycle delivers, the error goes, and one balloon says so.
TEST_F(ControllerTest, AWrongTillFolderKeepsThePriceOnTheServerUntilItExists) {
  fs::create_directories(server.Root().Path() + "log");
  fs::create_directories(server.Root().Path() + "scale");
  server.Root().Write("p1.txt", "price one");
  const std::string missing = till.Path() + "kassa/";
  UseLoopbackServer(server.PortText(), missing, scales.Path());
  Press();
  ASSERT_TRUE(CyclesEnded(controller, 2));
  EXPECT_THAT(view.ErrorPrice, ::testing::HasSubstr("Файл p1.txt не записан в папку " + missing));
  EXPECT_TRUE(server.Root().Exists("p1.txt"));
  EXPECT_TRUE(fs::is_empty(server.Root().Path() + "log"));
  EXPECT_EQ(Settings->PriceSync(), "");
  EXPECT_TRUE(view.TrayFailed);

  fs::create_directories(missing);
  ASSERT_TRUE(WorkerPumpUntil([&] { return view.ErrorPrice.empty(); }));
  EXPECT_EQ(till.Read("kassa/p1.txt"), "price one");
  EXPECT_FALSE(server.Root().Exists("p1.txt"));
  EXPECT_NE(Settings->PriceSync(), "");
  ASSERT_TRUE(CyclesEnded(controller, 3));
  EXPECT_FALSE(view.TrayFailed);
  EXPECT_EQ(std::count_if(view.Balloons.begin(), view.Balloons.end(),
                          [](const std::string& b) { return b.ends_with("обмен восстановлен"); }),
            1);
  EXPECT_THAT(view.Tooltip, ::testing::HasSubstr("Последний обмен: " + Settings->PriceSync()));
}

// Journals go to the port that the settings name, as the workers do.
TEST_F(ControllerTest, JournalsGoToThePortOfTheSettings) {
  SetJournalUploadPortForTesting("");
  ArrangeFiles();
  UseServer();
  Press();
  ASSERT_TRUE(AllStamped());
  EXPECT_EQ(JournalLines("Checks").size(), 2u);
  EXPECT_EQ(view.ErrorCh, "");
}

// A journal the server does not take is the kind's error.
TEST_F(ControllerTest, AJournalThatCannotGoUpIsShown) {
  SetJournalUploadPortForTesting(std::to_string(RefusingLoopbackPort()));
  ArrangeFiles();
  UseServer();
  Press();
  ASSERT_TRUE(WorkerPumpUntil([&] { return !view.ErrorCh.empty(); }));
  EXPECT_THAT(view.ErrorCh, ::testing::HasSubstr("Чеки, "));
  EXPECT_THAT(view.ErrorCh, ::testing::HasSubstr(": Журнал обмена не отправлен: "));
  EXPECT_EQ(Settings->ChSync(), "");
}

// "Обменяться сейчас" ends the 10-minute pause of every running worker;
// while stopped it wakes nobody.
TEST_F(ControllerTest, ExchangeNowRunsACycleAtOnce) {
  SetWorkerTimeoutForTesting(600000);
  ArrangeFiles();
  UseServer();
  Press();
  ASSERT_TRUE(CyclesEnded(controller));
  ASSERT_TRUE(AllStamped());
  server.Root().Write("p3.txt", "price three");
  WorkerPumpFor(300);
  EXPECT_TRUE(server.Root().Exists("p3.txt"));
  controller.ExchangeNow();
  EXPECT_TRUE(WorkerPumpUntil([&] { return till.Exists("p3.txt"); }, 5000));

  Press();
  controller.ExchangeNow();
  WorkerPumpFor(300);
  EXPECT_FALSE(controller.chloader->Finished());
  // Woken by hand, the stopped workers end without another cycle.
  for (const auto& worker : all) worker->Wake();
}

// A journal upload to a server that accepts and never answers holds only its
// worker: the main thread never waits on it, and the other kinds go on.
TEST_F(ControllerTest, ASilentJournalServerNeverHoldsTheMainThread) {
  constexpr int UploadTimeout = 1500;
  ScriptedFtpPeer silent(false, 10000);
  silent.Silence(8000);
  silent.Start();
  SetJournalUploadPortForTesting(silent.PortText());
  SetJournalUploadTimeoutForTesting(UploadTimeout);
  fs::create_directories(server.Root().Path() + "reports/checks");
  till.Write("reports/checks/0001.ch", "receipt");
  UseServer();
  Press();
  // The main thread's loop, each turn timed.
  auto longest = std::chrono::steady_clock::duration::zero();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  bool shown = false;
  while (!shown && std::chrono::steady_clock::now() < deadline) {
    const auto start = std::chrono::steady_clock::now();
    CheckSynchronize();
    longest = std::max(longest, std::chrono::steady_clock::now() - start);
    shown = !view.ErrorCh.empty();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  SetJournalUploadTimeoutForTesting(0);
  ASSERT_TRUE(shown);
  EXPECT_LT(longest, std::chrono::milliseconds(UploadTimeout / 3));
  EXPECT_THAT(view.ErrorCh, ::testing::HasSubstr("Журнал обмена не отправлен"));
  EXPECT_FALSE(controller.KindState(TSyncController::Price).LastCycle.empty());
  EXPECT_EQ(Settings->ChSync(), "");
}
