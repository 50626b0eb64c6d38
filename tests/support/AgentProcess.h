#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// A copy of the agent run as a child process without a display (DISPLAY and
// WAYLAND_DISPLAY removed), standard input from /dev/null and standard error
// into ErrorFile, with Environment ("NAME=value") added to this process's.
// Killed and reaped when the object goes, if still running.
class AgentProcess {
 public:
  AgentProcess(const std::string& Program, const std::string& ErrorFile,
               const std::vector<std::string>& Environment);
  ~AgentProcess();
  AgentProcess(const AgentProcess&) = delete;
  AgentProcess& operator=(const AgentProcess&) = delete;

  bool Started() const { return FPid > 0; }
  bool Running() const;

  // Sends the signal and waits at most Ms for the end; the exit status
  // (128 + the signal for a kill), or -1 when the agent did not end in time.
  int Stop(int Signal, int Ms);

 private:
  pid_t FPid = -1;
};
