// Runs the real program from a scratch application folder, with auto-start on
// and the server on a closed loopback port (so the workers start, fail to log
// in and go into their pause), and prints: the time from launch to the first
// balloon text, the resident memory, and the CPU time used while idle.
//
// Usage: startup_bench [program] [idle seconds]
//   program       the quorvel executable (default: app/quorvel of this build)
//   idle seconds  how long to watch the idle program (default 60)
// The window program needs a display: without DISPLAY the benchmark starts
// its own Xvfb when one is installed, else it measures the headless program.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/BenchProcess.h"
#include "support/LoopbackPorts.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// Reads standard error of the program until a line holds one of the balloon
// texts; false after TimeoutMs or at end of output.
bool WaitForBalloon(int Fd, int TimeoutMs, std::string& Line) {
  const auto Deadline = Clock::now() + std::chrono::milliseconds(TimeoutMs);
  std::string Buffer;
  while (Clock::now() < Deadline) {
    pollfd Poll{Fd, POLLIN, 0};
    const auto Left =
        std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - Clock::now()).count();
    if (::poll(&Poll, 1, static_cast<int>(Left)) <= 0) continue;
    char Chunk[512];
    const ssize_t Got = ::read(Fd, Chunk, sizeof Chunk);
    if (Got <= 0) return false;
    Buffer.append(Chunk, static_cast<size_t>(Got));
    for (size_t End; (End = Buffer.find('\n')) != std::string::npos; Buffer.erase(0, End + 1)) {
      Line = Buffer.substr(0, End);
      if (Line == "Синхронизация работает" || Line == "Программа запущена") return true;
    }
  }
  return false;
}

// User plus system CPU time of the process, in clock ticks.
long CpuTicks(pid_t Pid) {
  std::ifstream Stat("/proc/" + std::to_string(Pid) + "/stat");
  std::string Text((std::istreambuf_iterator<char>(Stat)), std::istreambuf_iterator<char>());
  // Fields after the command name, which ends with the last ')'.
  std::istringstream Fields(Text.substr(Text.rfind(')') + 2));
  std::string Skip;
  for (int i = 3; i < 14; ++i) Fields >> Skip;
  long User = 0, System = 0;
  Fields >> User >> System;
  return User + System;
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path Self = fs::canonical("/proc/self/exe");
  const fs::path Program =
      argc > 1 ? fs::path(argv[1]) : Self.parent_path().parent_path() / "app" / "quorvel";
  const int IdleSeconds = argc > 2 ? std::atoi(argv[2]) : 60;
  if (!fs::exists(Program)) {
    std::fprintf(stderr, "startup_bench: no program at %s\n", Program.c_str());
    return 2;
  }

  const int Port = RefusingLoopbackPort();
  if (Port < 0) {
    std::fprintf(stderr, "startup_bench: no loopback port\n");
    return 2;
  }
  // The program takes its settings from beside its executable.
  char Pattern[] = "/tmp/quorvel-bench-XXXXXX";
  const fs::path AppDir = ::mkdtemp(Pattern);
  fs::copy_file(Program, AppDir / "quorvel");
  std::ofstream(AppDir / "Quorvel.ini")
      << "[main]\nserver=127.0.0.1\nport=" << Port
      << "\nAutoStartThread=1\nkassaPath=" << AppDir.string() << "/\n";

  pid_t Xvfb = -1;
  std::string Mode = "headless";
  if (std::getenv("DISPLAY") != nullptr) {
    Mode = "window";
  } else if (fs::exists("/usr/bin/Xvfb")) {
    // Xvfb picks a free display and writes its number into the pipe.
    int Pipe[2];
    if (::pipe(Pipe) != 0) return 2;
    Xvfb = Spawn({"Xvfb", "-displayfd", std::to_string(Pipe[1]), "-screen", "0", "1024x768x24",
                  "-nolisten", "tcp"},
                 AppDir);
    ::close(Pipe[1]);
    pollfd Poll{Pipe[0], POLLIN, 0};
    char Number[16] = {};
    if (::poll(&Poll, 1, 10000) <= 0 || ::read(Pipe[0], Number, sizeof Number - 1) <= 0) {
      std::fprintf(stderr, "startup_bench: Xvfb did not start\n");
      Stop(Xvfb);
      return 2;
    }
    ::close(Pipe[0]);
    ::setenv("DISPLAY", (":" + std::to_string(std::atoi(Number))).c_str(), 1);
    Mode = "window under Xvfb";
  }
  ::unsetenv("WAYLAND_DISPLAY");

  int Stderr = -1;
  const auto Launched = Clock::now();
  const pid_t Pid = Spawn({(AppDir / "quorvel").string()}, AppDir, nullptr, &Stderr);
  std::string Balloon;
  if (!WaitForBalloon(Stderr, 20000, Balloon)) {
    std::fprintf(stderr, "startup_bench: no balloon within 20 s\n");
    Stop(Pid);
    Stop(Xvfb);
    fs::remove_all(AppDir);
    return 1;
  }
  const double StartupMs =
      std::chrono::duration<double, std::milli>(Clock::now() - Launched).count();
  // Draining standard error keeps the program from ever blocking on it.
  std::thread([Stderr] {
    char Sink[512];
    while (::read(Stderr, Sink, sizeof Sink) > 0) {
    }
  }).detach();

  std::printf("mode: %s\n", Mode.c_str());
  std::printf("first balloon: \"%s\"\n", Balloon.c_str());
  std::printf("start-up to first balloon: %.1f ms\n", StartupMs);
  // Let start-up settle before the idle window opens.
  std::this_thread::sleep_for(std::chrono::seconds(2));
  std::printf("resident memory after start-up: %s kB\n", StatusField(Pid, "VmRSS").c_str());
  const long TicksBefore = CpuTicks(Pid);
  std::this_thread::sleep_for(std::chrono::seconds(IdleSeconds));
  const long TicksAfter = CpuTicks(Pid);
  const auto Ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
  const double CpuSeconds = static_cast<double>(TicksAfter - TicksBefore) / Ticks;
  std::printf("idle CPU over %d s: %.2f s (%.3f %%)\n", IdleSeconds, CpuSeconds,
              100.0 * CpuSeconds / IdleSeconds);
  std::printf("resident memory after idle: %s kB (peak %s kB)\n", StatusField(Pid, "VmRSS").c_str(),
              StatusField(Pid, "VmHWM").c_str());
  std::printf("threads: %s\n", StatusField(Pid, "Threads").c_str());

  Stop(Pid);
  Stop(Xvfb);
  fs::remove_all(AppDir);
  return 0;
}
