#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "platform/clock.h"
#include "platform/errors.h"
#include "settings/uSettingsClass.h"
#include "support/FaultFtpServer.h"
#include "support/FtpServer.h"
#include "support/PosixFaults.h"
#include "support/ScriptedFtpPeer.h"
#include "support/WorkerHarness.h"
#include "support/WorkerView.h"
#include "ui/ExchangeJournal.h"

// Exchange journals: each line in the kind's pending file as its file moves,
// the journal written into the application directory in code page 1251 with
// CR LF lines under a name no other journal has, uploaded to "log\" on the
// real FTP server (pyftpdlib on loopback, reached through the journal port
// seam) with the journals an earlier failure left behind, deleted locally,
// and stamped in the settings file.

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace fs = std::filesystem;

namespace {

// "Загружен файл " and "Скачен файл " in code page 1251.
const std::string UploadedBytes = "\xC7\xE0\xE3\xF0\xF3\xE6\xE5\xED \xF4\xE0\xE9\xEB ";
const std::string DownloadedBytes = "\xD1\xEA\xE0\xF7\xE5\xED \xF4\xE0\xE9\xEB ";

std::string AsciiUpper(std::string Text) {
  for (char& c : Text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return Text;
}

// A clock that gives the listed times one after another, the last one for
// good.
class ScriptedClock {
 public:
  explicit ScriptedClock(std::vector<TLocalTime> Times) : FTimes(std::move(Times)) {
    SetClockForTesting([this] {
      const TLocalTime time = FTimes[FNext];
      if (FNext + 1 < FTimes.size()) ++FNext;
      return time;
    });
  }
  ~ScriptedClock() { SetClockForTesting(nullptr); }

 private:
  std::vector<TLocalTime> FTimes;
  size_t FNext = 0;
};

constexpr TLocalTime CycleEnd{2024, 3, 5, 14, 7, 9};
constexpr TLocalTime UploadDone{2024, 3, 5, 14, 7, 11};

class JournalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(server.Root().Path() + "log");
    Settings->SetFTPServer("127.0.0.1");
    Settings->SetFTPUser("user");
    Settings->SetFTPPass("pass");
    SetJournalUploadPortForTesting(server.PortText());
  }
  void TearDown() override { SetJournalUploadPortForTesting(""); }

  // The stamps as a fresh read of the settings file gives them.
  static TQuorvelSettings Reread() { return TQuorvelSettings(ApplicationDirectory()); }

  WorkerAppDir app;
  TestFtpServer server;
  WorkerView view;
};

struct KindCase {
  const char* Name;
  const TExchangeJournal::TKind& Kind;
  std::string JournalName;
  std::string LineBytes;
  const std::string& (TQuorvelSettings::*Stamp)() const;
  std::string WorkerView::*Label;
};

// Failure messages show the case by its name.
void PrintTo(const KindCase& Case, std::ostream* Out) { *Out << Case.Name; }

class JournalKindTest : public JournalTest, public ::testing::WithParamInterface<KindCase> {};

}  // namespace

TEST_P(JournalKindTest, CycleEndWritesUploadsDeletesAndStamps) {
  const KindCase& c = GetParam();
  ScriptedClock clock({CycleEnd, UploadDone});
  TExchangeJournal journal(c.Kind);
  journal.FileLoaded("1234.ch");
  journal.FileLoaded("1235.z");
  journal.EndLoad(view);

  EXPECT_EQ(server.Root().Read("log/" + c.JournalName),
            c.LineBytes + "1234.ch\r\n" + c.LineBytes + "1235.z\r\n");
  EXPECT_FALSE(app.Dir().Exists(c.JournalName));
  EXPECT_EQ((Settings->*c.Stamp)(), "05.03.2024 14:07:11");
  EXPECT_EQ((Reread().*c.Stamp)(), "05.03.2024 14:07:11");
  EXPECT_EQ(view.*c.Label, "05.03.2024 14:07:11");
  EXPECT_THAT(journal.Lines(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, JournalKindTest,
    ::testing::Values(KindCase{"Checks", TExchangeJournal::Checks, "Checks20240305140709",
                               UploadedBytes, &TQuorvelSettings::ChSync, &WorkerView::TimeCh},
                      KindCase{"Price", TExchangeJournal::Price, "Price20240305140709",
                               DownloadedBytes, &TQuorvelSettings::PriceSync,
                               &WorkerView::TimePrice},
                      KindCase{"Scale", TExchangeJournal::Scale, "Scale20240305140709",
                               DownloadedBytes, &TQuorvelSettings::ScaleSync,
                               &WorkerView::TimeScale}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(JournalTest, AnEmptyListGivesAnEmptyJournal) {
  ScriptedClock clock({CycleEnd, UploadDone});
  TExchangeJournal journal(TExchangeJournal::Price);
  journal.EndLoad(view);
  EXPECT_EQ(server.Root().Read("log/Price20240305140709"), "");
  EXPECT_EQ(Settings->PriceSync(), "05.03.2024 14:07:11");
}

TEST_F(JournalTest, CharactersOutsideTheCodePageBecomeQuestionMarks) {
  ScriptedClock clock({CycleEnd, UploadDone});
  TExchangeJournal journal(TExchangeJournal::Scale);
  journal.FileLoaded("весы✓.dat");
  journal.EndLoad(view);
  EXPECT_EQ(server.Root().Read("log/Scale20240305140709"),
            DownloadedBytes + "\xE2\xE5\xF1\xFB?.dat\r\n");
}

TEST_P(JournalKindTest, PendingLinesAreOnTheDiskAndNeverFetchedOver) {
  const KindCase& c = GetParam();
  const std::string pending = TExchangeJournal::PendingName(c.Kind);
  EXPECT_EQ(pending, std::string(c.Kind.NamePrefix) + ".pending");
  for (const std::string& name : {pending, AsciiUpper(pending)})
    EXPECT_FALSE(IsDeliverableName(name)) << name;

  TExchangeJournal journal(c.Kind);
  journal.FileLoaded("1234.ch");
  EXPECT_EQ(app.Dir().Read(pending), c.LineBytes + "1234.ch\r\n");
  journal.FileLoaded("1235.z");
  EXPECT_EQ(app.Dir().Read(pending), c.LineBytes + "1234.ch\r\n" + c.LineBytes + "1235.z\r\n");
}

// The program killed in the middle of a cycle: the next run's journal of
// that kind carries the lines of the cycle that did not finish.
TEST_F(JournalTest, ALaterRunTakesTheLinesOfACycleThatDidNotFinish) {
  ScriptedClock clock({CycleEnd, UploadDone});
  {
    TExchangeJournal killed(TExchangeJournal::Checks);
    killed.FileLoaded("1.ch");
    killed.FileLoaded("2.ch");
  }
  TExchangeJournal journal(TExchangeJournal::Checks);
  EXPECT_THAT(journal.Lines(), ElementsAre("Загружен файл 1.ch", "Загружен файл 2.ch"));
  journal.FileLoaded("3.ch");
  journal.EndLoad(view);
  EXPECT_EQ(server.Root().Read("log/Checks20240305140709"),
            UploadedBytes + "1.ch\r\n" + UploadedBytes + "2.ch\r\n" + UploadedBytes + "3.ch\r\n");
  EXPECT_THAT(WorkerTree(app.Path()), ElementsAre("Quorvel.ini", "reports/checks/"));
}

TEST_F(JournalTest, APendingFileEndingInsideALineKeepsEveryLine) {
  ScriptedClock clock({CycleEnd, UploadDone});
  app.Dir().Write("Price.pending", DownloadedBytes + "a.txt\r\n" + DownloadedBytes + "b.t");
  TExchangeJournal journal(TExchangeJournal::Price);
  journal.FileLoaded("c.txt");
  journal.EndLoad(view);
  EXPECT_EQ(
      server.Root().Read("log/Price20240305140709"),
      DownloadedBytes + "a.txt\r\n" + DownloadedBytes + "b.t\r\n" + DownloadedBytes + "c.txt\r\n");
}

// Whatever the clock says, no journal lands on another one: a second
// journal within the same second, or after the clock was set back, takes
// the second after the latest name.
TEST_F(JournalTest, EveryJournalOfAKindGetsANameOfItsOwn) {
  const struct {
    const char* Name;
    TLocalTime Second;
  } cases[] = {
      {"same second", CycleEnd},
      {"clock set back", {2024, 3, 5, 14, 6, 0}},
      {"clock set back a day", {2024, 3, 4, 23, 59, 59}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    WorkerAppDir caseApp;
    TestFtpServer caseServer;
    fs::create_directories(caseServer.Root().Path() + "log");
    UseLoopbackServer(caseServer.PortText(), "", "");
    SetJournalUploadPortForTesting(caseServer.PortText());
    ScriptedClock clock({CycleEnd, UploadDone, c.Second, UploadDone});
    TExchangeJournal journal(TExchangeJournal::Checks);
    journal.FileLoaded("1.ch");
    journal.EndLoad(view);
    journal.FileLoaded("2.ch");
    journal.EndLoad(view);
    EXPECT_THAT(WorkerTree(caseServer.Root().Path()),
                ElementsAre("log/Checks20240305140709", "log/Checks20240305140710"));
    EXPECT_EQ(caseServer.Root().Read("log/Checks20240305140709"), UploadedBytes + "1.ch\r\n");
    EXPECT_EQ(caseServer.Root().Read("log/Checks20240305140710"), UploadedBytes + "2.ch\r\n");
    EXPECT_THAT(WorkerTree(caseApp.Path()), ElementsAre("Quorvel.ini", "reports/checks/"));
  }
}

TEST_F(JournalTest, ANameTakenBesideTheProgramIsPassedOver) {
  ScriptedClock clock({CycleEnd, UploadDone});
  // Another program's folder has taken the journal's name, and a journal
  // an earlier run could not upload the name after it.
  fs::create_directories(app.Path() + "Scale20240305140709");
  app.Dir().Write("Scale20240305140710", DownloadedBytes + "old.dat\r\n");
  TExchangeJournal journal(TExchangeJournal::Scale);
  journal.FileLoaded("new.dat");
  journal.EndLoad(view);
  EXPECT_EQ(server.Root().Read("log/Scale20240305140710"), DownloadedBytes + "old.dat\r\n");
  EXPECT_EQ(server.Root().Read("log/Scale20240305140711"), DownloadedBytes + "new.dat\r\n");
  EXPECT_THAT(WorkerTree(app.Path()),
              ElementsAre("Quorvel.ini", "Scale20240305140709/", "reports/checks/"));
  EXPECT_EQ(Settings->ScaleSync(), "05.03.2024 14:07:11");
}

// A journal of an earlier run under the same name (the clock set back since)
// is neither continued nor counted as this one.
TEST_F(JournalTest, AnotherFileUnderTheNameOnTheServerIsLeftAlone) {
  const struct {
    const char* Name;
    std::string OnServer;
  } cases[] = {
      {"same size", UploadedBytes + "9.ch\r\n"},
      {"shorter", UploadedBytes + "9"},
      {"longer", UploadedBytes + "1.ch\r\n" + UploadedBytes + "9.ch\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    WorkerAppDir caseApp;
    TestFtpServer caseServer;
    UseLoopbackServer(caseServer.PortText(), "", "");
    SetJournalUploadPortForTesting(caseServer.PortText());
    caseServer.Root().Write("log/Checks20240305140709", c.OnServer);
    ScriptedClock clock({CycleEnd, CycleEnd, UploadDone});
    TExchangeJournal journal(TExchangeJournal::Checks);
    journal.FileLoaded("1.ch");
    journal.EndLoad(view);
    EXPECT_EQ(caseServer.Root().Read("log/Checks20240305140709"), c.OnServer);
    EXPECT_EQ(caseServer.Root().Read("log/Checks20240305140710"), UploadedBytes + "1.ch\r\n");
    EXPECT_THAT(WorkerTree(caseApp.Path()), ElementsAre("Quorvel.ini", "reports/checks/"));
    EXPECT_EQ(Settings->ChSync(), "05.03.2024 14:07:11");
  }
}

// An earlier run that gave one second to each of a row of journals: the
// step to the next name doubles until a free one is found.
TEST_F(JournalTest, ARowOfNamesTakenOnTheServerIsPassedInAFewTries) {
  for (const char* second : {"09", "10", "11", "12", "13", "14"})
    server.Root().Write(std::string("log/Checks202403051407") + second, "earlier run\r\n");
  ScriptedClock clock({CycleEnd});
  TExchangeJournal journal(TExchangeJournal::Checks);
  journal.FileLoaded("1.ch");
  journal.EndLoad(view);
  EXPECT_EQ(server.Root().Read("log/Checks20240305140716"), UploadedBytes + "1.ch\r\n");
  for (const char* second : {"09", "10", "11", "12", "13", "14"})
    EXPECT_EQ(server.Root().Read(std::string("log/Checks202403051407") + second),
              "earlier run\r\n");
  EXPECT_THAT(WorkerTree(app.Path()), ElementsAre("Quorvel.ini", "reports/checks/"));
}

TEST_F(JournalTest, AFailedUploadLeavesTheJournalForTheNextUploadOfItsKind) {
  Settings->SetChSync("01.01.2024 00:00:00");
  SetJournalUploadPortForTesting("1");
  ScriptedClock clock({CycleEnd, UploadDone});
  TExchangeJournal journal(TExchangeJournal::Checks);
  journal.FileLoaded("1.ch");
  journal.EndLoad(view);

  EXPECT_EQ(app.Dir().Read("Checks20240305140709"), UploadedBytes + "1.ch\r\n");
  EXPECT_EQ(Settings->ChSync(), "01.01.2024 00:00:00");
  EXPECT_EQ(view.TimeCh, "TimeCh");
  EXPECT_THAT(journal.Lines(), IsEmpty());

  // The next journal holds only what came since; the one left behind goes
  // up with it, under its own name.
  SetJournalUploadPortForTesting(server.PortText());
  journal.FileLoaded("2.ch");
  ScriptedClock later({{2024, 3, 5, 14, 17, 9}, {2024, 3, 5, 14, 17, 10}});
  journal.EndLoad(view);
  EXPECT_EQ(server.Root().Read("log/Checks20240305140709"), UploadedBytes + "1.ch\r\n");
  EXPECT_EQ(server.Root().Read("log/Checks20240305141709"), UploadedBytes + "2.ch\r\n");
  EXPECT_THAT(WorkerTree(app.Path()), ElementsAre("Quorvel.ini", "reports/checks/"));
  EXPECT_EQ(Settings->ChSync(), "05.03.2024 14:17:10");
}

TEST(JournalUpload, JournalsLeftBehindGoUpOldestFirstAndAFailureStopsTheRound) {
  WorkerAppDir app;
  FaultFtpServer server;
  fs::create_directories(server.Root().Path() + "log");
  UseLoopbackServer(server.PortText(), "", "");
  SetJournalUploadPortForTesting(server.PortText());
  for (const char* name : {"Price20240302000000", "Price20240301000000", "Price20240303000000"})
    app.Dir().Write(name, std::string(name) + "\r\n");
  WorkerView view;
  TExchangeJournal journal(TExchangeJournal::Price);
  ScriptedClock clock({CycleEnd, {2024, 3, 5, 14, 17, 9}, {2024, 3, 5, 14, 17, 10}});
  // The second upload breaks off: the rest wait, the stamp stays.
  server.Inject({{"STOR", 2, "drop", "", 0}});
  journal.FileLoaded("p.txt");
  journal.EndLoad(view);
  EXPECT_THAT(WorkerTree(server.Root().Path()), ElementsAre("log/Price20240301000000"));
  EXPECT_EQ(Settings->PriceSync(), "");

  journal.EndLoad(view);
  SetJournalUploadPortForTesting("");
  std::vector<std::string> stored;
  for (int connection = 1; connection <= server.Connections(); ++connection) {
    for (const std::string& command : server.Commands(connection))
      if (command.rfind("STOR ", 0) == 0) stored.push_back(command);
  }
  EXPECT_THAT(stored,
              ElementsAre("STOR log\\Price20240301000000", "STOR log\\Price20240302000000",
                          "STOR log\\Price20240302000000", "STOR log\\Price20240303000000",
                          "STOR log\\Price20240305140709", "STOR log\\Price20240305141709"));
  EXPECT_EQ(server.Root().Read("log/Price20240302000000"), "Price20240302000000\r\n");
  EXPECT_EQ(server.Root().Read("log/Price20240305140709"), DownloadedBytes + "p.txt\r\n");
  EXPECT_EQ(server.Root().Read("log/Price20240305141709"), "");
  EXPECT_THAT(WorkerTree(app.Path()), ElementsAre("Quorvel.ini", "reports/checks/"));
  EXPECT_EQ(Settings->PriceSync(), "05.03.2024 14:17:10");
}

// A disk that refuses a line does not lose it: it waits in memory, and the
// journal that takes it goes up from the disk when the disk is back, from
// memory when it is not.
TEST_F(JournalTest, LinesTheDiskRefusesWaitInMemory) {
  ScriptedClock clock({CycleEnd, UploadDone, {2024, 3, 5, 14, 17, 9}, {2024, 3, 5, 14, 17, 10}});
  TExchangeJournal journal(TExchangeJournal::Checks);
  journal.FileLoaded("1.ch");
  {
    PosixFaults faults;
    faults.FailEvery("write", ENOSPC);
    journal.FileLoaded("2.ch");
  }
  EXPECT_EQ(app.Dir().Read("Checks.pending"), UploadedBytes + "1.ch\r\n");
  EXPECT_THAT(journal.Lines(), ElementsAre("Загружен файл 1.ch", "Загружен файл 2.ch"));
  journal.EndLoad(view);
  EXPECT_EQ(server.Root().Read("log/Checks20240305140709"),
            UploadedBytes + "1.ch\r\n" + UploadedBytes + "2.ch\r\n");

  // A folder has taken the pending file's name for good.
  fs::create_directories(app.Path() + "Checks.pending");
  journal.FileLoaded("3.ch");
  journal.EndLoad(view);
  EXPECT_EQ(server.Root().Read("log/Checks20240305141709"), UploadedBytes + "3.ch\r\n");
  EXPECT_EQ(Settings->ChSync(), "05.03.2024 14:17:10");
  EXPECT_THAT(journal.Lines(), IsEmpty());
  EXPECT_THAT(WorkerTree(app.Path()),
              ElementsAre("Checks.pending/", "Quorvel.ini", "reports/checks/"));
}

// Once a journal is on the server its lines are done, also when the stamp
// cannot be stored afterwards.
TEST_F(JournalTest, ARefusedStampWriteComesAfterTheUploadAndItsLinesAreDone) {
  ScriptedClock clock({CycleEnd, UploadDone, {2024, 3, 5, 14, 17, 9}, {2024, 3, 5, 14, 17, 10}});
  fs::remove(app.Path() + "Quorvel.ini");
  fs::create_directories(app.Path() + "Quorvel.ini");
  TExchangeJournal journal(TExchangeJournal::Price);
  journal.FileLoaded("p.txt");
  EXPECT_THROW(journal.EndLoad(view), EQuorvelError);
  EXPECT_EQ(server.Root().Read("log/Price20240305140709"), DownloadedBytes + "p.txt\r\n");
  EXPECT_FALSE(app.Dir().Exists("Price20240305140709"));
  EXPECT_EQ(Settings->PriceSync(), "05.03.2024 14:07:11");
  EXPECT_EQ(view.TimePrice, "TimePrice");
  EXPECT_THAT(journal.Lines(), IsEmpty());

  journal.FileLoaded("q.txt");
  EXPECT_THROW(journal.EndLoad(view), EQuorvelError);
  EXPECT_EQ(server.Root().Read("log/Price20240305141709"), DownloadedBytes + "q.txt\r\n");
}

// ---------------------------------------------------------------------------
// FTPUploadFile

TEST_F(JournalTest, UploadContinuesOnlyTheSameFile) {
  const struct {
    const char* Name;
    std::string Remote;
    TUploadResult Result;
    std::string Expected;
  } cases[] = {
      {"none", "", TUploadResult::Stored, "ABCDEF"},
      {"empty", "", TUploadResult::Stored, "ABCDEF"},
      {"its beginning", "ABC", TUploadResult::Stored, "ABCDEF"},
      // The whole file counts as done: nothing is sent.
      {"itself", "ABCDEF", TUploadResult::Stored, "ABCDEF"},
      {"another of the same size", "xyzxyz", TUploadResult::NameTaken, "xyzxyz"},
      {"another, shorter", "ABX", TUploadResult::NameTaken, "ABX"},
      {"another, longer", "ABCDEFG", TUploadResult::NameTaken, "ABCDEFG"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string name = std::string("j-") + c.Name;
    if (std::string_view(c.Name) != "none") server.Root().Write("log/" + name, c.Remote);
    app.Dir().Write(name, "ABCDEF");
    EXPECT_EQ(
        FTPUploadFile({"127.0.0.1", "21", "user", "pass"}, app.Path() + name, "log\\" + name, true),
        c.Result);
    EXPECT_EQ(server.Root().Read("log/" + name), c.Expected);
    EXPECT_EQ(app.Dir().Exists(name), c.Result != TUploadResult::Stored);
  }
  app.Dir().Write("kept", "K");
  EXPECT_EQ(
      FTPUploadFile({"127.0.0.1", "21", "user", "pass"}, app.Path() + "kept", "log\\kept", false),
      TUploadResult::Stored);
  EXPECT_TRUE(app.Dir().Exists("kept"));
}

TEST_F(JournalTest, UploadFailuresAreResultsNotErrors) {
  app.Dir().Write("j", "J");
  for (const auto& [password, local, remote] :
       {std::tuple{"wrong", "j", "log\\j"}, std::tuple{"pass", "missing", "log\\missing"},
        std::tuple{"pass", "j", "nofolder\\j"}}) {
    SCOPED_TRACE(std::string(password) + " " + local + " " + remote);
    EXPECT_EQ(
        FTPUploadFile({"127.0.0.1", "21", "user", password}, app.Path() + local, remote, true),
        TUploadResult::Failed);
  }
  EXPECT_TRUE(app.Dir().Exists("j"));
}

TEST(JournalUpload, LogsOnStoresWithRestartAndLeavesWithoutQuit) {
  WorkerAppDir app;
  app.Dir().Write("Checks20240305140709", "line\r\n");
  ScriptedFtpPeer peer;
  peer.LoginSteps("user", "pass", true);
  peer.Expect("SIZE log\\Checks20240305140709", {"550 No such file"});
  peer.ExpectPassive("EPSV 1", "229 Entering Extended Passive Mode (|||{port}|)");
  peer.Expect("TYPE I", {"200 Type set to I"});
  peer.Expect("ALLO 6", {"202 No storage allocation necessary"});
  peer.Expect("REST 0", {"350 Restarting at 0"});
  peer.Expect("STOR log\\Checks20240305140709", {"150 Ready"});
  peer.ReceiveData();
  peer.Send({"226 Stored"});
  peer.Start();
  SetJournalUploadPortForTesting(peer.PortText());
  const TUploadResult stored =
      FTPUploadFile({"127.0.0.1", "21", "user", "pass"}, app.Path() + "Checks20240305140709",
                    "log\\Checks20240305140709", true);
  SetJournalUploadPortForTesting("");
  EXPECT_EQ(stored, TUploadResult::Stored);
  ASSERT_TRUE(peer.WaitDone(5000));
  EXPECT_THAT(peer.Failures(), IsEmpty());
  std::vector<std::string> expected = ScriptedFtpPeer::LoginCommands("user", "pass", true);
  for (const char* line : {"SIZE log\\Checks20240305140709", "EPSV 1", "TYPE I", "ALLO 6", "REST 0",
                           "STOR log\\Checks20240305140709"})
    expected.emplace_back(line);
  EXPECT_EQ(peer.Received(), expected);
  EXPECT_THAT(peer.DataReceived(), ElementsAre("line\r\n"));
  EXPECT_FALSE(app.Dir().Exists("Checks20240305140709"));
}

// A cut-off upload of the same journal is read back before it is continued.
TEST(JournalUpload, ReadsTheRemoteStartBackBeforeContinuingIt) {
  WorkerAppDir app;
  app.Dir().Write("Checks20240305140709", "line\r\n");
  ScriptedFtpPeer peer;
  const std::string remote = "log\\Checks20240305140709";
  peer.LoginSteps("user", "pass", true);
  peer.Expect("SIZE " + remote, {"213 3"});
  peer.ExpectPassive("EPSV 1", "229 Entering Extended Passive Mode (|||{port}|)");
  peer.Expect("TYPE I", {"200 Type set to I"});
  peer.Expect("RETR " + remote, {"150 Sending"});
  peer.SendData("lin");
  peer.Send({"226 Sent"});
  peer.Expect("SIZE " + remote, {"213 3"});
  peer.ExpectPassive("EPSV 1", "229 Entering Extended Passive Mode (|||{port}|)");
  peer.Expect("TYPE I", {"200 Type set to I"});
  peer.Expect("ALLO 3", {"202 No storage allocation necessary"});
  peer.Expect("REST 3", {"350 Restarting at 3"});
  peer.Expect("STOR " + remote, {"150 Ready"});
  peer.ReceiveData();
  peer.Send({"226 Stored"});
  peer.Start();
  SetJournalUploadPortForTesting(peer.PortText());
  const TUploadResult stored = FTPUploadFile({"127.0.0.1", "21", "user", "pass"},
                                             app.Path() + "Checks20240305140709", remote, true);
  SetJournalUploadPortForTesting("");
  EXPECT_EQ(stored, TUploadResult::Stored);
  ASSERT_TRUE(peer.WaitDone(5000));
  EXPECT_THAT(peer.Failures(), IsEmpty());
  EXPECT_THAT(peer.DataReceived(), ElementsAre("e\r\n"));
}
