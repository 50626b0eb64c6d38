#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "net/blcksock.h"
#include "settings/uSettingsClass.h"
#include "support/ChildProcess.h"
#include "support/ScriptedFtpPeer.h"
#include "support/TempDir.h"
#include "support/WorkerHarness.h"
#include "workers/uSync.h"

// A hostile server: replies without end, passive replies that name no
// usable port, listings that name places outside the agent's folders or
// run to a million lines, or to millions of tiny ones. One cycle of a worker
// against it must end within a bound, keep the process's memory within a
// bound, and write nothing outside the agent's folders. The listing cases
// also run with both download workers listing at once, as the agent runs
// them.
//
// Each case runs in a child process (this program started with
// QUORVEL_HOSTILE_CASE set), so that the peak of its resident memory is the
// case's alone. The child plays the server with the scripted peer (one per
// worker), runs one cycle of the workers and prints how long the cycle took
// and how far the peak resident memory rose above what the process held
// before it.

using ::testing::IsEmpty;

namespace fs = std::filesystem;

namespace {

constexpr int ShortPause = 20;
constexpr size_t MiB = size_t{1024} * 1024;

// What a bound allows under the sanitizers: AddressSanitizer pads every
// allocation and keeps freed memory in quarantine (256 MiB by default), with
// the shadow of all that; ThreadSanitizer shadows all memory in use several
// times over.
constexpr size_t Allowed(size_t Bound) {
#if defined(__SANITIZE_ADDRESS__)
  return 2 * Bound + 512 * MiB;
#elif defined(__SANITIZE_THREAD__)
  return 6 * Bound;
#else
  return Bound;
#endif
}

const std::string Passive = "229 Entering Extended Passive Mode (|||{port}|)";

std::string ListingLine(char Kind, const std::string& Name) {
  return std::string(1, Kind) + "rw-r--r--   1 owner    group        4096 Mar 05 14:07 " + Name +
         "\r\n";
}

// Count lines of folders named d0000000, d0000001, ...
std::string FolderLines(size_t Count) {
  std::string listing;
  char name[32];
  for (size_t i = 0; i < Count; ++i) {
    std::snprintf(name, sizeof name, "d%07zu", i);
    listing += ListingLine('d', name);
  }
  return listing;
}

// Lines of one character each up to the listing cap: millions of entries.
std::string OneLetterLines() {
  std::string listing;
  for (size_t i = 0; i < 16 * MiB / 3; ++i) listing += "a\r\n";
  return listing;
}

// Line ends only: millions of empty lines, none an entry.
// NOLINTNEXTLINE(modernize-return-braced-init-list): braces would make two characters.
std::string EmptyLines() { return std::string(16 * MiB, '\n'); }

// Lines of bytes that code page 1251 decodes to three-byte characters ("€"),
// long enough for the layout that takes any line of 55 characters: the text
// triples, and each entry holds its line and most of it again as its name.
std::string WideLines() {
  const std::string line = std::string(400, '\x88') + "\r\n";
  std::string listing;
  for (size_t i = 0; i < 16 * MiB / line.size(); ++i) listing += line;
  return listing;
}

// The longest listing of folders under the cap.
std::string FoldersUpToTheCap() {
  return FolderLines(16 * MiB / ListingLine('d', "d0000000").size());
}

// A log-on and a listing with these bytes: of the login directory, or of
// another with Command "LIST <folder>".
void ListingScript(ScriptedFtpPeer& Peer, std::string Listing,
                   const std::string& Command = "LIST") {
  Peer.LoginSteps("user", "pass", true)
      .Expect("TYPE A", {"200 Type set to A"})
      .ExpectPassive("EPSV 1", Passive)
      .Expect(Command, {"150 Here comes the listing"})
      .SendData(std::move(Listing))
      .Send({"226 Transfer complete"});
}

// The download of ok.txt, and the end of the cycle.
void DeliverOkAndQuit(ScriptedFtpPeer& Peer) {
  Peer.ExpectPassive("EPSV 1", Passive)
      .Expect("TYPE I", {"200 Type set to I"})
      .Expect("RETR ok.txt", {"150 Opening data connection"})
      .SendData("ok")
      .Send({"226 Transfer complete"})
      .Expect("DELE ok.txt", {"250 Deleted"})
      .Expect("QUIT", {"221 Bye"});
}

// A passive reply that leads nowhere: the listing fails, the cycle ends.
void PassiveScript(ScriptedFtpPeer& Peer,
                   const std::vector<std::pair<std::string, std::string>>& Replies) {
  Peer.LoginSteps("user", "pass", true).Expect("TYPE A", {"200 Type set to A"});
  for (const auto& [command, reply] : Replies) Peer.Expect(command, {reply});
  Peer.Expect("QUIT", {"221 Bye"});
}

struct HostileCase {
  const char* Name;
  void (*Script)(ScriptedFtpPeer& Peer);
  size_t MemoryBound;  // in bytes, without sanitizers
  int SecondsBound;
  // The files below the agent's world afterwards: "app/..." and "till/...".
  std::vector<std::string> Tree;
  // The client sends only what the script expects, to its end; else the
  // reply never ends for it and the log-on fails after "USER".
  bool PlayedOut = true;
};

// Failure messages show the case by its name.
void PrintTo(const HostileCase& Case, std::ostream* Out) { *Out << Case.Name; }

const std::vector<std::string> Untouched = {"app/Quorvel.ini", "app/reports/checks/", "till/"};
const std::vector<std::string> OkDelivered = {"app/Quorvel.ini", "app/reports/checks/",
                                              "till/ok.txt"};

const HostileCase HostileCases[] = {
    {"EndlessReplyLine",
     [](ScriptedFtpPeer& Peer) {
       Peer.Send({"220 Ready"}).Expect("USER user").SendRaw("331 " + std::string(64 * MiB, 'x'));
     },
     16 * MiB, 20, Untouched, false},
    {"ReplyOfAMillionLines",
     [](ScriptedFtpPeer& Peer) {
       std::string reply;
       for (int i = 0; i < 1000000; ++i) reply += "331-x\r\n";
       Peer.Send({"220 Ready"}).Expect("USER user").SendRaw(reply + "331 end\r\n");
     },
     16 * MiB, 20, Untouched, false},
    // Lines under the line cap whose bytes each decode to three: the reply
    // ends once its lines pass 1 MiB in all, not after gigabytes.
    {"ReplyOfSwellingLines",
     [](ScriptedFtpPeer& Peer) {
       std::string reply;
       for (int i = 0; i < 32; ++i) reply += "331-" + std::string(MiB - 16, '\x85') + "\r\n";
       Peer.Send({"220 Ready"}).Expect("USER user").SendRaw(reply + "331 end\r\n");
     },
     32 * MiB, 20, Untouched, false},
    {"PasvNamingPortZero",
     [](ScriptedFtpPeer& Peer) {
       PassiveScript(Peer, {{"EPSV 1", "500 Unknown command"},
                            {"PASV", "227 Entering Passive Mode (127,0,0,1,0,0)"}});
     },
     16 * MiB, 20, Untouched},
    {"PasvNumbersAbove255",
     [](ScriptedFtpPeer& Peer) {
       PassiveScript(Peer, {{"EPSV 1", "500 Unknown command"},
                            {"PASV", "227 Entering Passive Mode (127,0,0,1,300,300)"}});
     },
     16 * MiB, 20, Untouched},
    {"PasvAddressAbove255",
     [](ScriptedFtpPeer& Peer) {
       PassiveScript(Peer, {{"EPSV 1", "500 Unknown command"},
                            {"PASV", "227 Entering Passive Mode (256,300,0,1,4,1)"}});
     },
     16 * MiB, 20, Untouched},
    {"EpsvWithoutDigits",
     [](ScriptedFtpPeer& Peer) {
       PassiveScript(Peer, {{"EPSV 1", "229 Entering Extended Passive Mode (|||x|)"}});
     },
     16 * MiB, 20, Untouched},
    {"NamesOutsideTheFolders",
     [](ScriptedFtpPeer& Peer) {
       std::string listing;
       for (const char* name : {"../x", "a/b", "..\\x", "a\\b", "/etc/x", "Quorvel.ini", "..", "."})
         listing += ListingLine('-', name);
       ListingScript(Peer, listing + ListingLine('-', "ok.txt"));
       DeliverOkAndQuit(Peer);
     },
     16 * MiB, 20, OkDelivered},
    // The listing is cut at its cap (16 MiB) and fails, so nothing is
    // parsed and nothing fetched.
    {"ListingOfAMillionLines",
     [](ScriptedFtpPeer& Peer) {
       ListingScript(Peer, FolderLines(1000000) + ListingLine('-', "ok.txt"));
       Peer.Expect("QUIT", {"221 Bye"});
     },
     48 * MiB, 100, Untouched},
    // The longest listing the agent takes: parsed whole, its files fetched.
    {"ListingJustUnderTheCap",
     [](ScriptedFtpPeer& Peer) {
       const std::string last = ListingLine('-', "ok.txt");
       std::string listing =
           FolderLines((16 * MiB - last.size()) / ListingLine('d', "d0000000").size());
       ListingScript(Peer, listing + last);
       DeliverOkAndQuit(Peer);
     },
     128 * MiB, 100, OkDelivered},
    // Under the byte cap, but parsed they would pass the listing's memory
    // bound: the listing fails, nothing is fetched.
    {"ListingOfOneLetterLines",
     [](ScriptedFtpPeer& Peer) {
       ListingScript(Peer, OneLetterLines());
       Peer.Expect("QUIT", {"221 Bye"});
     },
     128 * MiB, 100, Untouched},
    {"ListingOfEmptyLines",
     [](ScriptedFtpPeer& Peer) {
       ListingScript(Peer, EmptyLines());
       Peer.Expect("QUIT", {"221 Bye"});
     },
     128 * MiB, 100, Untouched},
    {"ListingOfWideCharacters",
     [](ScriptedFtpPeer& Peer) {
       ListingScript(Peer, WideLines());
       Peer.Expect("QUIT", {"221 Bye"});
     },
     128 * MiB, 100, Untouched},
};

// Both download workers at once, each against a peer of its own that sends
// the listing; nothing to fetch. The bound is for the two together.
struct PairCase {
  const char* Name;
  std::string (*Listing)();
  size_t MemoryBound;  // in bytes, without sanitizers
  int SecondsBound;
};

void PrintTo(const PairCase& Case, std::ostream* Out) { *Out << Case.Name; }

const PairCase PairCases[] = {
    {"FoldersUpToTheCap", FoldersUpToTheCap, 256 * MiB, 100},
    {"OneLetterLines", OneLetterLines, 256 * MiB, 100},
    {"EmptyLines", EmptyLines, 256 * MiB, 100},
    {"WideCharacters", WideLines, 256 * MiB, 100},
};

template <typename Case, size_t N>
const Case* FindCase(const Case (&Cases)[N], const std::string& Name) {
  for (const Case& c : Cases)
    if (Name == c.Name) return &c;
  return nullptr;
}

size_t StatusKiB(const char* Field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.starts_with(Field))
      return std::strtoull(line.c_str() + std::strlen(Field) + 1, nullptr, 10);
  return 0;
}

// The workers of a child's cycle: the price worker (it saves server names
// beside the program) and, for a pair, the scale worker beside it.
using WorkerScript = std::function<void(ScriptedFtpPeer& Peer)>;

// The child: one cycle of each worker against a peer of its own playing its
// script.
int RunCycle(const std::vector<WorkerScript>& Scripts, int SecondsBound, const std::string& World) {
  LoadSocketLibrary();
  std::vector<std::unique_ptr<ScriptedFtpPeer>> peers;
  for (const WorkerScript& script : Scripts) {
    // The client may take its time between two commands (parsing a long
    // listing), but never longer than the case allows for the cycle.
    peers.push_back(std::make_unique<ScriptedFtpPeer>(false, SecondsBound * 1000));
    script(*peers.back());
    peers.back()->Start();
  }
  InitApplicationDirectory(World + "app/");
  Settings = new TQuorvelSettings(World + "app/");
  SetWorkerTimeoutForTesting(ShortPause);
  WorkerEvents events;

  const size_t before = StatusKiB("VmRSS:");
  std::ofstream("/proc/self/clear_refs") << "5";
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::shared_ptr<TFTPLoaderTh>> workers;
  for (size_t i = 0; i < peers.size(); ++i) {
    // A worker copies the server from the settings as it is created.
    UseLoopbackServer(peers[i]->PortText(), World + "till/", World + "till/");
    if (i == 0) {
      workers.push_back(TFTPPriceLoaderTh::Create(events.FileDone(), events.EndLoad()));
    } else {
      workers.push_back(TFTPScaleLoaderTh::Create(events.FileDone(), events.EndLoad()));
    }
  }
  // Stopped once its cycle has begun, a worker finishes that cycle only.
  const bool begun = WorkerPumpUntil(
      [&] {
        return std::all_of(peers.begin(), peers.end(),
                           [](const auto& Peer) { return !Peer->Received().empty(); });
      },
      10000);
  const bool ended = WorkerStopAndWait(workers, SecondsBound * 1000);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
  const size_t peak = StatusKiB("VmHWM:");
  std::printf("%d %d %lld %zu %zu\n", begun ? 1 : 0, ended ? 1 : 0, static_cast<long long>(ms),
              peak > before ? peak - before : 0, events.Lines().size());
  for (const auto& peer : peers) {
    for (const std::string& line : peer->Received()) std::printf("> %s\n", line.c_str());
    for (const std::string& failure : peer->Failures()) std::printf("! %s\n", failure.c_str());
  }
  std::fflush(stdout);
  std::_Exit(0);
}

int RunPair(const PairCase& Case, const std::string& World) {
  const auto script = [&Case](const std::string& Command) {
    return [&Case, Command](ScriptedFtpPeer& Peer) {
      ListingScript(Peer, Case.Listing(), Command);
      Peer.Expect("QUIT", {"221 Bye"});
    };
  };
  return RunCycle({script("LIST"), script("LIST scale\\")}, Case.SecondsBound, World);
}

}  // namespace

int main(int argc, char** argv) {
  if (const char* name = std::getenv("QUORVEL_HOSTILE_CASE")) {
    const std::string world = std::getenv("QUORVEL_HOSTILE_WORLD");
    if (const HostileCase* c = FindCase(HostileCases, name))
      return RunCycle({c->Script}, c->SecondsBound, world);
    if (const PairCase* c = FindCase(PairCases, name)) return RunPair(*c, world);
    return 2;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

namespace {

// What a child printed about its cycle, and the agent's files afterwards.
struct CycleReport {
  int Begun = 0;
  int Ended = 0;
  long long Ms = 0;
  size_t GrowthKiB = 0;
  size_t Events = 0;
  std::vector<std::string> Received;
  std::vector<std::string> Failures;
  std::vector<std::string> Tree;
};

CycleReport RunInChild(const char* Name, int SecondsBound) {
  const TempDir world;
  fs::create_directories(world.Path() + "app/reports/checks");
  fs::create_directories(world.Path() + "till");
  const ChildResult child = RunChild(
      {SelfExecutable()},
      {std::string("QUORVEL_HOSTILE_CASE=") + Name, "QUORVEL_HOSTILE_WORLD=" + world.Path()},
      SecondsBound + 30);
  CycleReport report;
  EXPECT_EQ(child.ExitCode, 0) << child.Output;
  std::istringstream output(child.Output);
  EXPECT_TRUE(output >> report.Begun >> report.Ended >> report.Ms >> report.GrowthKiB >>
              report.Events)
      << child.Output;
  for (std::string line; std::getline(output, line);) {
    if (line.starts_with("> ")) report.Received.push_back(line.substr(2));
    if (line.starts_with("! ")) report.Failures.push_back(line.substr(2));
  }
  report.Tree = WorkerTree(world.Path());
  std::printf("%s: cycle %lld ms, peak resident memory %zu KiB above the start\n", Name, report.Ms,
              report.GrowthKiB);
  return report;
}

class HostileServerTest : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileServerTest, TheCycleEndsInTimeWithinBoundedMemoryWritingNothingOutside) {
  const HostileCase& c = GetParam();
  const CycleReport report = RunInChild(c.Name, c.SecondsBound);
  EXPECT_EQ(report.Begun, 1);
  EXPECT_EQ(report.Ended, 1) << "the cycle did not end within " << c.SecondsBound << " s";
  EXPECT_LT(report.GrowthKiB * 1024, Allowed(c.MemoryBound));
  if (c.PlayedOut) {
    EXPECT_THAT(report.Failures, IsEmpty());
  } else {
    EXPECT_THAT(report.Received, ::testing::ElementsAre("USER user"));
  }
  EXPECT_EQ(report.Tree, c.Tree);
  EXPECT_EQ(report.Events, c.Tree == OkDelivered ? 2u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, HostileServerTest, ::testing::ValuesIn(HostileCases),
                         [](const auto& Info) { return std::string(Info.param.Name); });

class HostileListingPairTest : public ::testing::TestWithParam<PairCase> {};

TEST_P(HostileListingPairTest, BothDownloadWorkersListingAtOnceStayWithinTheBound) {
  const PairCase& c = GetParam();
  const CycleReport report = RunInChild(c.Name, c.SecondsBound);
  EXPECT_EQ(report.Begun, 1);
  EXPECT_EQ(report.Ended, 1) << "the cycles did not end within " << c.SecondsBound << " s";
  EXPECT_LT(report.GrowthKiB * 1024, Allowed(c.MemoryBound));
  EXPECT_THAT(report.Failures, IsEmpty());
  EXPECT_EQ(report.Tree, Untouched);
  EXPECT_EQ(report.Events, 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, HostileListingPairTest, ::testing::ValuesIn(PairCases),
                         [](const auto& Info) { return std::string(Info.param.Name); });

}  // namespace
