#include "support/AgentProcess.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <csignal>
#include <thread>

extern char** environ;

AgentProcess::AgentProcess(const std::string& Program, const std::string& ErrorFile,
                           const std::vector<std::string>& Environment) {
  std::vector<std::string> env = Environment;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    if (entry.rfind("DISPLAY=", 0) != 0 && entry.rfind("WAYLAND_DISPLAY=", 0) != 0)
      env.push_back(entry);
  }
  std::vector<char*> envp;
  envp.reserve(env.size() + 1);
  for (auto& entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string program = Program;
  char* argv[] = {program.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, ErrorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  const int spawned = posix_spawn(&FPid, program.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) FPid = -1;
}

AgentProcess::~AgentProcess() {
  if (FPid > 0) {
    kill(FPid, SIGKILL);
    waitpid(FPid, nullptr, 0);
  }
}

bool AgentProcess::Running() const { return FPid > 0 && waitpid(FPid, nullptr, WNOHANG) == 0; }

int AgentProcess::Stop(int Signal, int Ms) {
  kill(FPid, Signal);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(Ms);
  for (;;) {
    int status = 0;
    if (waitpid(FPid, &status, WNOHANG) == FPid) {
      FPid = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}
