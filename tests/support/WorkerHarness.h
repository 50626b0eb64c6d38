#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/TempDir.h"
#include "workers/uSync.h"

// Helpers for the tests of the transfer workers, the journals, the
// controller and the headless program.

// A fresh application directory: the process's application directory points
// at it, "reports/checks/" exists below it, and Settings is a new settings
// object read from it (deleted again with this object).
class WorkerAppDir {
 public:
  WorkerAppDir();
  ~WorkerAppDir();
  WorkerAppDir(const WorkerAppDir&) = delete;
  WorkerAppDir& operator=(const WorkerAppDir&) = delete;

  const TempDir& Dir() const { return FDir; }
  const std::string& Path() const { return FDir.Path(); }

 private:
  TempDir FDir;
};

// Points Settings at an FTP server on 127.0.0.1 at Port, user "user" with
// password "pass", and the till and scales folders at the ones given.
void UseLoopbackServer(const std::string& Port, const std::string& TillFolder,
                       const std::string& ScalesFolder);

// Runs main-thread requests (as the event loop would) until Done() holds or
// Ms have passed; returns Done().
bool WorkerPumpUntil(const std::function<bool()>& Done, int Ms = 30000);
// Runs main-thread requests for Ms.
void WorkerPumpFor(int Ms);

// Terminates the workers and runs main-thread requests until each has
// finished; false when one is still running after Ms.
bool WorkerStopAndWait(const std::vector<std::shared_ptr<TFTPLoaderTh>>& Workers, int Ms = 30000);

// Worker events as they reach the main thread: each file-done event adds the
// file name, each cycle-done event adds "<end>".
class WorkerEvents {
 public:
  TGetStrProc FileDone();
  TGetStrProc EndLoad();
  const std::vector<std::string>& Lines() const { return FLines; }
  int EndCount() const;

 private:
  std::vector<std::string> FLines;
};

// Every file below Root as a relative path ("scale/plu.dat"), sorted; folders
// that hold nothing appear with a trailing "/".
std::vector<std::string> WorkerTree(const std::string& Root);

// Another process that keeps Path open until this object goes, for writing
// as the till keeps a receipt open while it writes it, or with other open
// Flags.
class WorkerFileHolder {
 public:
  explicit WorkerFileHolder(const std::string& Path, int Flags = O_WRONLY | O_APPEND);
  ~WorkerFileHolder();
  WorkerFileHolder(const WorkerFileHolder&) = delete;
  WorkerFileHolder& operator=(const WorkerFileHolder&) = delete;

 private:
  pid_t FPid = -1;
};
