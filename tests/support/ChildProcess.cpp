#include "support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <stdexcept>
#include <string_view>

extern char** environ;

namespace {

std::vector<char*> Pointers(std::vector<std::string>& Texts) {
  std::vector<char*> Result;
  Result.reserve(Texts.size() + 1);
  for (std::string& Text : Texts) Result.push_back(Text.data());
  Result.push_back(nullptr);
  return Result;
}

}  // namespace

ChildResult RunChild(const std::vector<std::string>& Command,
                     const std::vector<std::string>& Environment, int TimeoutSeconds,
                     const std::string& TerminateOnOutput) {
  return RunChildUntil(Command, Environment, TimeoutSeconds, [&](const std::string& Output) {
    return !TerminateOnOutput.empty() && Output.find(TerminateOnOutput) != std::string::npos;
  });
}

ChildResult RunChildUntil(const std::vector<std::string>& Command,
                          const std::vector<std::string>& Environment, int TimeoutSeconds,
                          const std::function<bool(const std::string& Output)>& Done) {
  std::vector<std::string> Arguments = Command;
  std::vector<std::string> Variables;
  // A variable given replaces the inherited one: the first of two entries
  // of a name is the one a program reads.
  const auto Given = [&Environment](std::string_view Entry) {
    const std::string_view Name = Entry.substr(0, Entry.find('=') + 1);
    return std::any_of(Environment.begin(), Environment.end(),
                       [Name](std::string_view Other) { return Other.starts_with(Name); });
  };
  for (char** Entry = environ; *Entry != nullptr; ++Entry) {
    if (!Given(*Entry)) Variables.emplace_back(*Entry);
  }
  Variables.insert(Variables.end(), Environment.begin(), Environment.end());

  std::array<int, 2> Pipe{};
  if (::pipe2(Pipe.data(), O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  posix_spawn_file_actions_t Actions;
  posix_spawn_file_actions_init(&Actions);
  posix_spawn_file_actions_adddup2(&Actions, Pipe[1], 1);
  posix_spawn_file_actions_adddup2(&Actions, Pipe[1], 2);
  pid_t Child = 0;
  const std::vector<char*> Argv = Pointers(Arguments);
  const std::vector<char*> Envp = Pointers(Variables);
  const int Spawned = posix_spawn(&Child, Argv[0], &Actions, nullptr, Argv.data(), Envp.data());
  posix_spawn_file_actions_destroy(&Actions);
  ::close(Pipe[1]);
  if (Spawned != 0) {
    ::close(Pipe[0]);
    throw std::runtime_error("cannot start " + Command.front());
  }

  ChildResult Result;
  bool Terminated = false;
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(TimeoutSeconds);
  for (;;) {
    const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
        Deadline - std::chrono::steady_clock::now());
    if (Left.count() <= 0) {
      ::kill(Child, SIGKILL);
      break;
    }
    pollfd Wait{Pipe[0], POLLIN, 0};
    const int Ready = ::poll(&Wait, 1, static_cast<int>(std::min<long long>(Left.count(), 50)));
    if (Ready < 0 && errno != EINTR) {
      ::kill(Child, SIGKILL);
      break;
    }
    if (Ready > 0) {
      std::array<char, 4096> Chunk{};
      const ssize_t Count = ::read(Pipe[0], Chunk.data(), Chunk.size());
      if (Count <= 0) break;
      Result.Output.append(Chunk.data(), static_cast<size_t>(Count));
    }
    if (!Terminated && Done(Result.Output)) {
      ::kill(Child, SIGTERM);
      Terminated = true;
    }
  }
  ::close(Pipe[0]);
  // The output may end before the process does.
  int Status = 0;
  while (::waitpid(Child, &Status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= Deadline) ::kill(Child, SIGKILL);
    ::usleep(10000);
  }
  if (WIFEXITED(Status)) Result.ExitCode = WEXITSTATUS(Status);
  return Result;
}

ChildResult RunChildAsNobody(const std::vector<std::string>& Command,
                             const std::vector<std::string>& Environment, int TimeoutSeconds,
                             const std::string& TerminateOnOutput) {
  std::vector<std::string> Wrapped = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                      "--clear-groups"};
  Wrapped.insert(Wrapped.end(), Command.begin(), Command.end());
  return RunChild(Wrapped, Environment, TimeoutSeconds, TerminateOnOutput);
}

std::string SelfExecutable() {
  std::array<char, PATH_MAX> Path{};
  const ssize_t Length = ::readlink("/proc/self/exe", Path.data(), Path.size() - 1);
  if (Length <= 0) throw std::runtime_error("cannot read /proc/self/exe");
  return {Path.data(), static_cast<size_t>(Length)};
}
