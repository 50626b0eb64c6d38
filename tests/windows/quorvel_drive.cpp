// Drives a running quorvel.exe from outside, the way its user does, for the
// tests that run it under Wine:
//
//   quorvel_drive close PROGRAM        chooses "Закрыть программу" in the tray
//                                      menu of the agent run from PROGRAM (a full
//                                      Windows path) and waits for it to end;
//                                      exit code 0 once it ended with code 0
//   quorvel_drive hold-desktop         keeps Wine's desktop process running
//                                      until the session ends; says "ready" on
//                                      standard output once it runs
//
// What went wrong is one line on standard error.

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "platform/wintext.h"
#include "ui/win32/ControlIds.h"
#include "windows/support/AgentWindow.h"

namespace {

// An agent to close runs already.
constexpr DWORD RunningTimeoutMs = 5000;
constexpr DWORD WindowTimeoutMs = 20000;
constexpr DWORD ExitTimeoutMs = 10000;
// Longer than any test run; the end of the session ends the holder first.
constexpr DWORD HoldDesktopMs = 6 * 60 * 60 * 1000;

int Fail(const std::string& What) {
  std::fprintf(stderr, "quorvel_drive: %s\n", What.c_str());
  return 1;
}

// The agent of Program with its window, or nullptr after saying why not.
std::unique_ptr<TAgentWindow> AgentWithWindow(const std::wstring& Program) {
  auto Agent = TAgentWindow::Attach(Program, RunningTimeoutMs);
  if (Agent == nullptr) {
    Fail("no running agent " + Narrow(Program));
    return nullptr;
  }
  if (Agent->Window(WindowTimeoutMs) == nullptr) {
    Fail(Agent->Running() ? "the agent has no window of class " + Narrow(MainWindowClass)
                          : "the agent ended before its window came");
    return nullptr;
  }
  return Agent;
}

int Close(const std::wstring& Program) {
  const auto Agent = AgentWithWindow(Program);
  if (Agent == nullptr) return 1;
  Agent->Command(IdN1Close);
  const std::optional<DWORD> Code = Agent->WaitForExit(ExitTimeoutMs);
  if (!Code) {
    return Fail("the agent did not end within " + std::to_string(ExitTimeoutMs / 1000) +
                " s of \"Закрыть программу\"");
  }
  if (*Code != 0) return Fail("the agent ended with exit code " + std::to_string(*Code));
  return 0;
}

// Wine's desktop process ends a moment after the last program with a
// window, and the next such program starts it anew, handing it its standard
// error, which a test runner then waits on until the desktop ends. Held from
// the test run's start, the desktop is started by this process, whose output
// leads nowhere, and stays until the session's wineserver ends it.
int HoldDesktop() {
  if (::GetDesktopWindow() == nullptr) return Fail("no desktop window");
  std::puts("ready");
  std::fflush(stdout);
  ::Sleep(HoldDesktopMs);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring Action = argc == 3 ? argv[1] : L"";
  if (Action == L"close") return Close(argv[2]);
  if (argc == 2 && std::wstring(argv[1]) == L"hold-desktop") return HoldDesktop();
  std::fputs("usage: quorvel_drive close PROGRAM | hold-desktop\n", stderr);
  return 2;
}
