#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/FaultFtpServer.h"
#include "support/FaultScene.h"
#include "support/TempDir.h"
#include "support/WorkerHarness.h"
#include "workers/uSync.h"

// Where workers of a fault test run: a fresh application directory, till and
// scales folder, with the settings pointing at them and at the server, and
// the scene of FaultScene on both sides.
class FaultStage {
 public:
  explicit FaultStage(const FaultFtpServer& Server);

  // The scene's files afresh, and nothing else but the settings file.
  void Arrange();
  // The files reported since the latest Arrange.
  std::vector<std::string> Reported() const;

  // A new worker of the kind whose events this stage keeps.
  template <class TWorker>
  std::shared_ptr<TFTPLoaderTh> Create() {
    return TWorker::Create(events.FileDone(), events.EndLoad());
  }

  WorkerAppDir app;
  TempDir till;
  TempDir scales;
  std::string server;
  FaultScene scene;
  WorkerEvents events;

 private:
  size_t FReportedBefore = 0;
};

// Starts a worker, lets it run one cycle against Server and waits until it
// has ended; false when the cycle did not begin or the worker did not end
// within Ms each.
bool FaultRunOneCycle(const FaultFtpServer& Server,
                      const std::function<std::shared_ptr<TFTPLoaderTh>()>& Create, int Ms = 30000);
