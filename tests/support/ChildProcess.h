#pragma once

#include <functional>
#include <string>
#include <vector>

struct ChildResult {
  int ExitCode = -1;   // -1 when it did not end by itself in time
  std::string Output;  // standard output and error together
};

// Runs Command (a path and its arguments) with Environment ("NAME=value")
// added to this process's, each replacing an inherited one of its name, waits at most
// TimeoutSeconds and kills it then. When TerminateOnOutput is given, the child is sent SIGTERM as
// soon as its output holds that text (for programs that run until they are stopped).
ChildResult RunChild(const std::vector<std::string>& Command,
                     const std::vector<std::string>& Environment = {}, int TimeoutSeconds = 60,
                     const std::string& TerminateOnOutput = "");

// The same, but the child is sent SIGTERM as soon as Done holds; Done is
// asked with the output so far whenever output arrives and at least every
// 50 ms (for conditions outside the child, such as a file on a server).
ChildResult RunChildUntil(const std::vector<std::string>& Command,
                          const std::vector<std::string>& Environment, int TimeoutSeconds,
                          const std::function<bool(const std::string& Output)>& Done);

// The same as the unprivileged user "nobody" (uid and gid 65534, no groups):
// tests run as root, whom permission bits do not stop.
ChildResult RunChildAsNobody(const std::vector<std::string>& Command,
                             const std::vector<std::string>& Environment = {},
                             int TimeoutSeconds = 60, const std::string& TerminateOnOutput = "");

// The path of the running test executable.
std::string SelfExecutable();
