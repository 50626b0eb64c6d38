#include "support/FtpServer.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Reads the child's stdout until the "PORT <n>" line; 0 when the child ends
// or stays silent until the deadline.
int ReadAnnouncedPort(int fd, Clock::time_point deadline) {
  std::string text;
  for (;;) {
    const size_t end = text.find('\n');
    if (end != std::string::npos) {
      const std::string line = text.substr(0, end);
      if (line.rfind("PORT ", 0) != 0) return 0;
      return std::atoi(line.c_str() + 5);
    }
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, MillisecondsLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return 0;
    char chunk[256];
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return 0;
    text.append(chunk, static_cast<size_t>(got));
  }
}

// Waits for the child to end, at most `ms`; true when it was reaped.
bool ReapWithin(pid_t pid, int ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    const pid_t done = waitpid(pid, nullptr, WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR)) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace

TestFtpServer::TestFtpServer(Options options) : FOptions(std::move(options)) {
  const std::string script = std::string(QUORVEL_TEST_SOURCE_DIR) + "/support/" + FOptions.Script;
  // One option and its value per line.
  // clang-format off
  std::vector<std::string> args = {QUORVEL_PYTHON, script,
                                   "--root", FRoot.Path(),
                                   "--user", FOptions.User,
                                   "--password", FOptions.Password,
                                   "--port", std::to_string(FOptions.Port)};
  // clang-format on
  args.insert(args.end(), FOptions.ExtraArgs.begin(), FOptions.ExtraArgs.end());
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  const int spawned = posix_spawn(&FPid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (spawned != 0) {
    close(out[0]);
    FPid = -1;
    throw std::runtime_error(std::string("cannot start the FTP server: ") + std::strerror(spawned));
  }

  FPort =
      ReadAnnouncedPort(out[0], Clock::now() + std::chrono::milliseconds(FOptions.StartTimeoutMs));
  close(out[0]);
  if (FPort <= 0) {
    Stop();
    throw std::runtime_error("the FTP server did not start listening (port " +
                             std::to_string(FOptions.Port) + ")");
  }
}

TestFtpServer::~TestFtpServer() { Stop(); }

void TestFtpServer::Stop() {
  if (FPid <= 0) return;
  kill(FPid, SIGTERM);
  if (!ReapWithin(FPid, 5000)) {
    kill(FPid, SIGKILL);
    ReapWithin(FPid, 5000);
  }
  FPid = -1;
}
