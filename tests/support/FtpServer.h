#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/TempDir.h"

// How a TestFtpServer is started. Later fault tests extend ExtraArgs with
// further flags of tests/support/ftpserver.py (e.g. "--banner", "--perm",
// "--idle-timeout", "--encoding").
struct TestFtpServerOptions {
  std::string User = "user";
  std::string Password = "pass";
  int Port = 0;  // 0: a free port chosen by the system
  std::vector<std::string> ExtraArgs;
  int StartTimeoutMs = 15000;
  // The server script below tests/support/: faultftpserver.py adds fault
  // switches to the same server.
  std::string Script = "ftpserver.py";
};

// The real FTP server of the tests: pyftpdlib run by /usr/bin/python3 on
// 127.0.0.1, serving its own temporary root with one user that may do
// everything. A backslash in a path is a separator there, as on Windows FTP
// servers, and text travels in code page 1251. The constructor returns once
// the server listens (or throws); the destructor stops it and reaps it.
class TestFtpServer {
 public:
  using Options = TestFtpServerOptions;

  explicit TestFtpServer(Options options = {});
  ~TestFtpServer();
  TestFtpServer(const TestFtpServer&) = delete;
  TestFtpServer& operator=(const TestFtpServer&) = delete;

  int Port() const { return FPort; }
  std::string PortText() const { return std::to_string(FPort); }
  const TempDir& Root() const { return FRoot; }
  const Options& GetOptions() const { return FOptions; }

 private:
  void Stop();

  Options FOptions;
  TempDir FRoot;
  pid_t FPid = -1;
  int FPort = 0;
};
