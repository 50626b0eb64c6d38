#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <ostream>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/HeadlessMain.h"
#include "app/Startup.h"
#include "platform/codepage.h"
#include "support/AgentProcess.h"
#include "support/FaultFtpServer.h"
#include "support/FtpServer.h"
#include "support/TempDir.h"
#include "support/WorkerHarness.h"
#include "ui/ExchangeJournal.h"
#include "workers/uSync.h"

// Crash consistency of the headless agent. This test program doubles as the
// agent (started with QUORVEL_RUN_AS_AGENT set, with short pauses and
// time-outs from the environment). The agent is killed with SIGKILL at
// random moments of its cycles while receipts, price and scale files keep
// arriving and the server drops connections at random; then one clean run
// must leave every file whole where it belongs, no stray file behind, and
// every moved file named in a journal on the server. The run is seeded:
// QUORVEL_CRASH_SEED=<n> replays the file sizes, faults and kill moments of
// a failed run (the kill moments as delays; the agent's own timing varies).

namespace fs = std::filesystem;

namespace {

int EnvironmentNumber(const char* Name, int Default) {
  const char* text = std::getenv(Name);
  return text != nullptr ? std::atoi(text) : Default;
}

}  // namespace

int main(int argc, char** argv) {
  if (std::getenv("QUORVEL_RUN_AS_AGENT") != nullptr) {
    if (const char* port = std::getenv("QUORVEL_JOURNAL_PORT"))
      SetJournalUploadPortForTesting(port);
    const int sessionTimeout = EnvironmentNumber("QUORVEL_SESSION_TIMEOUT_MS", 0);
    SetWorkerTimeoutForTesting(EnvironmentNumber("QUORVEL_WORKER_PAUSE_MS", 0));
    SetWorkerSessionTimeoutForTesting(sessionTimeout);
    SetJournalUploadTimeoutForTesting(sessionTimeout);
    StartUp();
    return RunHeadless();
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

namespace {

using Clock = std::chrono::steady_clock;

constexpr int Kills = 30;
constexpr int WorkerPauseMs = 20;
constexpr int SessionTimeoutMs = 2000;
constexpr int LongestRunMs = 700;
constexpr int SettleMs = 30000;

const std::string UploadedLine = "Загружен файл ";
const std::string DownloadedLine = "Скачен файл ";

// One kind of file on its way: where it arrives and where it must end up.
struct TRoute {
  const char* Kind;           // its journals' name prefix: "Checks", "Price" or "Scale"
  std::string ArrivalFolder;  // the till's receipt folder or a server folder
  std::string TargetFolder;   // the server's receipt folder, the till or scales
  const char* Extension;
};

// The file's bytes; nothing when it cannot be read.
std::string ReadWhole(const std::string& Path) {
  std::ifstream in(Path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The journals on the server by kind: every file name their lines give.
std::map<std::string, std::multiset<std::string>> JournaledNames(const std::string& LogFolder,
                                                                 std::vector<std::string>& Odd) {
  std::map<std::string, std::multiset<std::string>> names;
  if (!fs::is_directory(LogFolder)) return names;
  for (const auto& entry : fs::directory_iterator(LogFolder)) {
    const std::string file = entry.path().filename().string();
    const std::string kind = file.substr(0, file.find_first_of("0123456789"));
    const std::string& prefix = kind == "Checks" ? UploadedLine : DownloadedLine;
    const std::string text = Cp1251ToUtf8(ReadWhole(entry.path().string()));
    size_t at = 0;
    for (size_t end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2) {
      const std::string line = text.substr(at, end - at);
      if (line.rfind(prefix, 0) == 0) {
        names[kind].insert(line.substr(prefix.size()));
      } else {
        std::string odd = file;
        odd += ": ";
        odd += line;
        Odd.push_back(std::move(odd));
      }
    }
    if (at != text.size()) Odd.push_back(file + " ends inside a line");
  }
  return names;
}

class CrashTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* folder : {"log", "reports/checks", "scale"})
      fs::create_directories(server.Root().Path() + folder);
    program = agent.Path() + "quorvel";
    fs::copy_file("/proc/self/exe", program);
    fs::permissions(program, fs::perms::owner_all);
    fs::create_directories(agent.Path() + "till/reports/checks");
    fs::create_directories(agent.Path() + "scales");
    agent.Write("Quorvel.ini", "[main]\r\nserver=127.0.0.1\r\nport=" + server.PortText() +
                                   "\r\nuser=user\r\npass=pass\r\nkassaPath=" + agent.Path() +
                                   "till\r\nScalePath=" + agent.Path() +
                                   "scales\r\nAutoStartThread=1\r\n");
    routes = {
        {"Checks", agent.Path() + "till/reports/checks/", server.Root().Path() + "reports/checks/",
         ".ch"},
        {"Price", server.Root().Path(), agent.Path() + "till/", ".txt"},
        {"Scale", server.Root().Path() + "scale/", agent.Path() + "scales/", ".dat"},
    };
  }

  std::unique_ptr<AgentProcess> StartAgent() {
    return std::make_unique<AgentProcess>(
        program, output.Path() + "stderr.txt",
        std::vector<std::string>{"QUORVEL_RUN_AS_AGENT=1",
                                 "QUORVEL_JOURNAL_PORT=" + server.PortText(),
                                 "QUORVEL_WORKER_PAUSE_MS=" + std::to_string(WorkerPauseMs),
                                 "QUORVEL_SESSION_TIMEOUT_MS=" + std::to_string(SessionTimeoutMs)});
  }

  // A new file of a route, written whole elsewhere and renamed into place,
  // as a till or an uploader that finishes a file before naming it.
  void Arrive(const TRoute& Route, size_t Size) {
    // Receipts come as "*.ch" and, every other one, "*.z".
    const bool zReport = IsReceipt(Route) && sent.size() % 2 == 1;
    const std::string name = "f" + std::to_string(sent.size()) + (zReport ? ".z" : Route.Extension);
    std::string bytes(Size, '\0');
    for (char& byte : bytes) byte = static_cast<char>(Pick(256));
    incoming.Write(name, bytes);
    ASSERT_EQ(std::rename((incoming.Path() + name).c_str(), (Route.ArrivalFolder + name).c_str()),
              0);
    sent.push_back({&Route, name, std::move(bytes)});
  }
  void ArriveSome(int Count) {
    for (int i = 0; i < Count; ++i) {
      const TRoute& route = routes[Pick(routes.size())];
      // Some small, some large enough to be cut in the middle of a transfer.
      Arrive(route, Pick(2) == 0 ? 1 + Pick(100) : 1 + Pick(200000));
    }
  }

  // A few connection faults of the kinds that strike in practice, each at
  // a random one of the next occurrences of its command.
  void InjectFaults() {
    static const FtpFault kinds[] = {
        {"STOR", 1, "drop", "", 0},
        {"STOR", 1, "drop-reply", "", 0},
        {"STOR", 1, "reset-data", "4096", 0},
        {"RETR", 1, "drop", "", 0},
        {"RETR", 1, "drop-reply", "", 0},
        {"RETR", 1, "reset-data", "4096", 0},
        {"DELE", 1, "drop", "", 0},
        {"DELE", 1, "drop-reply", "", 0},
        {"LIST", 1, "drop", "", 0},
        {"SIZE", 1, "drop", "", 0},
        {"PASS", 1, "reply", "421 Too many connections", 0},
    };
    std::vector<FtpFault> faults;
    for (size_t i = Pick(4); i > 0; --i) {
      FtpFault fault = kinds[Pick(std::size(kinds))];
      fault.Occurrence = 1 + static_cast<int>(Pick(6));
      faults.push_back(fault);
    }
    server.Inject(faults);
  }

  // Every file sent has reached its target whole and is gone from where it
  // arrived, and none is left unnamed by the journals on the server.
  std::vector<std::string> Problems() {
    std::vector<std::string> problems;
    std::map<std::string, std::multiset<std::string>> journaled =
        JournaledNames(server.Root().Path() + "log", problems);
    for (const TSent& file : sent) {
      const std::string where = std::string(file.Route->Kind) + " " + file.Name;
      if (fs::exists(file.Route->ArrivalFolder + file.Name))
        problems.push_back(where + " has not left");
      if (ReadWhole(file.Route->TargetFolder + file.Name) != file.Bytes)
        problems.push_back(where + " is not whole at its target");
      if (journaled[file.Route->Kind].count(file.Name) == 0)
        problems.push_back(where + " is in no journal on the server");
    }
    return problems;
  }

  // What the agent's folder and the server must hold at the end: the
  // program, its settings, the folders and the delivered files, no more.
  std::vector<std::string> Strays() {
    std::set<std::string> expected = {"Quorvel.ini", "quorvel", "reports/checks/",
                                      "till/reports/checks/"};
    std::set<std::string> onServer = {"scale/"};
    for (const TSent& file : sent) {
      if (IsReceipt(*file.Route)) {
        onServer.insert("reports/checks/" + file.Name);
      } else {
        expected.insert((file.Route->Kind == std::string("Price") ? "till/" : "scales/") +
                        file.Name);
      }
    }
    std::vector<std::string> strays;
    for (const std::string& name : WorkerTree(agent.Path()))
      if (expected.count(name) == 0) strays.push_back("beside the program: " + name);
    for (const std::string& name : WorkerTree(server.Root().Path())) {
      static const std::regex journal("log/(Checks|Price|Scale)[0-9]{14}");
      if (!std::regex_match(name, journal) && onServer.count(name) == 0)
        strays.push_back("on the server: " + name);
    }
    return strays;
  }

  // A number from 0 to Below - 1.
  size_t Pick(size_t Below) { return static_cast<size_t>(rng() % Below); }
  static bool IsReceipt(const TRoute& Route) { return Route.Kind == std::string("Checks"); }

  struct TSent {
    const TRoute* Route;
    std::string Name;
    std::string Bytes;
  };

  FaultFtpServer server;
  TempDir agent;
  TempDir incoming;
  TempDir output;
  std::string program;
  std::vector<TRoute> routes;
  std::vector<TSent> sent;
  std::mt19937_64 rng;
};

}  // namespace

TEST_F(CrashTest, KilledAtRandomMomentsItLosesNothing) {
  const unsigned seed = EnvironmentNumber("QUORVEL_CRASH_SEED", 0) != 0
                            ? static_cast<unsigned>(EnvironmentNumber("QUORVEL_CRASH_SEED", 0))
                            : std::random_device{}();
  rng.seed(seed);
  std::cout << "crash test seed " << seed << " (QUORVEL_CRASH_SEED=" << seed << " replays it)"
            << std::endl;
  SCOPED_TRACE("QUORVEL_CRASH_SEED=" + std::to_string(seed));
  RecordProperty("seed", static_cast<int>(seed));

  for (int kill = 0; kill < Kills; ++kill) {
    ArriveSome(1 + static_cast<int>(Pick(4)));
    InjectFaults();
    const std::unique_ptr<AgentProcess> process = StartAgent();
    ASSERT_TRUE(process->Started());
    const int runMs = static_cast<int>(Pick(LongestRunMs));
    const int arrivalMs = static_cast<int>(Pick(runMs + 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(arrivalMs));
    ArriveSome(static_cast<int>(Pick(3)));
    std::this_thread::sleep_for(std::chrono::milliseconds(runMs - arrivalMs));
    ASSERT_EQ(process->Stop(SIGKILL, 5000), 128 + SIGKILL);
  }

  // The clean run: no faults, and a new file of every kind, so that every
  // kind ends a cycle that moved something and writes its journal.
  server.ClearFaults();
  for (const TRoute& route : routes) Arrive(route, 1000);
  const std::unique_ptr<AgentProcess> process = StartAgent();
  ASSERT_TRUE(process->Started());
  const auto deadline = Clock::now() + std::chrono::milliseconds(SettleMs);
  while ((!Problems().empty() || !Strays().empty()) && Clock::now() < deadline &&
         process->Running())
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(process->Running());
  EXPECT_EQ(process->Stop(SIGTERM, 5000), 0);
  EXPECT_THAT(Problems(), ::testing::IsEmpty()) << sent.size() << " files sent";
  EXPECT_THAT(Strays(), ::testing::IsEmpty());
  if (HasFailure()) {
    for (const std::string& name : WorkerTree(server.Root().Path() + "log"))
      std::cout << "on the server: log/" << name << std::endl;
    std::cout << output.Read("stderr.txt");
  }
}

// What closes the gap a kill could fall into: each file is reported, and
// its journal line written, while the file still lies where it came from.
TEST(CrashWindow, EachLineIsOnTheDiskBeforeItsFileLeavesItsSource) {
  const struct {
    const char* Name;
    std::function<std::shared_ptr<TFTPLoaderTh>(TGetStrProc, TGetStrProc, TCycleProc)> Create;
    const TExchangeJournal::TKind& Kind;
    // Where the file lies until it has moved: a folder on the server, or
    // the receipt staging folder below the application directory.
    bool OnServer;
    const char* Folder;
  } cases[] = {
      {"receipt", &TFTPChLoaderTh::Create, TExchangeJournal::Checks, false, "reports/checks/"},
      {"price", &TFTPPriceLoaderTh::Create, TExchangeJournal::Price, true, ""},
      {"scale", &TFTPScaleLoaderTh::Create, TExchangeJournal::Scale, true, "scale/"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    WorkerAppDir app;
    TestFtpServer server;
    TempDir till;
    TempDir scales;
    for (const char* folder : {"log", "reports/checks", "scale"})
      fs::create_directories(server.Root().Path() + folder);
    till.Write("reports/checks/1.ch", "receipt");
    server.Root().Write("1.txt", "price");
    server.Root().Write("scale/1.dat", "scale");
    UseLoopbackServer(server.PortText(), till.Path(), scales.Path());
    SetWorkerTimeoutForTesting(WorkerPauseMs);
    const std::string source = (c.OnServer ? server.Root().Path() : app.Path()) + c.Folder;

    TExchangeJournal journal(c.Kind);
    std::vector<std::string> seen;
    const auto onFile = [&](const std::string& Name) {
      const bool stillThere = fs::exists(source + Name);
      journal.FileLoaded(Name);
      seen.push_back(Name + (stillThere ? " still at its source" : " gone"));
    };
    const std::shared_ptr<TFTPLoaderTh> worker = c.Create(onFile, nullptr, nullptr);
    EXPECT_TRUE(WorkerPumpUntil([&] { return !seen.empty(); }));
    EXPECT_TRUE(WorkerStopAndWait({worker}));
    SetWorkerTimeoutForTesting(0);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_THAT(seen[0], ::testing::EndsWith("still at its source"));
    EXPECT_THAT(journal.Lines(), ::testing::SizeIs(1));
    EXPECT_FALSE(fs::exists(source + seen[0].substr(0, seen[0].find(' '))));
  }
}
