#include "support/WorkerHarness.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "platform/files.h"
#include "settings/uSettingsClass.h"
#include "workers/MainThreadDispatch.h"

extern char** environ;

namespace fs = std::filesystem;

WorkerAppDir::WorkerAppDir() {
  InitApplicationDirectory(FDir.Path());
  ForceDirectories(FDir.Path() + "reports/checks/");
  delete Settings;
  Settings = new TQuorvelSettings(FDir.Path());
}

WorkerAppDir::~WorkerAppDir() {
  delete Settings;
  Settings = nullptr;
}

void UseLoopbackServer(const std::string& Port, const std::string& TillFolder,
                       const std::string& ScalesFolder) {
  Settings->SetFTPServer("127.0.0.1");
  Settings->SetFTPPort(Port);
  Settings->SetFTPUser("user");
  Settings->SetFTPPass("pass");
  Settings->SetKassaPath(TillFolder);
  Settings->SetScalePath(ScalesFolder);
}

bool WorkerPumpUntil(const std::function<bool()>& Done, int Ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(Ms);
  for (;;) {
    CheckSynchronize();
    if (Done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

void WorkerPumpFor(int Ms) {
  WorkerPumpUntil([] { return false; }, Ms);
}

bool WorkerStopAndWait(const std::vector<std::shared_ptr<TFTPLoaderTh>>& Workers, int Ms) {
  for (const auto& worker : Workers) {
    if (worker) worker->Terminate();
  }
  return WorkerPumpUntil(
      [&] {
        return std::all_of(Workers.begin(), Workers.end(),
                           [](const auto& w) { return !w || w->Finished(); });
      },
      Ms);
}

TGetStrProc WorkerEvents::FileDone() {
  return [this](const std::string& Name) { FLines.push_back(Name); };
}

TGetStrProc WorkerEvents::EndLoad() {
  // The cycle-done event runs on the worker's thread.
  return [this](const std::string&) { Synchronize([this] { FLines.emplace_back("<end>"); }); };
}

int WorkerEvents::EndCount() const {
  return static_cast<int>(std::count(FLines.begin(), FLines.end(), "<end>"));
}

std::vector<std::string> WorkerTree(const std::string& Root) {
  std::vector<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(Root)) {
    std::string name = fs::relative(entry.path(), Root).string();
    if (entry.is_directory()) {
      if (!fs::is_empty(entry.path())) continue;
      name += "/";
    }
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

WorkerFileHolder::WorkerFileHolder(const std::string& Path, int Flags) {
  // posix_spawn returns once the child runs sleep, so the file is open by
  // then.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 3, Path.c_str(), Flags, 0);
  char sleepPath[] = "/bin/sleep";
  char seconds[] = "120";
  char* argv[] = {sleepPath, seconds, nullptr};
  const int spawned = posix_spawn(&FPid, sleepPath, &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) throw std::runtime_error("cannot start a process that holds " + Path);
}

WorkerFileHolder::~WorkerFileHolder() {
  kill(FPid, SIGKILL);
  waitpid(FPid, nullptr, 0);
}
