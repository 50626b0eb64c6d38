#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/FtpServer.h"
#include "support/TempDir.h"

// One fault of the server (tests/support/faultftpserver.py): it fires once,
// at the Occurrence-th Command (a command word such as "RETR", or
// "GREETING"), counted from the moment it was injected, on any connection
// or only on the Connection-th since the server started. Occurrence 0
// makes it strike at every such command, and Fired() does not list it.
struct FtpFault {
  std::string Command;
  int Occurrence = 1;
  // "drop", "drop-reply", "reply", "silent" or "reset-data"; see the script.
  std::string Action;
  // The reply text, the silence in milliseconds, or the bytes before the
  // reset.
  std::string Argument;
  int Connection = 0;
};

// The real FTP server of the tests with fault switches that a test flips
// while it runs. It also holds back the greeting of chosen connections, so a
// test can stop a worker at the start of its next cycle, look at the files,
// change the faults and let the cycle go on. Every command, fired fault and
// connection is recorded in order.
class FaultFtpServer {
 public:
  FaultFtpServer();
  FaultFtpServer(const FaultFtpServer&) = delete;
  FaultFtpServer& operator=(const FaultFtpServer&) = delete;

  const TempDir& Root() const { return FServer->Root(); }
  int Port() const { return FServer->Port(); }
  std::string PortText() const { return FServer->PortText(); }

  // Replaces the faults in force and restarts the counting.
  void Inject(std::vector<FtpFault> Faults);
  void ClearFaults() { Inject({}); }
  // Connections from the Number-th on wait for their greeting; 0 greets
  // every connection.
  void HoldFrom(int Number);

  // Connections accepted so far.
  int Connections() const;
  // The command lines received on the Number-th connection.
  std::vector<std::string> Commands(int Number) const;
  // The command lines at which faults fired, "GREETING" for the greeting.
  std::vector<std::string> Fired() const;
  // Runs main-thread requests until the Number-th connection has been
  // accepted; false after Ms.
  bool WaitForConnection(int Number, int Ms = 30000) const;

 private:
  struct TEvent {
    std::string Kind;  // connect, command, fired, close
    int Connection = 0;
    std::string Line;
  };
  std::vector<TEvent> Events() const;
  void WriteControl();

  TempDir FFiles;
  std::unique_ptr<TestFtpServer> FServer;
  int FGeneration = 0;
  int FHoldFrom = 0;
  std::vector<FtpFault> FFaults;
};
