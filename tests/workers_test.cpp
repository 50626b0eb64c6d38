#include <fcntl.h>
#include <gmock/gmock.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"
#include "platform/exename.h"
#include "platform/posix_calls.h"
#include "settings/uSettingsClass.h"
#include "support/FtpServer.h"
#include "support/ScriptedFtpPeer.h"
#include "support/WorkerHarness.h"
#include "workers/MainThreadDispatch.h"
#include "workers/uSync.h"

// The three transfer workers against a real FTP server (pyftpdlib on
// loopback, "\" a separator as on Windows servers) and, where the exact
// commands matter, against a scripted peer. Pauses are cut to milliseconds.

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

namespace fs = std::filesystem;

namespace {

constexpr int ShortPause = 50;

// The events of one cycle: the names reported before its "<end>".
std::vector<std::vector<std::string>> Cycles(const std::vector<std::string>& Lines) {
  std::vector<std::vector<std::string>> cycles(1);
  for (const std::string& line : Lines) {
    if (line == "<end>") {
      cycles.emplace_back();
    } else {
      cycles.back().push_back(line);
    }
  }
  cycles.pop_back();
  return cycles;
}

class WorkerTest : public ::testing::Test {
 protected:
  void SetUp() override { SetWorkerTimeoutForTesting(ShortPause); }

  void TearDown() override {
    EXPECT_TRUE(WorkerStopAndWait(workers));
    SetWorkerTimeoutForTesting(0);
  }

  // Points the settings at a server on loopback; the till and scales
  // folders at till.
  void UseServer(int Port, const std::string& Password = "pass") {
    UseLoopbackServer(std::to_string(Port), till.Path(), till.Path());
    Settings->SetFTPPass(Password);
  }

  template <class TWorker>
  std::shared_ptr<TWorker> Start() {
    auto worker = TWorker::Create(events.FileDone(), events.EndLoad());
    workers.push_back(worker);
    return worker;
  }

  bool WaitForCycles(int Count) {
    return WorkerPumpUntil([&] { return events.EndCount() >= Count; });
  }

  // Waits until the cycles after the first moving one have reported Count
  // files and returns those names, in order.
  std::vector<std::string> LaterNames(size_t Count) {
    std::vector<std::string> later;
    const auto collect = [&] {
      const auto cycles = Cycles(events.Lines());
      later.clear();
      for (size_t i = 1; i < cycles.size(); ++i)
        later.insert(later.end(), cycles[i].begin(), cycles[i].end());
      return later.size() >= Count;
    };
    EXPECT_TRUE(WorkerPumpUntil(collect)) << ::testing::PrintToString(events.Lines());
    return later;
  }

  // Waits for a cycle that moves something, lets a few more cycles run, and
  // returns the names that the only moving cycle reported.
  std::vector<std::string> OnlyMovingCycle() {
    EXPECT_TRUE(WaitForCycles(1));
    WorkerPumpFor(4 * ShortPause);
    const auto cycles = Cycles(events.Lines());
    EXPECT_EQ(cycles.size(), 1u) << ::testing::PrintToString(events.Lines());
    return cycles.empty() ? std::vector<std::string>() : cycles[0];
  }

  WorkerAppDir app;
  TempDir till;
  WorkerEvents events;
  std::vector<std::shared_ptr<TFTPLoaderTh>> workers;
};

}  // namespace

// ---------------------------------------------------------------------------
// Construction

TEST_F(WorkerTest, PortFollowsTheIntegerTextRuleCutTo16Bits) {
  const struct {
    const char* Text;
    uint16_t Port;
  } cases[] = {{"2121", 2121}, {"", 21},      {"abc", 21}, {"80 ", 21}, {"65536", 0},
               {"65557", 21},  {"-1", 65535}, {"$50", 80}, {"0x50", 80}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Text);
    Settings->SetFTPPort(c.Text);
    EXPECT_EQ(Start<TFTPPriceLoaderTh>()->Port(), c.Port);
  }
}

TEST_F(WorkerTest, FoldersOfEachKindEndInTheSeparator) {
  Settings->SetKassaPath("/shop/till");
  Settings->SetScalePath("/shop/scales/");
  const auto receipts = Start<TFTPChLoaderTh>();
  const auto price = Start<TFTPPriceLoaderTh>();
  const auto scale = Start<TFTPScaleLoaderTh>();
  EXPECT_EQ(receipts->CheckDir(), "/shop/till/reports/checks/");
  EXPECT_EQ(receipts->SelfChDir(), app.Path() + "reports/checks/");
  EXPECT_EQ(price->PriceDir(), "/shop/till/");
  EXPECT_EQ(price->SelfPriceDir(), app.Path());
  EXPECT_EQ(scale->ScaleDir(), "/shop/scales/");
  EXPECT_EQ(scale->SelfScaleDir(), app.Path());

  Settings->SetKassaPath("");
  EXPECT_EQ(Start<TFTPChLoaderTh>()->CheckDir(), "/reports/checks/");
}

TEST_F(WorkerTest, CopiesTheSettingsOnceWhenCreated) {
  Settings->SetFTPServer("first.example");
  Settings->SetFTPUser("u1");
  Settings->SetFTPPass("p1");
  const auto worker = Start<TFTPScaleLoaderTh>();
  Settings->SetFTPServer("second.example");
  Settings->SetFTPUser("u2");
  Settings->SetFTPPass("p2");
  Settings->SetScalePath("/elsewhere");
  EXPECT_EQ(worker->Serv(), "first.example");
  EXPECT_EQ(worker->User(), "u1");
  EXPECT_EQ(worker->Pass(), "p1");
  EXPECT_EQ(worker->ScaleDir(), app.Path());
}

// A platform that refuses the thread: the user's process limit is reached.
// Root is not bound by that limit, so a child of this test gives up root,
// sets the limit and creates a worker; it reports the error it got.
TEST_F(WorkerTest, ARefusedThreadRaisesThreadCreationError) {
  Settings->SetFTPServer("127.0.0.1");
  int report[2];
  ASSERT_EQ(::pipe2(report, O_CLOEXEC), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const rlimit oneProcess{1, 1};
    std::string what = "the worker started";
    if (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
        ::setresuid(65534, 65534, 65534) != 0 || ::setrlimit(RLIMIT_NPROC, &oneProcess) != 0) {
      what = "cannot give up root";
    } else {
      try {
        TFTPChLoaderTh::Create(nullptr, nullptr);
      } catch (const EQuorvelError& Error) {
        what = Error.what();
      }
    }
    [[maybe_unused]] const ssize_t written = ::write(report[1], what.data(), what.size());
    ::_exit(0);
  }
  ::close(report[1]);
  std::string what;
  char buffer[256];
  for (ssize_t got; (got = ::read(report[0], buffer, sizeof buffer)) > 0;)
    what.append(buffer, static_cast<size_t>(got));
  ::close(report[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_THAT(what, ::testing::StartsWith("Thread creation error: "));
  EXPECT_GT(what.size(), std::string("Thread creation error: ").size());
}

TEST_F(WorkerTest, PausesTenMinutesUnlessTold) {
  // The peer accepts and never greets, so the first login is still waiting
  // while the pause is read and shortened.
  auto peer = std::make_unique<ScriptedFtpPeer>();
  peer->Start();
  SetWorkerTimeoutForTesting(0);
  UseServer(peer->Port());
  const auto worker = Start<TFTPChLoaderTh>();
  EXPECT_EQ(worker->Timeout(), 600000);
  EXPECT_EQ(worker->SettleTime(), 2000);
  worker->SetTimeout(ShortPause);
  worker->Terminate();
  peer.reset();
  EXPECT_TRUE(WorkerPumpUntil([&] { return worker->Finished(); }));
  EXPECT_THAT(events.Lines(), IsEmpty());
}

// ---------------------------------------------------------------------------
// Receipts

TEST_F(WorkerTest, ReceiptsAreGatheredUploadedAndReported) {
  TestFtpServer server;
  fs::create_directories(server.Root().Path() + "reports/checks");
  till.Write("reports/checks/0001.ch", "till copy");
  till.Write("reports/checks/b.ch", "B");
  till.Write("reports/checks/a.z", "A");
  till.Write("reports/checks/empty.ch", "");
  till.Write("reports/checks/UPPER.CH", "U");
  till.Write("reports/checks/notes.txt", "not a receipt");
  app.Dir().Write("reports/checks/0001.ch", "staged copy");
  UseServer(server.Port());

  Start<TFTPChLoaderTh>();
  ASSERT_TRUE(WaitForCycles(2));

  // First cycle: the staged 0001.ch goes up, the till's copy cannot be
  // staged beside it; every "*.ch" comes before the "*.z".
  const auto cycles = Cycles(events.Lines());
  ASSERT_EQ(cycles.size(), 2u);
  ASSERT_EQ(cycles[0].size(), 5u);
  EXPECT_THAT(std::vector<std::string>(cycles[0].begin(), cycles[0].begin() + 4),
              UnorderedElementsAre("0001.ch", "b.ch", "empty.ch", "UPPER.CH"));
  EXPECT_EQ(cycles[0][4], "a.z");
  // Second cycle: the till's 0001.ch, replacing the remote copy.
  EXPECT_THAT(cycles[1], ElementsAre("0001.ch"));

  const std::string remote = "reports/checks/";
  EXPECT_EQ(server.Root().Read(remote + "0001.ch"), "till copy");
  EXPECT_EQ(server.Root().Read(remote + "b.ch"), "B");
  EXPECT_EQ(server.Root().Read(remote + "a.z"), "A");
  EXPECT_EQ(server.Root().Read(remote + "empty.ch"), "");
  EXPECT_EQ(server.Root().Read(remote + "UPPER.CH"), "U");
  EXPECT_THAT(WorkerTree(till.Path()), ElementsAre("reports/checks/notes.txt"));
  EXPECT_THAT(WorkerTree(app.Path() + "reports/checks"), IsEmpty());
}

TEST_F(WorkerTest, ReceiptsOfATillWritingIntoTheStagingFolderGoStraightUp) {
  TestFtpServer server;
  fs::create_directories(server.Root().Path() + "reports/checks");
  UseServer(server.Port());
  Settings->SetKassaPath(app.Path());
  app.Dir().Write("reports/checks/7.ch", "seven");

  Start<TFTPChLoaderTh>();
  ASSERT_TRUE(WaitForCycles(1));
  EXPECT_THAT(events.Lines(), ElementsAre("7.ch", "<end>"));
  EXPECT_EQ(server.Root().Read("reports/checks/7.ch"), "seven");
  EXPECT_FALSE(app.Dir().Exists("reports/checks/7.ch"));
}

TEST_F(WorkerTest, ReceiptsWaitStagedUntilTheRemoteFolderExists) {
  TestFtpServer server;
  till.Write("reports/checks/1.ch", "one");
  till.Write("reports/checks/2.z", "two");
  UseServer(server.Port());

  Start<TFTPChLoaderTh>();
  // Several cycles: gathered, every upload refused, nothing reported.
  ASSERT_TRUE(WorkerPumpUntil([&] { return app.Dir().Exists("reports/checks/2.z"); }));
  WorkerPumpFor(10 * ShortPause);
  EXPECT_THAT(events.Lines(), IsEmpty());
  EXPECT_TRUE(app.Dir().Exists("reports/checks/1.ch"));

  // The folder may appear between the "*.ch" and the "*.z" pass of a
  // cycle; then 1.ch follows in the next.
  fs::create_directories(server.Root().Path() + "reports/checks");
  ASSERT_TRUE(WorkerPumpUntil([&] {
    const auto& lines = events.Lines();
    return lines.size() - events.EndCount() == 2 && lines.back() == "<end>";
  }));
  const auto cycles = Cycles(events.Lines());
  EXPECT_TRUE(cycles == std::vector<std::vector<std::string>>({{"1.ch", "2.z"}}) ||
              cycles == std::vector<std::vector<std::string>>({{"2.z"}, {"1.ch"}}))
      << ::testing::PrintToString(events.Lines());
  EXPECT_EQ(server.Root().Read("reports/checks/1.ch"), "one");
  EXPECT_EQ(server.Root().Read("reports/checks/2.z"), "two");
}

TEST_F(WorkerTest, ARefusedLoginTouchesNothingAndIsTriedOncePerCycle) {
  auto peer = std::make_unique<ScriptedFtpPeer>();
  for (int cycle = 0; cycle < 2; ++cycle) {
    if (cycle > 0) peer->AcceptNext();
    peer->Send({"220 Ready"});
    peer->Expect("USER user", {"331 Password required"});
    peer->Expect("PASS wrong", {"530 Login incorrect"});
  }
  peer->Start();
  till.Write("reports/checks/1.ch", "one");
  app.Dir().Write("reports/checks/2.ch", "two");
  UseServer(peer->Port(), "wrong");
  SetWorkerTimeoutForTesting(10 * ShortPause);

  const auto worker = Start<TFTPChLoaderTh>();
  ASSERT_TRUE(peer->WaitDone(10000));
  worker->Terminate();
  EXPECT_THAT(peer->Failures(), IsEmpty());
  EXPECT_THAT(peer->Received(), ElementsAre("USER user", "PASS wrong", "USER user", "PASS wrong"));
  peer.reset();
  EXPECT_TRUE(WorkerPumpUntil([&] { return worker->Finished(); }));
  EXPECT_THAT(events.Lines(), IsEmpty());
  EXPECT_TRUE(till.Exists("reports/checks/1.ch"));
  EXPECT_TRUE(app.Dir().Exists("reports/checks/2.ch"));
}

// ---------------------------------------------------------------------------
// Downloads

TEST_F(WorkerTest, PriceFilesReplaceTheirOlderCopiesInTheTillFolder) {
  TestFtpServer server;
  server.Root().Write("p1.txt", "new price");
  server.Root().Write("p2.txt", "");
  server.Root().Write("scale/s.dat", "scale data");
  fs::create_directories(server.Root().Path() + "log");
  till.Write("p1.txt", "old price");
  UseServer(server.Port());

  Start<TFTPPriceLoaderTh>();
  EXPECT_THAT(OnlyMovingCycle(), UnorderedElementsAre("p1.txt", "p2.txt"));
  EXPECT_EQ(till.Read("p1.txt"), "new price");
  EXPECT_EQ(till.Read("p2.txt"), "");
  EXPECT_FALSE(app.Dir().Exists("p1.txt"));
  EXPECT_THAT(WorkerTree(server.Root().Path()), ElementsAre("log/", "scale/s.dat"));
}

TEST_F(WorkerTest, DownloadsStayWhereSavedWhenTheTillFolderIsTheApplicationDirectory) {
  TestFtpServer server;
  server.Root().Write("price.csv", "1;2;3");
  server.Root().Write("scale/plu.dat", "plu");
  UseServer(server.Port());
  Settings->SetKassaPath(app.Path());
  Settings->SetScalePath(app.Path());

  Start<TFTPPriceLoaderTh>();
  Start<TFTPScaleLoaderTh>();
  ASSERT_TRUE(WaitForCycles(2));
  EXPECT_THAT(events.Lines(), UnorderedElementsAre("price.csv", "plu.dat", "<end>", "<end>"));
  EXPECT_EQ(app.Dir().Read("price.csv"), "1;2;3");
  EXPECT_EQ(app.Dir().Read("plu.dat"), "plu");
  EXPECT_THAT(WorkerTree(server.Root().Path()), ElementsAre("scale/"));
}

TEST_F(WorkerTest, ScaleFilesComeOnlyFromTheScaleFolder) {
  TestFtpServer server;
  server.Root().Write("scale/plu.dat", "plu");
  server.Root().Write("scale/goods.txt", "scale goods");
  server.Root().Write("goods.txt", "price goods");
  TempDir scales;
  UseServer(server.Port());
  Settings->SetScalePath(scales.Path());

  Start<TFTPScaleLoaderTh>();
  EXPECT_THAT(OnlyMovingCycle(), UnorderedElementsAre("plu.dat", "goods.txt"));
  EXPECT_EQ(scales.Read("plu.dat"), "plu");
  EXPECT_EQ(scales.Read("goods.txt"), "scale goods");
  EXPECT_THAT(WorkerTree(server.Root().Path()), ElementsAre("goods.txt", "scale/"));
}

// The till folder left at the program's folder, the scales folder
// elsewhere: a scale file named like a price file delivered earlier goes to
// the scales only, and the till keeps its own.
TEST_F(WorkerTest, AScaleFileNamedLikeATillFileLeavesTheTillFileAlone) {
  TestFtpServer server;
  server.Root().Write("scale/goods.txt", "scale goods");
  TempDir scales;
  UseServer(server.Port());
  Settings->SetKassaPath(app.Path());
  Settings->SetScalePath(scales.Path());
  app.Dir().Write("goods.txt", "price goods");

  Start<TFTPScaleLoaderTh>();
  EXPECT_THAT(OnlyMovingCycle(), ElementsAre("goods.txt"));
  EXPECT_EQ(app.Dir().Read("goods.txt"), "price goods");
  EXPECT_EQ(scales.Read("goods.txt"), "scale goods");
  EXPECT_THAT(WorkerTree(app.Path()), ElementsAre("Quorvel.ini", "goods.txt", "reports/checks/"));
  EXPECT_THAT(WorkerTree(scales.Path()), ElementsAre("goods.txt"));
}

// Both folders elsewhere, both workers at once on the same names: each
// destination gets only its own kind's bytes, whole.
TEST_F(WorkerTest, PriceAndScaleFilesOfOneNameNeverMix) {
  TestFtpServer server;
  constexpr size_t Files = 20;
  const auto content = [](const std::string& Kind, size_t I) {
    return std::string(10000 + I, Kind[0]) + Kind + std::to_string(I);
  };
  for (size_t i = 0; i < Files; ++i) {
    server.Root().Write("f" + std::to_string(i) + ".txt", content("price", i));
    server.Root().Write("scale/f" + std::to_string(i) + ".txt", content("scale", i));
  }
  TempDir prices;
  TempDir scales;
  UseServer(server.Port());
  Settings->SetKassaPath(prices.Path());
  Settings->SetScalePath(scales.Path());

  Start<TFTPPriceLoaderTh>();
  Start<TFTPScaleLoaderTh>();
  ASSERT_TRUE(
      WorkerPumpUntil([&] { return events.Lines().size() - events.EndCount() == 2 * Files; }));
  for (size_t i = 0; i < Files; ++i) {
    const std::string name = "f" + std::to_string(i) + ".txt";
    EXPECT_EQ(prices.Read(name), content("price", i)) << name;
    EXPECT_EQ(scales.Read(name), content("scale", i)) << name;
  }
  EXPECT_THAT(WorkerTree(app.Path()), ElementsAre("Quorvel.ini", "reports/checks/"));
  EXPECT_THAT(WorkerTree(server.Root().Path()), ElementsAre("scale/"));
}

// The till folder named by another text than the program's own folder. The
// download arrives whole and stays, replacing its older copy; the receipt the
// till wrote into the staging folder goes straight up.
struct TillSpellingCase {
  const char* Name;
  // The till folder, given the program's folder and a folder for a link.
  std::string (*Spell)(const std::string& App, const std::string& Other);
};

// Failure messages show the case by its name.
void PrintTo(const TillSpellingCase& Case, std::ostream* Out) { *Out << Case.Name; }

class TillSpellingTest : public WorkerTest,
                         public ::testing::WithParamInterface<TillSpellingCase> {};

TEST_P(TillSpellingTest, TheProgramsFolderByAnotherNameLosesNothing) {
  TestFtpServer server;
  fs::create_directories(server.Root().Path() + "reports/checks");
  server.Root().Write("goods.txt", "new goods");
  app.Dir().Write("goods.txt", "old goods");
  app.Dir().Write("reports/checks/7.ch", "seven");
  UseServer(server.Port());
  Settings->SetKassaPath(GetParam().Spell(app.Path(), till.Path()));

  Start<TFTPPriceLoaderTh>();
  Start<TFTPChLoaderTh>();
  ASSERT_TRUE(WaitForCycles(2));
  WorkerPumpFor(4 * ShortPause);
  EXPECT_THAT(events.Lines(), UnorderedElementsAre("goods.txt", "7.ch", "<end>", "<end>"));
  EXPECT_EQ(app.Dir().Read("goods.txt"), "new goods");
  EXPECT_THAT(WorkerTree(app.Path()), ElementsAre("Quorvel.ini", "goods.txt", "reports/checks/"));
  EXPECT_THAT(WorkerTree(server.Root().Path()), ElementsAre("reports/checks/7.ch"));
  EXPECT_EQ(server.Root().Read("reports/checks/7.ch"), "seven");
}

INSTANTIATE_TEST_SUITE_P(
    Spellings, TillSpellingTest,
    ::testing::Values(TillSpellingCase{"SymbolicLink",
                                       [](const std::string& App, const std::string& Other) {
                                         fs::create_directory_symlink(App, Other + "agent");
                                         return Other + "agent";
                                       }},
                      TillSpellingCase{
                          "DoubledSeparator",
                          [](const std::string& App, const std::string&) { return App + "/"; }},
                      TillSpellingCase{"DotStep", [](const std::string& App,
                                                     const std::string&) { return App + "."; }}),
    [](const auto& info) { return std::string(info.param.Name); });

// A save cut short by the end of the process leaves its temporary file;
// start-up removes them, only by their shape and only in the folders the
// program writes, and no worker ever takes one for a file.
TEST_F(WorkerTest, LeftoversOfCutSavesGoAtStartAndAreNeverTakenForFiles) {
  TempDir scales;
  Settings->SetKassaPath(till.Path());
  Settings->SetScalePath(scales.Path());
  const std::vector<std::string> leftovers = {
      app.Path() + ".Quorvel.ini.99-1.tmp", app.Path() + "reports/checks/.r1.ch.99-2.tmp",
      till.Path() + ".goods.txt.99-3.tmp", scales.Path() + ".plu.dat.99-4.tmp"};
  for (const std::string& path : leftovers) std::ofstream(path) << "cut short";
  till.Write("notes.tmp", "the till's own");
  till.Write(".backup.tmp", "the till's own");
  // The till's receipt folder is read, never written.
  till.Write("reports/checks/.r2.ch.99-5.tmp", "not ours");

  RemoveSaveLeftovers();
  EXPECT_THAT(WorkerTree(app.Path()), ElementsAre("Quorvel.ini", "reports/checks/"));
  EXPECT_THAT(WorkerTree(till.Path()),
              ElementsAre(".backup.tmp", "notes.tmp", "reports/checks/.r2.ch.99-5.tmp"));
  EXPECT_THAT(WorkerTree(scales.Path()), IsEmpty());

  // A leftover that appears while the agent runs is no receipt either.
  TestFtpServer server;
  fs::create_directories(server.Root().Path() + "reports/checks");
  UseServer(server.Port());
  Settings->SetScalePath(scales.Path());
  app.Dir().Write("reports/checks/.r3.ch.77-1.tmp", "cut short");
  till.Write("reports/checks/r4.ch", "whole");
  Start<TFTPChLoaderTh>();
  EXPECT_THAT(OnlyMovingCycle(), ElementsAre("r4.ch"));
  EXPECT_THAT(WorkerTree(server.Root().Path()), ElementsAre("reports/checks/r4.ch"));
  EXPECT_TRUE(app.Dir().Exists("reports/checks/.r3.ch.77-1.tmp"));
}

TEST_F(WorkerTest, NothingToMoveRaisesNoEventAtAll) {
  // An empty login directory, no "scale" folder, no receipts.
  TestFtpServer server;
  fs::create_directories(server.Root().Path() + "log");
  UseServer(server.Port());
  Start<TFTPChLoaderTh>();
  Start<TFTPPriceLoaderTh>();
  Start<TFTPScaleLoaderTh>();
  WorkerPumpFor(10 * ShortPause);
  EXPECT_THAT(events.Lines(), IsEmpty());
}

// The exact commands of a download cycle: the listing, then per plain file
// in listing order a retrieve and a delete with the kind's remote prefix.
// Folders and names that are not plain names of the server folder are
// neither fetched nor deleted.
struct DownloadCommandsCase {
  const char* Kind;
  std::function<std::shared_ptr<TFTPLoaderTh>(WorkerEvents&)> Create;
  std::string RemoteFolder;
};

// Failure messages show the case by its name.
void PrintTo(const DownloadCommandsCase& Case, std::ostream* Out) { *Out << Case.Kind; }

class DownloadCommandsTest : public WorkerTest,
                             public ::testing::WithParamInterface<DownloadCommandsCase> {};

TEST_P(DownloadCommandsTest, ListThenRetrieveAndDeleteEachPlainFileInListingOrder) {
  const std::string folder = GetParam().RemoteFolder;
  const std::string listing =
      "drwxr-xr-x   2 owner    group        4096 Mar 05 14:07 log\r\n"
      "-rw-r--r--   1 owner    group           3 Mar 05 14:07 b.txt\r\n"
      "-rw-r--r--   1 owner    group           3 Mar 05 14:07 ..\r\n"
      "-rw-r--r--   1 owner    group           3 Mar 05 14:07 Quorvel.ini\r\n"
      "-rw-r--r--   1 owner    group           3 Mar 05 14:07 Price20240305140709\r\n"
      "-rw-r--r--   1 owner    group           3 Mar 05 14:07 a.txt\r\n";
  auto peer = std::make_unique<ScriptedFtpPeer>();
  peer->LoginSteps("user", "pass", true);
  peer->Expect("TYPE A", {"200 Type set to A"});
  peer->ExpectPassive("EPSV 1", "229 Entering Extended Passive Mode (|||{port}|)");
  peer->Expect(folder.empty() ? "LIST" : "LIST " + folder, {"150 Here comes the listing"});
  peer->SendData(listing);
  peer->Send({"226 Transfer complete"});
  for (const std::string name : {"b.txt", "a.txt"}) {
    const std::string remote = folder + name;
    peer->ExpectPassive("EPSV 1", "229 Entering Extended Passive Mode (|||{port}|)");
    peer->Expect("TYPE I", {"200 Type set to I"});
    peer->Expect("RETR " + remote, {"150 Opening data connection"});
    peer->SendData(name + "!");
    peer->Send({"226 Transfer complete"});
    peer->Expect("DELE " + remote, {"250 Deleted"});
  }
  peer->Expect("QUIT", {"221 Bye"});
  peer->Start();
  UseServer(peer->Port());
  SetWorkerTimeoutForTesting(10 * ShortPause);

  workers.push_back(GetParam().Create(events));
  ASSERT_TRUE(WaitForCycles(1));
  ASSERT_TRUE(peer->WaitDone(10000));
  workers.back()->Terminate();
  EXPECT_THAT(peer->Failures(), IsEmpty());
  peer.reset();
  EXPECT_THAT(events.Lines(), ElementsAre("b.txt", "a.txt", "<end>"));
  EXPECT_EQ(till.Read("b.txt"), "b.txt!");
  EXPECT_EQ(till.Read("a.txt"), "a.txt!");
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, DownloadCommandsTest,
    ::testing::Values(DownloadCommandsCase{"Price",
                                           [](WorkerEvents& e) -> std::shared_ptr<TFTPLoaderTh> {
                                             return TFTPPriceLoaderTh::Create(e.FileDone(),
                                                                              e.EndLoad());
                                           },
                                           ""},
                      DownloadCommandsCase{"Scale",
                                           [](WorkerEvents& e) -> std::shared_ptr<TFTPLoaderTh> {
                                             return TFTPScaleLoaderTh::Create(e.FileDone(),
                                                                              e.EndLoad());
                                           },
                                           "scale\\"}),
    [](const auto& info) { return std::string(info.param.Kind); });

// ---------------------------------------------------------------------------
// Server names are input

TEST(ServerNames, OnlyPlainNamesThatCannotHitTheProgramsOwnFilesAreDelivered) {
  const struct {
    std::string Name;
    bool Deliverable;
  } cases[] = {
      {"price.txt", true},
      {"Checks2024030514070", true},    // 13 digits
      {"Checks202403051407091", true},  // 15 digits
      {"Checks2024030514070x", true},
      {"Quorvel.ini.bak", true},
      {"", false},
      {".", false},
      {"..", false},
      {"sub/price.txt", false},
      {"sub\\price.txt", false},
      {"..\\Quorvel.ini", false},
      {std::string("Quorvel.ini\0", 12), false},
      {"Quorvel.ini", false},
      {"QUORVEL.INI", false},
      {"reports", false},
      {"Reports", false},
      {"Checks20240305140709", false},
      {"PRICE20240305140709", false},
      {"scale20240305140709", false},
      {ExecutableFileName(), false},
      // What a save of this program writes before renaming it into place.
      {".goods.txt.123-4.tmp", false},
      {".goods.txt.tmp", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("\"" + c.Name + "\"");
    EXPECT_EQ(IsDeliverableName(c.Name), c.Deliverable);
  }
}

TEST_F(WorkerTest, NamesOfTheProgramsOwnFilesStayOnTheServer) {
  TestFtpServer server;
  const std::vector<std::string> refused = {
      "Quorvel.ini", "CHECKS20240305140709", "Scale20240305140709", "REPORTS", ExecutableFileName(),
      "a\\b.txt",    ".ok.txt.4242-1.tmp"};
  for (const auto& name : refused) server.Root().Write(name, "from the server");
  server.Root().Write("ok.txt", "fine");
  UseServer(server.Port());
  Settings->SetKassaPath(app.Path());
  const std::string settingsBefore = app.Dir().Read("Quorvel.ini");

  Start<TFTPPriceLoaderTh>();
  EXPECT_THAT(OnlyMovingCycle(), ElementsAre("ok.txt"));
  for (const auto& name : refused) EXPECT_TRUE(server.Root().Exists(name)) << name;
  EXPECT_EQ(app.Dir().Read("Quorvel.ini"), settingsBefore);
  EXPECT_FALSE(app.Dir().Exists("CHECKS20240305140709"));
}

// ---------------------------------------------------------------------------
// No local fault ends a worker

namespace {

// Faults injected below the file layer. Installed before any worker thread
// exists and removed after the last has ended; the switches are atomics.
std::atomic<bool> DiskFull{false};
std::atomic<bool> ReceiptUnreadable{false};
// New files below this folder cannot be created while RefuseWriting holds;
// set before any worker starts.
std::string RefusingFolder;
std::atomic<bool> RefuseWriting{false};

bool EndsWith(const char* Text, const char* Tail) {
  const size_t text = std::strlen(Text), tail = std::strlen(Tail);
  return text >= tail && std::strcmp(Text + text - tail, Tail) == 0;
}

int FaultyOpen(const char* Path, int Flags, mode_t Mode) {
  if (ReceiptUnreadable && (Flags & O_ACCMODE) == O_RDONLY && EndsWith(Path, "/locked.ch")) {
    errno = EACCES;
    return -1;
  }
  if (RefuseWriting && (Flags & O_CREAT) != 0 &&
      std::string_view(Path).starts_with(RefusingFolder)) {
    errno = EACCES;
    return -1;
  }
  return SystemPosixCalls().Open(Path, Flags, Mode);
}

// Writes of content that begins with "FULL" find the disk full.
ssize_t FaultyWrite(int Fd, const void* Buffer, size_t Count) {
  if (DiskFull && Count >= 4 && std::memcmp(Buffer, "FULL", 4) == 0) {
    errno = ENOSPC;
    return -1;
  }
  return SystemPosixCalls().Write(Fd, Buffer, Count);
}

class LocalFaultTest : public WorkerTest {
 protected:
  void SetUp() override {
    WorkerTest::SetUp();
    PosixCalls().Open = FaultyOpen;
    PosixCalls().Write = FaultyWrite;
  }
  void TearDown() override {
    WorkerTest::TearDown();
    PosixCalls() = SystemPosixCalls();
    DiskFull = false;
    ReceiptUnreadable = false;
    RefuseWriting = false;
  }
};

}  // namespace

// A receipt-named entry that cannot be taken this cycle stays exactly where
// it is, the other receipts go up, the cycle ends with its cycle-done event,
// and once the entry can be taken a later cycle takes it.
struct StrayReceiptCase {
  const char* Name;
  std::string Where;  // "till" or "app"
  std::string Path;   // the entry, below Where
  // Puts the entry there; returns what frees it, or nothing for an entry
  // that is never a receipt.
  std::function<void()> (*Arrange)(const TempDir& Where, const std::string& Path);
};

// Failure messages show the case by its name.
void PrintTo(const StrayReceiptCase& Case, std::ostream* Out) { *Out << Case.Name; }

std::function<void()> AFolder(const TempDir& Where, const std::string& Path) {
  Where.Write(Path + "/inner.txt", "inner");
  return nullptr;
}

std::function<void()> HeldOpen(const TempDir& Where, const std::string& Path) {
  Where.Write(Path, "half");
  auto holder = std::make_shared<WorkerFileHolder>(Where.Path() + Path);
  return [holder]() mutable { holder.reset(); };
}

std::function<void()> Unreadable(const TempDir& Where, const std::string& Path) {
  Where.Write(Path, "locked");
  ReceiptUnreadable = true;
  return [] { ReceiptUnreadable = false; };
}

class StrayReceiptTest : public LocalFaultTest,
                         public ::testing::WithParamInterface<StrayReceiptCase> {};

TEST_P(StrayReceiptTest, StaysWhereItIsWhileTheOthersGoUp) {
  const StrayReceiptCase& c = GetParam();
  TestFtpServer server;
  fs::create_directories(server.Root().Path() + "reports/checks");
  till.Write("reports/checks/good.ch", "good");
  UseServer(server.Port());
  const TempDir& where = c.Where == "till" ? till : app.Dir();
  const std::function<void()> release = c.Arrange(where, c.Path);

  Start<TFTPChLoaderTh>();
  EXPECT_THAT(OnlyMovingCycle(), ElementsAre("good.ch"));
  EXPECT_TRUE(where.Exists(c.Path));
  EXPECT_FALSE(server.Root().Exists("reports/checks/" + fs::path(c.Path).filename().string()));

  // The worker is still cycling: a new receipt goes up, and a freed entry
  // with it.
  till.Write("reports/checks/later.ch", "later");
  if (release) release();
  if (release) {
    EXPECT_THAT(LaterNames(2),
                UnorderedElementsAre("later.ch", fs::path(c.Path).filename().string()));
    EXPECT_FALSE(where.Exists(c.Path));
  } else {
    EXPECT_THAT(LaterNames(1), ElementsAre("later.ch"));
    WorkerPumpFor(4 * ShortPause);
    EXPECT_THAT(LaterNames(1), ElementsAre("later.ch"));
    EXPECT_TRUE(where.Exists(c.Path));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Entries, StrayReceiptTest,
    ::testing::Values(
        StrayReceiptCase{"FolderInTheTillFolder", "till", "reports/checks/x.ch", AFolder},
        StrayReceiptCase{"FolderInTheStagingFolder", "app", "reports/checks/y.ch", AFolder},
        StrayReceiptCase{"ReceiptTheTillStillWrites", "till", "reports/checks/held.ch", HeldOpen},
        StrayReceiptCase{"StagedReceiptHeldOpen", "app", "reports/checks/held.z", HeldOpen},
        StrayReceiptCase{"StagedReceiptThatCannotBeRead", "app", "reports/checks/locked.ch",
                         Unreadable}),
    [](const auto& info) { return std::string(info.param.Name); });

// A download that cannot be saved stays on the server, is not reported, and
// leaves the older copy whole; the cycle goes on and a later one delivers it.
TEST_F(LocalFaultTest, ADownloadThatCannotBeSavedStaysOnTheServer) {
  TestFtpServer server;
  server.Root().Write("full.txt", "FULL new content");
  server.Root().Write("ok.txt", "fine");
  server.Root().Write("busy.txt", "new busy");
  UseServer(server.Port());
  Settings->SetKassaPath(app.Path());
  app.Dir().Write("full.txt", "old content");
  // The name is taken by a folder of another program.
  fs::create_directories(app.Path() + "busy.txt");
  DiskFull = true;

  Start<TFTPPriceLoaderTh>();
  EXPECT_THAT(OnlyMovingCycle(), ElementsAre("ok.txt"));
  EXPECT_EQ(server.Root().Read("full.txt"), "FULL new content");
  EXPECT_EQ(server.Root().Read("busy.txt"), "new busy");
  EXPECT_EQ(app.Dir().Read("full.txt"), "old content");
  EXPECT_THAT(WorkerTree(app.Path()),
              ElementsAre("Quorvel.ini", "busy.txt/", "full.txt", "ok.txt", "reports/checks/"));

  DiskFull = false;
  fs::remove(app.Path() + "busy.txt");
  EXPECT_THAT(LaterNames(2), UnorderedElementsAre("full.txt", "busy.txt"));
  EXPECT_EQ(app.Dir().Read("full.txt"), "FULL new content");
  EXPECT_EQ(app.Dir().Read("busy.txt"), "new busy");
  EXPECT_THAT(WorkerTree(server.Root().Path()), IsEmpty());
}

// A scales folder that is missing or refuses writing: the scale file stays
// on the server and is not reported, nothing of it appears anywhere else, and
// once the folder takes files a later cycle delivers it.
struct UnwritableDestinationCase {
  const char* Name;
  // Makes Folder unusable; returns what makes it usable again.
  std::function<void()> (*Arrange)(const std::string& Folder);
};

// Failure messages show the case by its name.
void PrintTo(const UnwritableDestinationCase& Case, std::ostream* Out) { *Out << Case.Name; }

class UnwritableDestinationTest : public LocalFaultTest,
                                  public ::testing::WithParamInterface<UnwritableDestinationCase> {
};

TEST_P(UnwritableDestinationTest, TheDownloadStaysOnTheServer) {
  TestFtpServer server;
  server.Root().Write("scale/plu.dat", "plu");
  TempDir scales;
  const std::string folder = scales.Path() + "scales/";
  UseServer(server.Port());
  Settings->SetKassaPath(app.Path());
  Settings->SetScalePath(folder);
  const std::function<void()> repair = GetParam().Arrange(folder);

  Start<TFTPScaleLoaderTh>();
  // Several cycles, each of which fails to save the file.
  WorkerPumpFor(10 * ShortPause);
  EXPECT_THAT(events.Lines(), IsEmpty());
  EXPECT_EQ(server.Root().Read("scale/plu.dat"), "plu");
  EXPECT_THAT(WorkerTree(app.Path()), ElementsAre("Quorvel.ini", "reports/checks/"));
  EXPECT_THAT(WorkerTree(scales.Path()), ::testing::AnyOf(IsEmpty(), ElementsAre("scales/")));

  repair();
  ASSERT_TRUE(WaitForCycles(1));
  EXPECT_THAT(events.Lines(), ElementsAre("plu.dat", "<end>"));
  EXPECT_EQ(scales.Read("scales/plu.dat"), "plu");
  EXPECT_THAT(WorkerTree(server.Root().Path()), ElementsAre("scale/"));
}

INSTANTIATE_TEST_SUITE_P(
    Folders, UnwritableDestinationTest,
    ::testing::Values(
        UnwritableDestinationCase{"Missing",
                                  [](const std::string& Folder) -> std::function<void()> {
                                    return [Folder] { fs::create_directories(Folder); };
                                  }},
        UnwritableDestinationCase{"RefusesWriting",
                                  [](const std::string& Folder) -> std::function<void()> {
                                    fs::create_directories(Folder);
                                    RefusingFolder = Folder;
                                    RefuseWriting = true;
                                    return [] { RefuseWriting = false; };
                                  }}),
    [](const auto& info) { return std::string(info.param.Name); });

// A cycle-done handler that fails costs nothing but that moment: the worker
// pauses and runs its next cycle as usual.
TEST_F(WorkerTest, AFailingCycleDoneHandlerDoesNotEndTheWorker) {
  TestFtpServer server;
  fs::create_directories(server.Root().Path() + "reports/checks");
  till.Write("reports/checks/a.ch", "a");
  UseServer(server.Port());
  std::vector<std::string> seen;
  const auto worker =
      TFTPChLoaderTh::Create([&](const std::string& Name) { seen.push_back(Name); },
                             // The cycle-done event runs on the worker's thread; a
                             // handler's error from the main thread comes back there.
                             [&](const std::string&) {
                               Synchronize([&] {
                                 seen.emplace_back("<end>");
                                 if (seen.size() == 2) {
                                   till.Write("reports/checks/b.ch", "b");
                                   throw EFileError("Cannot create file Checks20240305140709");
                                 }
                               });
                             });
  workers.push_back(worker);
  ASSERT_TRUE(WorkerPumpUntil([&] { return seen.size() >= 4; }));
  EXPECT_THAT(seen, ElementsAre("a.ch", "<end>", "b.ch", "<end>"));
  EXPECT_FALSE(worker->Finished());
}

// ---------------------------------------------------------------------------
// Stopping

TEST_F(WorkerTest, AStopDuringACycleLetsTheCycleFinishAndStartsNoOther) {
  TestFtpServer server;
  fs::create_directories(server.Root().Path() + "reports/checks");
  for (const char* name : {"1.ch", "2.ch", "3.z"})
    app.Dir().Write(std::string("reports/checks/") + name, name);
  UseServer(server.Port());
  std::vector<std::string> seen;
  std::shared_ptr<TFTPChLoaderTh> worker;
  worker = TFTPChLoaderTh::Create(
      [&](const std::string& Name) {
        if (seen.empty()) worker->Terminate();
        seen.push_back(Name);
      },
      [&](const std::string&) {
        seen.emplace_back("<end>");
        app.Dir().Write("reports/checks/4.ch", "after the stop");
      });
  workers.push_back(worker);
  ASSERT_TRUE(WorkerPumpUntil([&] { return worker->Finished(); }));
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_THAT(std::vector<std::string>(seen.begin(), seen.begin() + 2),
              UnorderedElementsAre("1.ch", "2.ch"));
  EXPECT_EQ(seen[2], "3.z");
  EXPECT_EQ(seen[3], "<end>");
  EXPECT_TRUE(app.Dir().Exists("reports/checks/4.ch"));
  // Stopping a worker that has ended is harmless.
  worker->Terminate();
  EXPECT_TRUE(worker->Terminated());
}

// ---------------------------------------------------------------------------
// Broken uploads

// A receipt whose data connection is reset while it is being sent, and
// which the server then reports complete, did not arrive whole: it stays
// staged for the next cycle and is not reported.
TEST_F(WorkerTest, AReceiptWhoseUploadIsResetMidwayStaysStaged) {
  // Far more than the connection's buffers hold, so the reset meets the
  // worker still sending.
  const std::string receipt(size_t{16} * 1024 * 1024, 'r');
  app.Dir().Write("reports/checks/big.ch", receipt);
  auto peer = std::make_unique<ScriptedFtpPeer>();
  peer->LoginSteps("user", "pass", true);
  peer->ExpectPassive("EPSV 1", "229 Entering Extended Passive Mode (|||{port}|)");
  peer->Expect("TYPE I", {"200 Type set to I"});
  peer->Expect("ALLO " + std::to_string(receipt.size()), {"200 ok"});
  peer->Expect("REST 0", {"350 Restarting at 0"});
  peer->Expect("STOR reports\\checks\\big.ch", {"150 Ok to send data"});
  peer->ReceiveDataThenReset(65536);
  peer->Send({"226 Transfer complete"});
  peer->Expect("QUIT", {"221 Bye"});
  peer->Start();
  UseServer(peer->Port());
  SetWorkerTimeoutForTesting(10 * ShortPause);

  Start<TFTPChLoaderTh>();
  ASSERT_TRUE(peer->WaitDone(10000));
  workers.back()->Terminate();
  EXPECT_THAT(peer->Failures(), IsEmpty());
  peer.reset();
  EXPECT_THAT(events.Lines(), IsEmpty());
  EXPECT_EQ(app.Dir().Read("reports/checks/big.ch"), receipt);
}
