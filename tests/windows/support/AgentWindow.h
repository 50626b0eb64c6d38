#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

// quorvel.exe started by a test or already running, and its main window,
// driven by window messages the way a user's clicks arrive. Every wait is
// bounded; a message that would block a test on a busy window gives up after
// a short time instead.
class TAgentWindow {
 public:
  // Starts Program (full Windows path) in its own folder as working directory
  // with the show command ShowCommand (SW_…); its standard error goes to the
  // file ErrorFile, created anew. nullptr when it could not be started.
  static std::unique_ptr<TAgentWindow> Start(const std::wstring& Program, int ShowCommand,
                                             const std::wstring& ErrorFile);
  // The running agent whose executable is Program (full paths compared
  // without regard to case); nullptr when none runs within TimeoutMs.
  static std::unique_ptr<TAgentWindow> Attach(const std::wstring& Program, DWORD TimeoutMs);

  TAgentWindow(const TAgentWindow&) = delete;
  TAgentWindow& operator=(const TAgentWindow&) = delete;
  // Kills the process if this object started it and it still runs; an
  // attached agent is left as it is.
  ~TAgentWindow();

  // Waits for the process's top-level window of the main window class;
  // nullptr when none came within TimeoutMs or the process ended.
  HWND Window(DWORD TimeoutMs = 20000);
  // The main window's descendant with the control identifier Id, or nullptr.
  HWND Control(int Id) const;
  std::wstring Text(int Id) const;
  // A message sent to the control Id and its answer, 0 when none came in time.
  LRESULT Send(int Id, UINT Message, WPARAM WParam = 0, LPARAM LParam = 0) const;
  std::wstring Caption() const;
  void SetText(int Id, const std::wstring& Text);
  // Posted, so a click that opens a modal box does not hold the test up.
  void Click(int Id);
  bool Checked(int Id) const;
  void SysCommand(WPARAM Command);
  // A mouse message (WM_LBUTTONUP, WM_RBUTTONUP, …) on the tray icon.
  void TrayMouse(UINT MouseMessage);
  // A menu command, as the tray menu sends it.
  void Command(int Id);
  bool Visible() const;
  bool Minimized() const;
  bool Maximized() const;
  RECT WindowRect() const;

  // Polls Condition every 20 ms until it is true or TimeoutMs passed; its
  // last value.
  static bool WaitUntil(const std::function<bool()>& Condition, DWORD TimeoutMs);
  // The process's exit code once it ended within TimeoutMs, else nothing.
  std::optional<DWORD> WaitForExit(DWORD TimeoutMs);
  bool Running() const;
  // A top-level window of this process other than the main one, of the class
  // ClassName (L"#32770" for a message box), or nullptr.
  HWND OtherWindow(const wchar_t* ClassName) const;

 private:
  TAgentWindow(HANDLE Process, DWORD ProcessId, bool Owned);
  // The process's top-level window of class ClassName other than Except.
  HWND TopLevelWindow(const wchar_t* ClassName, HWND Except) const;
  // A message sent to Target and answered within the bound, or 0.
  static LRESULT SendBounded(HWND Target, UINT Message, WPARAM WParam, LPARAM LParam);
  static std::wstring WindowText(HWND Window);

  HANDLE Process;
  DWORD Id;
  // Whether this object started the process, and so ends it.
  bool Owned;
  HWND Main = nullptr;
};
