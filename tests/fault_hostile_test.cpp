#include <gmock/gmock.h>
#include <gtest/gtest.h>

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
// run to a million lines. One cycle of a worker against it must end within
// a bound, keep the process's memory within a bound, and write nothing
// outside the agent's folders.
//
// Each case runs in a child process (this program started with
// QUORVEL_HOSTILE_CASE set), so that the peak of its resident memory is the
// case's alone. The child plays the server with the scripted peer, runs one
// cycle of the worker and prints how long the cycle took and how far the
// peak resident memory rose above what the process held before it.

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

// A log-on and a listing of the login directory with these bytes.
void ListingScript(ScriptedFtpPeer& Peer, std::string Listing) {
  Peer.LoginSteps("user", "pass", true)
      .Expect("TYPE A", {"200 Type set to A"})
      .ExpectPassive("EPSV 1", Passive)
      .Expect("LIST", {"150 Here comes the listing"})
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
     192 * MiB, 100, OkDelivered},
};

const HostileCase* FindCase(const std::string& Name) {
  for (const HostileCase& c : HostileCases)
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

// The child: one cycle of a price worker (the one that saves server names
// beside the program) against the case's peer.
int RunCase(const HostileCase& Case, const std::string& World) {
  LoadSocketLibrary();
  // The client may take its time between two commands (parsing a long
  // listing), but never longer than the case allows for the cycle.
  ScriptedFtpPeer peer(false, Case.SecondsBound * 1000);
  Case.Script(peer);
  peer.Start();
  InitApplicationDirectory(World + "app/");
  Settings = new TQuorvelSettings(World + "app/");
  UseLoopbackServer(peer.PortText(), World + "till/", World + "till/");
  SetWorkerTimeoutForTesting(ShortPause);
  WorkerEvents events;

  const size_t before = StatusKiB("VmRSS:");
  std::ofstream("/proc/self/clear_refs") << "5";
  const auto start = std::chrono::steady_clock::now();
  const auto worker = TFTPPriceLoaderTh::Create(events.FileDone(), events.EndLoad());
  // Stopped once its cycle has begun, the worker finishes that cycle only.
  const bool begun = WorkerPumpUntil([&] { return !peer.Received().empty(); }, 10000);
  worker->Terminate();
  const bool ended = WorkerPumpUntil([&] { return worker->Finished(); }, Case.SecondsBound * 1000);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
  const size_t peak = StatusKiB("VmHWM:");
  std::printf("%d %d %lld %zu %zu\n", begun ? 1 : 0, ended ? 1 : 0, static_cast<long long>(ms),
              peak > before ? peak - before : 0, events.Lines().size());
  for (const std::string& line : peer.Received()) std::printf("> %s\n", line.c_str());
  for (const std::string& failure : peer.Failures()) std::printf("! %s\n", failure.c_str());
  std::fflush(stdout);
  std::_Exit(0);
}

}  // namespace

int main(int argc, char** argv) {
  if (const char* name = std::getenv("QUORVEL_HOSTILE_CASE")) {
    const HostileCase* c = FindCase(name);
    return c == nullptr ? 2 : RunCase(*c, std::getenv("QUORVEL_HOSTILE_WORLD"));
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

namespace {

class HostileServerTest : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileServerTest, TheCycleEndsInTimeWithinBoundedMemoryWritingNothingOutside) {
  const HostileCase& c = GetParam();
  const TempDir world;
  fs::create_directories(world.Path() + "app/reports/checks");
  fs::create_directories(world.Path() + "till");

  const ChildResult child = RunChild(
      {SelfExecutable()},
      {std::string("QUORVEL_HOSTILE_CASE=") + c.Name, "QUORVEL_HOSTILE_WORLD=" + world.Path()},
      c.SecondsBound + 30);
  ASSERT_EQ(child.ExitCode, 0) << child.Output;
  std::istringstream output(child.Output);
  int begun = 0, ended = 0;
  long long ms = 0;
  size_t growthKiB = 0, events = 0;
  ASSERT_TRUE(output >> begun >> ended >> ms >> growthKiB >> events) << child.Output;
  std::vector<std::string> received, failures;
  for (std::string line; std::getline(output, line);) {
    if (line.starts_with("> ")) received.push_back(line.substr(2));
    if (line.starts_with("! ")) failures.push_back(line.substr(2));
  }
  std::printf("%s: cycle %lld ms, peak resident memory %zu KiB above the start\n", c.Name, ms,
              growthKiB);
  EXPECT_EQ(begun, 1);
  EXPECT_EQ(ended, 1) << "the cycle did not end within " << c.SecondsBound << " s";
  EXPECT_LT(growthKiB * 1024, Allowed(c.MemoryBound));
  if (c.PlayedOut) {
    EXPECT_THAT(failures, IsEmpty());
  } else {
    EXPECT_THAT(received, ::testing::ElementsAre("USER user"));
  }
  EXPECT_EQ(WorkerTree(world.Path()), c.Tree);
  EXPECT_EQ(events, c.Tree == OkDelivered ? 2u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, HostileServerTest, ::testing::ValuesIn(HostileCases),
                         [](const auto& Info) { return std::string(Info.param.Name); });

}  // namespace
