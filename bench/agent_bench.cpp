// The headless agent's whole cycle for one big price file, beside lftp doing
// the same job against the same server in the same run.
//
// The loopback test server of the tests (pyftpdlib, tests/support/
// ftpserver.py) serves one file in its login directory. The real program,
// copied into a scratch application folder with auto-start on, starts, logs
// on, lists, downloads the file, saves and flushes it, moves it into the
// till folder and deletes it on the server; the time runs from the launch
// until the file lies whole in the till folder and is gone from the server.
// lftp then does the same with `mirror --Remove-source-files`. The two take
// turns over several rounds, each run starting with the disk settled (the
// bench's own writes flushed), so neither pays for the other's or the set-up's
// writes. Printed: every round's times, the medians with their rates and
// ratio, and the program's highest peak resident memory beside the file size.
//
// Usage: agent_bench [program] [file MiB (256)] [rounds (3)]
//   program  the quorvel executable (default: app/quorvel of this build)
// Needs /usr/bin/python3 with pyftpdlib; the lftp figure is skipped with a
// message when lftp is missing.

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/BenchProcess.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* User = "bench";
constexpr const char* Password = "bench-pass";

void Require(bool Condition, const std::string& What) {
  if (!Condition) throw std::runtime_error(What);
}

bool Installed(const std::string& Program) {
  return Run({"sh", "-c", "command -v " + Program}, "/") == 0;
}

// Writes Size pseudo-random bytes, a mebibyte at a time, into each path.
void WritePseudoRandomFile(const std::vector<fs::path>& Paths, size_t Size) {
  std::vector<std::ofstream> Outs;
  Outs.reserve(Paths.size());
  for (const auto& Path : Paths) Outs.emplace_back(Path, std::ios::binary | std::ios::trunc);
  std::string Block(size_t{1} << 20, '\0');
  uint64_t State = 0x9E3779B97F4A7C15ull;
  for (size_t Done = 0; Done < Size; Done += Block.size()) {
    for (size_t I = 0; I + 8 <= Block.size(); I += 8) {
      State ^= State << 13;
      State ^= State >> 7;
      State ^= State << 17;
      for (size_t K = 0; K < 8; ++K) Block[I + K] = static_cast<char>(State >> (8 * K));
    }
    const auto Count = static_cast<std::streamsize>(std::min(Block.size(), Size - Done));
    for (auto& Out : Outs) Out.write(Block.data(), Count);
  }
  for (auto& Out : Outs) Require(static_cast<bool>(Out), "cannot write the price file");
}

bool SameContent(const fs::path& A, const fs::path& B) {
  if (fs::file_size(A) != fs::file_size(B)) return false;
  std::ifstream InA(A, std::ios::binary);
  std::ifstream InB(B, std::ios::binary);
  std::string BlockA(size_t{1} << 20, '\0');
  std::string BlockB(BlockA.size(), '\0');
  while (InA && InB) {
    InA.read(BlockA.data(), static_cast<std::streamsize>(BlockA.size()));
    InB.read(BlockB.data(), static_cast<std::streamsize>(BlockB.size()));
    if (InA.gcount() != InB.gcount() || BlockA.compare(0, static_cast<size_t>(InA.gcount()), BlockB,
                                                       0, static_cast<size_t>(InB.gcount())) != 0)
      return false;
  }
  return true;
}

// The test server on a port of the system's choice, serving Root.
class TestServer {
 public:
  explicit TestServer(const fs::path& Root) {
    int Stdout = -1;
    const std::string Script = std::string(QUORVEL_SOURCE_DIR) + "/tests/support/ftpserver.py";
    FPid = Spawn({"/usr/bin/python3", Script, "--root", Root.string(), "--user", User, "--password",
                  Password},
                 Root, &Stdout);
    std::string Output;
    const auto Deadline = Clock::now() + std::chrono::seconds(15);
    while (Output.find('\n') == std::string::npos && Clock::now() < Deadline) {
      pollfd Poll{Stdout, POLLIN, 0};
      if (::poll(&Poll, 1, 100) <= 0) continue;
      char Chunk[64];
      const ssize_t Got = ::read(Stdout, Chunk, sizeof Chunk);
      if (Got <= 0) break;
      Output.append(Chunk, static_cast<size_t>(Got));
    }
    ::close(Stdout);
    if (Output.rfind("PORT ", 0) != 0) {
      Stop(FPid);
      throw std::runtime_error("the test server did not start");
    }
    FPort = std::atoi(Output.c_str() + 5);
  }
  ~TestServer() { Stop(FPid); }
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;

  int Port() const { return FPort; }

 private:
  pid_t FPid = -1;
  int FPort = 0;
};

// Waits (bounded) until the file lies whole at Delivered and is gone at
// Source; the seconds since Start.
double WaitForDelivery(Clock::time_point Start, const fs::path& Delivered, uintmax_t Size,
                       const fs::path& Source, int TimeoutSeconds) {
  const auto Deadline = Start + std::chrono::seconds(TimeoutSeconds);
  std::error_code Ignored;
  while (Clock::now() < Deadline) {
    if (!fs::exists(Source, Ignored) && fs::file_size(Delivered, Ignored) == Size)
      return std::chrono::duration<double>(Clock::now() - Start).count();
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  throw std::runtime_error("the file was not delivered within " + std::to_string(TimeoutSeconds) +
                           " s");
}

double Median(std::vector<double> Values) {
  std::sort(Values.begin(), Values.end());
  return Values[Values.size() / 2];
}

struct AgentRun {
  double Seconds;
  double PeakMiB;
};

AgentRun RunAgent(const fs::path& Program, const fs::path& Work, int Port, const fs::path& Served,
                  const fs::path& Reference) {
  const fs::path App = Work / "app";
  const fs::path Till = Work / "till";
  fs::remove_all(Work);
  fs::create_directories(App);
  fs::create_directories(Till);
  fs::copy_file(Program, App / "quorvel");
  std::ofstream(App / "Quorvel.ini")
      << "[main]\nserver=127.0.0.1\nport=" << Port << "\nuser=" << User << "\npass=" << Password
      << "\nAutoStartThread=1\nkassaPath=" << Till.string() << "/\nScalePath=" << Till.string()
      << "/\n";
  // Without a display the program runs headless.
  ::unsetenv("DISPLAY");
  ::unsetenv("WAYLAND_DISPLAY");
  const auto Start = Clock::now();
  const pid_t Pid = Spawn({(App / "quorvel").string()}, App);
  double Seconds = 0;
  try {
    Seconds =
        WaitForDelivery(Start, Till / Served.filename(), fs::file_size(Reference), Served, 120);
  } catch (...) {
    Stop(Pid);
    throw;
  }
  // The peak of the program's own image (VmHWM), read while it still runs.
  const double PeakMiB = std::stod(StatusField(Pid, "VmHWM")) / 1024.0;
  Stop(Pid);
  Require(SameContent(Till / Served.filename(), Reference), "the agent's copy differs");
  return {Seconds, PeakMiB};
}

double RunLftp(const fs::path& Work, int Port, const fs::path& Served, const fs::path& Reference) {
  const fs::path Till = Work / "lftp-till";
  fs::remove_all(Till);
  fs::create_directories(Till);
  const std::string Script = "set cmd:fail-exit yes; set ftp:ssl-allow no; open -u " +
                             std::string(User) + "," + Password + " -p " + std::to_string(Port) +
                             " 127.0.0.1; mirror --Remove-source-files / " + Till.string() +
                             "; quit";
  const auto Start = Clock::now();
  Require(Run({"lftp", "-c", Script}, Work) == 0, "lftp failed");
  const double Seconds =
      WaitForDelivery(Start, Till / Served.filename(), fs::file_size(Reference), Served, 120);
  Require(SameContent(Till / Served.filename(), Reference), "lftp's copy differs");
  return Seconds;
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path Self = fs::canonical("/proc/self/exe");
  const fs::path Program =
      argc > 1 ? fs::path(argv[1]) : Self.parent_path().parent_path() / "app" / "quorvel";
  const size_t MiB = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 256;
  const int Rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
  if (!fs::exists(Program)) {
    std::fprintf(stderr, "agent_bench: no program at %s\n", Program.c_str());
    return 2;
  }
  char Pattern[] = "/tmp/quorvel-agentbench-XXXXXX";
  if (::mkdtemp(Pattern) == nullptr) return 2;
  const fs::path Work = Pattern;
  int Result = 0;
  try {
    const fs::path Root = Work / "root";
    fs::create_directories(Root);
    const fs::path Served = Root / "prices.bin";
    const fs::path Reference = Work / "reference.bin";
    const size_t Size = MiB << 20;
    WritePseudoRandomFile({Reference}, Size);
    TestServer Server(Root);
    // The served file is written anew before each run, and everything the
    // bench wrote is on the disk before the clock starts.
    const auto Serve = [&] {
      WritePseudoRandomFile({Served}, Size);
      ::sync();
    };

    std::vector<double> AgentSeconds;
    std::vector<double> LftpSeconds;
    double PeakMiB = 0;
    const bool WithLftp = Installed("lftp");
    if (!WithLftp)
      std::printf("lftp is not installed: its figure is skipped (scripts/bootstrap installs it)\n");
    std::printf(
        "one cycle of the headless agent for one %zu MiB price file, test server on "
        "127.0.0.1\n",
        MiB);
    std::printf("%-32s %10s %10s\n", "round", "agent s", "lftp s");
    for (int Round = 1; Round <= Rounds; ++Round) {
      Serve();
      const AgentRun Agent = RunAgent(Program, Work / "agent", Server.Port(), Served, Reference);
      AgentSeconds.push_back(Agent.Seconds);
      PeakMiB = std::max(PeakMiB, Agent.PeakMiB);
      std::printf("%-32d %10.2f", Round, Agent.Seconds);
      if (WithLftp) {
        Serve();
        LftpSeconds.push_back(RunLftp(Work, Server.Port(), Served, Reference));
        std::printf(" %10.2f", LftpSeconds.back());
      }
      std::printf("\n");
    }

    const auto Rate = [Size](double Seconds) { return static_cast<double>(Size) / 1e6 / Seconds; };
    std::printf("%-32s %10s %10s\n", "median", "seconds", "MB/s");
    const double Agent = Median(AgentSeconds);
    std::printf("%-32s %10.2f %10.1f\n", "agent (save, flush, move)", Agent, Rate(Agent));
    if (WithLftp) {
      const double Lftp = Median(LftpSeconds);
      std::printf("%-32s %10.2f %10.1f\n", "lftp mirror --Remove-source-files", Lftp, Rate(Lftp));
      std::printf("agent rate / lftp rate: %.2f\n", Lftp / Agent);
    }
    const auto FileMiB = static_cast<double>(MiB);
    std::printf(
        "agent peak resident memory: %.1f MiB = %.2f x the file (bound: 1.1 x + 30 MiB "
        "= %.1f MiB)\n",
        PeakMiB, PeakMiB / FileMiB, 1.1 * FileMiB + 30);
  } catch (const std::exception& Error) {
    std::fprintf(stderr, "agent_bench: %s\n", Error.what());
    Result = 1;
  }
  std::error_code Ignored;
  fs::remove_all(Work, Ignored);
  return Result;
}
