#include "support/FaultStage.h"

#include <filesystem>

namespace fs = std::filesystem;

FaultStage::FaultStage(const FaultFtpServer& Server)
    : server(Server.Root().Path()), scene(server, app.Path(), till.Path(), scales.Path()) {
  UseLoopbackServer(Server.PortText(), till.Path(), scales.Path());
}

void FaultStage::Arrange() {
  for (const std::string& folder : {server, till.Path(), scales.Path(), app.Path()})
    for (const auto& entry : fs::directory_iterator(folder))
      if (entry.path().filename() != "Quorvel.ini") fs::remove_all(entry.path());
  scene.Arrange();
  FReportedBefore = events.Lines().size();
}

std::vector<std::string> FaultStage::Reported() const {
  return {events.Lines().begin() + static_cast<std::ptrdiff_t>(FReportedBefore),
          events.Lines().end()};
}

bool FaultRunOneCycle(const FaultFtpServer& Server,
                      const std::function<std::shared_ptr<TFTPLoaderTh>()>& Create, int Ms) {
  const int connection = Server.Connections() + 1;
  const std::shared_ptr<TFTPLoaderTh> worker = Create();
  // Stopped once its cycle has begun, the worker finishes that cycle only.
  const bool begun = Server.WaitForConnection(connection, Ms);
  worker->Terminate();
  return WorkerPumpUntil([&] { return worker->Finished(); }, Ms) && begun;
}
