#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

// The child processes of the benchmarks: servers, the agent, Xvfb.

// Starts Argv[0] (looked up on PATH) in WorkDir with standard input from
// /dev/null. Standard output and standard error each go into a pipe whose
// read end is returned where one is asked for, into /dev/null otherwise.
// Other descriptors are inherited. The process id, -1 when none was made.
pid_t Spawn(const std::vector<std::string>& Argv, const std::filesystem::path& WorkDir,
            int* StdoutFd = nullptr, int* StderrFd = nullptr);

// Runs a program to its end: its exit code, -1 when it did not exit normally.
int Run(const std::vector<std::string>& Argv, const std::filesystem::path& WorkDir = "/");

// SIGTERM, then waits for the process to end.
void Stop(pid_t Pid);

// The first word of a field of /proc/<pid>/status ("VmHWM", "Threads"), "?"
// when the field is missing.
std::string StatusField(pid_t Pid, const std::string& Field);
