#include "support/BenchProcess.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <fstream>
#include <sstream>

namespace {

// A pipe for an output that is asked for; false when none can be made.
bool PrepareOutput(int* ReadEnd, int (&Pipe)[2]) { return ReadEnd == nullptr || ::pipe(Pipe) == 0; }

void Redirect(int Target, const int (&Pipe)[2], int Null) {
  ::dup2(Pipe[1] >= 0 ? Pipe[1] : Null, Target);
  if (Pipe[0] >= 0) ::close(Pipe[0]);
}

void HandOver(int* ReadEnd, const int (&Pipe)[2]) {
  if (ReadEnd == nullptr) return;
  ::close(Pipe[1]);
  *ReadEnd = Pipe[0];
}

}  // namespace

pid_t Spawn(const std::vector<std::string>& Argv, const std::filesystem::path& WorkDir,
            int* StdoutFd, int* StderrFd) {
  int Out[2] = {-1, -1};
  int Err[2] = {-1, -1};
  if (!PrepareOutput(StdoutFd, Out) || !PrepareOutput(StderrFd, Err)) return -1;
  const pid_t Child = ::fork();
  if (Child == 0) {
    const int Null = ::open("/dev/null", O_RDWR);
    ::dup2(Null, STDIN_FILENO);
    Redirect(STDOUT_FILENO, Out, Null);
    Redirect(STDERR_FILENO, Err, Null);
    if (::chdir(WorkDir.c_str()) != 0) ::_exit(126);
    std::vector<char*> Args;
    Args.reserve(Argv.size() + 1);
    for (const std::string& Arg : Argv) Args.push_back(const_cast<char*>(Arg.c_str()));
    Args.push_back(nullptr);
    ::execvp(Args[0], Args.data());
    ::_exit(127);
  }
  HandOver(StdoutFd, Out);
  HandOver(StderrFd, Err);
  return Child;
}

int Run(const std::vector<std::string>& Argv, const std::filesystem::path& WorkDir) {
  const pid_t Pid = Spawn(Argv, WorkDir);
  if (Pid < 0) return -1;
  int Status = 0;
  while (::waitpid(Pid, &Status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
}

void Stop(pid_t Pid) {
  if (Pid <= 0) return;
  ::kill(Pid, SIGTERM);
  ::waitpid(Pid, nullptr, 0);
}

std::string StatusField(pid_t Pid, const std::string& Field) {
  std::ifstream Status("/proc/" + std::to_string(Pid) + "/status");
  for (std::string Line; std::getline(Status, Line);) {
    if (Line.rfind(Field + ":", 0) == 0) {
      std::istringstream Words(Line.substr(Field.size() + 1));
      std::string Value;
      Words >> Value;
      return Value;
    }
  }
  return "?";
}
