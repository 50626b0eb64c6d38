#include "support/FaultFtpServer.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/WorkerHarness.h"

namespace {

const char* const ControlFile = "control";
const char* const EventsFile = "events";

}  // namespace

FaultFtpServer::FaultFtpServer() {
  WriteControl();
  TestFtpServer::Options options;
  options.Script = "faultftpserver.py";
  options.ExtraArgs = {"--control", FFiles.Path() + ControlFile, "--events",
                       FFiles.Path() + EventsFile};
  FServer = std::make_unique<TestFtpServer>(options);
}

void FaultFtpServer::Inject(std::vector<FtpFault> Faults) {
  FFaults = std::move(Faults);
  ++FGeneration;
  WriteControl();
}

void FaultFtpServer::HoldFrom(int Number) {
  FHoldFrom = Number;
  WriteControl();
}

void FaultFtpServer::WriteControl() {
  std::string text = "generation " + std::to_string(FGeneration) + "\n";
  if (FHoldFrom > 0) text += "hold-from " + std::to_string(FHoldFrom) + "\n";
  for (const FtpFault& fault : FFaults) {
    text += "fault " + std::to_string(fault.Connection) + " " + fault.Command + " " +
            std::to_string(fault.Occurrence) + " " + fault.Action;
    if (!fault.Argument.empty()) text += " " + fault.Argument;
    text += "\n";
  }
  // The server reads the file at any moment: it must never see half of it.
  const std::string path = FFiles.Path() + ControlFile;
  FFiles.Write(std::string(ControlFile) + ".new", text);
  if (std::rename((path + ".new").c_str(), path.c_str()) != 0)
    throw std::runtime_error("cannot replace " + path);
}

std::vector<FaultFtpServer::TEvent> FaultFtpServer::Events() const {
  std::vector<TEvent> events;
  std::ifstream in(FFiles.Path() + EventsFile, std::ios::binary);
  std::string line;
  // A line still being written has no line end yet; it counts next time.
  while (std::getline(in, line) && !in.eof()) {
    std::istringstream words(line);
    TEvent event;
    words >> event.Kind >> event.Connection;
    words.get();
    std::getline(words, event.Line);
    events.push_back(std::move(event));
  }
  return events;
}

int FaultFtpServer::Connections() const {
  int count = 0;
  for (const TEvent& event : Events())
    if (event.Kind == "connect") ++count;
  return count;
}

std::vector<std::string> FaultFtpServer::Commands(int Number) const {
  std::vector<std::string> lines;
  for (const TEvent& event : Events())
    if (event.Kind == "command" && event.Connection == Number) lines.push_back(event.Line);
  return lines;
}

std::vector<std::string> FaultFtpServer::Fired() const {
  std::vector<std::string> lines;
  for (const TEvent& event : Events())
    if (event.Kind == "fired") lines.push_back(event.Line);
  return lines;
}

bool FaultFtpServer::WaitForConnection(int Number, int Ms) const {
  return WorkerPumpUntil([&] { return Connections() >= Number; }, Ms);
}
