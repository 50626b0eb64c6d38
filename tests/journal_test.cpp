#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/errors.h"
#include "settings/uSettingsClass.h"
#include "support/FtpServer.h"
#include "support/ScriptedFtpPeer.h"
#include "support/WorkerHarness.h"
#include "support/WorkerView.h"
#include "ui/ExchangeJournal.h"

// Exchange journals: written into the application directory in code page
// 1251 with CR LF lines, uploaded to "log\" on the real FTP server (pyftpdlib
// on loopback, reached through the journal port seam), deleted locally, and
// stamped in the settings file.

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace fs = std::filesystem;

namespace {

// "Загружен файл " and "Скачен файл " in code page 1251.
const std::string UploadedBytes = "\xC7\xE0\xE3\xF0\xF3\xE6\xE5\xED \xF4\xE0\xE9\xEB ";
const std::string DownloadedBytes = "\xD1\xEA\xE0\xF7\xE5\xED \xF4\xE0\xE9\xEB ";

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

TEST_F(JournalTest, AFailedUploadLeavesTheJournalAndTheStampAndDropsTheLines) {
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

  // The next journal holds only what came since.
  SetJournalUploadPortForTesting(server.PortText());
  journal.FileLoaded("2.ch");
  ScriptedClock later({{2024, 3, 5, 14, 17, 9}, {2024, 3, 5, 14, 17, 10}});
  journal.EndLoad(view);
  EXPECT_EQ(server.Root().Read("log/Checks20240305141709"), UploadedBytes + "2.ch\r\n");
  EXPECT_TRUE(app.Dir().Exists("Checks20240305140709"));
  EXPECT_EQ(Settings->ChSync(), "05.03.2024 14:17:10");
}

TEST_F(JournalTest, AJournalThatCannotBeWrittenKeepsItsLinesForTheNext) {
  // The failed attempt reads the clock once, for the name.
  ScriptedClock clock({CycleEnd, CycleEnd, UploadDone});
  // Another program's folder has taken the journal's name.
  fs::create_directories(app.Path() + "Checks20240305140709");
  TExchangeJournal journal(TExchangeJournal::Checks);
  journal.FileLoaded("1.ch");
  EXPECT_THROW(journal.EndLoad(view), EFileError);
  EXPECT_THAT(journal.Lines(), ElementsAre("Загружен файл 1.ch"));
  EXPECT_TRUE(fs::is_empty(server.Root().Path() + "log"));
  EXPECT_EQ(Settings->ChSync(), "");

  fs::remove(app.Path() + "Checks20240305140709");
  journal.FileLoaded("2.ch");
  journal.EndLoad(view);
  EXPECT_EQ(server.Root().Read("log/Checks20240305140709"),
            UploadedBytes + "1.ch\r\n" + UploadedBytes + "2.ch\r\n");
}

TEST_F(JournalTest, ARefusedStampWriteComesAfterTheUploadAndKeepsTheLines) {
  ScriptedClock clock({CycleEnd, UploadDone});
  fs::remove(app.Path() + "Quorvel.ini");
  fs::create_directories(app.Path() + "Quorvel.ini");
  TExchangeJournal journal(TExchangeJournal::Price);
  journal.FileLoaded("p.txt");
  EXPECT_THROW(journal.EndLoad(view), EQuorvelError);
  EXPECT_EQ(server.Root().Read("log/Price20240305140709"), DownloadedBytes + "p.txt\r\n");
  EXPECT_FALSE(app.Dir().Exists("Price20240305140709"));
  EXPECT_EQ(Settings->PriceSync(), "05.03.2024 14:07:11");
  EXPECT_EQ(view.TimePrice, "TimePrice");
  EXPECT_THAT(journal.Lines(), ElementsAre("Скачен файл p.txt"));
}

// ---------------------------------------------------------------------------
// FTPUploadFile

TEST_F(JournalTest, UploadResumesAPartialRemoteCopyAndDeletesTheLocalFile) {
  const struct {
    const char* Name;
    std::string Remote;
    std::string Expected;
  } cases[] = {
      {"none", "", "ABCDEF"},
      {"shorter", "ABC", "ABCDEF"},
      // Same size counts as done: nothing is sent.
      {"same size", "xyzxyz", "xyzxyz"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string name = std::string("j-") + c.Name;
    if (!c.Remote.empty()) server.Root().Write("log/" + name, c.Remote);
    app.Dir().Write(name, "ABCDEF");
    EXPECT_TRUE(
        FTPUploadFile("127.0.0.1", "user", "pass", app.Path() + name, "log\\" + name, true));
    EXPECT_EQ(server.Root().Read("log/" + name), c.Expected);
    EXPECT_FALSE(app.Dir().Exists(name));
  }
  app.Dir().Write("kept", "K");
  EXPECT_TRUE(FTPUploadFile("127.0.0.1", "user", "pass", app.Path() + "kept", "log\\kept", false));
  EXPECT_TRUE(app.Dir().Exists("kept"));
}

TEST_F(JournalTest, UploadFailuresAreResultsNotErrors) {
  app.Dir().Write("j", "J");
  EXPECT_FALSE(FTPUploadFile("127.0.0.1", "user", "wrong", app.Path() + "j", "log\\j", true));
  EXPECT_FALSE(
      FTPUploadFile("127.0.0.1", "user", "pass", app.Path() + "missing", "log\\missing", true));
  EXPECT_FALSE(FTPUploadFile("127.0.0.1", "user", "pass", app.Path() + "j", "nofolder\\j", true));
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
  const bool stored =
      FTPUploadFile("127.0.0.1", "user", "pass", app.Path() + "Checks20240305140709",
                    "log\\Checks20240305140709", true);
  SetJournalUploadPortForTesting("");
  EXPECT_TRUE(stored);
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

// The product's journal upload goes to port 21 whatever FTPPort says. Shown
// only where this test may take port 21.
TEST(JournalUpload, GoesToPort21) {
  std::unique_ptr<TestFtpServer> server;
  try {
    TestFtpServer::Options options;
    options.Port = 21;
    server = std::make_unique<TestFtpServer>(options);
  } catch (const std::exception&) {
    GTEST_SKIP() << "port 21 is taken";
  }
  WorkerAppDir app;
  Settings->SetFTPPort("2121");
  fs::create_directories(server->Root().Path() + "log");
  app.Dir().Write("Scale20240305140709", "S");
  EXPECT_TRUE(FTPUploadFile("127.0.0.1", "user", "pass", app.Path() + "Scale20240305140709",
                            "log\\Scale20240305140709", true));
  EXPECT_EQ(server->Root().Read("log/Scale20240305140709"), "S");
}
