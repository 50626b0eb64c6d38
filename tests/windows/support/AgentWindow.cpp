#include "windows/support/AgentWindow.h"

#include <tlhelp32.h>

#include <vector>

#include "ui/win32/ControlIds.h"

namespace {

// How long a message sent to the agent's window may take before the test
// goes on without its answer.
constexpr UINT SendTimeoutMs = 5000;
constexpr DWORD PollMs = 20;
// How long a killed agent may take to be gone.
constexpr DWORD KillWaitMs = 5000;

std::wstring FullPath(const std::wstring& Path) {
  const DWORD Size = ::GetFullPathNameW(Path.c_str(), 0, nullptr, nullptr);
  if (Size == 0) return Path;
  std::wstring Full(Size, L'\0');
  const DWORD Length = ::GetFullPathNameW(Path.c_str(), Size, Full.data(), nullptr);
  if (Length == 0 || Length >= Size) return Path;
  Full.resize(Length);
  return Full;
}

bool SameTextIgnoringCase(const std::wstring& A, const std::wstring& B) {
  return ::CompareStringOrdinal(A.c_str(), static_cast<int>(A.size()), B.c_str(),
                                static_cast<int>(B.size()), TRUE) == CSTR_EQUAL;
}

std::wstring FileNameOf(const std::wstring& Path) {
  const size_t Slash = Path.find_last_of(L"\\/");
  return Slash == std::wstring::npos ? Path : Path.substr(Slash + 1);
}

// The folder of a program path, as a working directory ("C:\" for a program
// in a drive's root).
std::wstring FolderOf(const std::wstring& Path) {
  const size_t Slash = Path.find_last_of(L"\\/");
  if (Slash == std::wstring::npos) return L".";
  const std::wstring Folder = Path.substr(0, Slash);
  return Folder.size() == 2 && Folder[1] == L':' ? Folder + L"\\" : Folder;
}

std::wstring ImagePath(HANDLE Process) {
  std::vector<wchar_t> Buffer(32768);
  DWORD Size = static_cast<DWORD>(Buffer.size());
  if (!::QueryFullProcessImageNameW(Process, 0, Buffer.data(), &Size)) return {};
  return std::wstring(Buffer.data(), Size);
}

// A process other than this one whose executable is FullProgram, opened for
// waiting, asking and ending; nullptr when none runs.
HANDLE OpenProgramProcess(const std::wstring& FullProgram, DWORD& ProcessId) {
  const HANDLE Snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (Snapshot == INVALID_HANDLE_VALUE) return nullptr;
  const std::wstring Name = FileNameOf(FullProgram);
  HANDLE Found = nullptr;
  PROCESSENTRY32W Entry{};
  Entry.dwSize = sizeof(Entry);
  for (BOOL More = ::Process32FirstW(Snapshot, &Entry); More && Found == nullptr;
       More = ::Process32NextW(Snapshot, &Entry)) {
    // The snapshot's short name sorts out most processes without opening them.
    if (Entry.th32ProcessID == ::GetCurrentProcessId() ||
        !SameTextIgnoringCase(FileNameOf(Entry.szExeFile), Name)) {
      continue;
    }
    const HANDLE Process =
        ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE | PROCESS_TERMINATE, FALSE,
                      Entry.th32ProcessID);
    if (Process == nullptr) continue;
    if (SameTextIgnoringCase(FullPath(ImagePath(Process)), FullProgram)) {
      Found = Process;
      ProcessId = Entry.th32ProcessID;
    } else {
      ::CloseHandle(Process);
    }
  }
  ::CloseHandle(Snapshot);
  return Found;
}

std::wstring ClassOf(HWND Window) {
  wchar_t Name[256];
  const int Length = ::GetClassNameW(Window, Name, 256);
  return std::wstring(Name, Length > 0 ? Length : 0);
}

struct TWindowSearch {
  DWORD ProcessId;
  const wchar_t* ClassName;
  HWND Except;
  HWND Found;
};

BOOL CALLBACK MatchTopLevel(HWND Window, LPARAM Param) {
  auto& Search = *reinterpret_cast<TWindowSearch*>(Param);
  DWORD Owner = 0;
  ::GetWindowThreadProcessId(Window, &Owner);
  if (Owner != Search.ProcessId || Window == Search.Except || ClassOf(Window) != Search.ClassName) {
    return TRUE;
  }
  Search.Found = Window;
  return FALSE;
}

struct TControlSearch {
  int Id;
  HWND Found;
};

BOOL CALLBACK MatchControl(HWND Window, LPARAM Param) {
  auto& Search = *reinterpret_cast<TControlSearch*>(Param);
  if (::GetDlgCtrlID(Window) != Search.Id) return TRUE;
  Search.Found = Window;
  return FALSE;
}

}  // namespace

TAgentWindow::TAgentWindow(HANDLE Process, DWORD ProcessId, bool Owned)
    : Process(Process), Id(ProcessId), Owned(Owned) {}

TAgentWindow::~TAgentWindow() {
  if (Owned && Running()) {
    ::TerminateProcess(Process, 1);
    ::WaitForSingleObject(Process, KillWaitMs);
  }
  ::CloseHandle(Process);
}

std::unique_ptr<TAgentWindow> TAgentWindow::Start(const std::wstring& Program, int ShowCommand,
                                                  const std::wstring& ErrorFile) {
  SECURITY_ATTRIBUTES Inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  const HANDLE Errors = ::CreateFileW(ErrorFile.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      &Inherited, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (Errors == INVALID_HANDLE_VALUE) return nullptr;
  // Input and output lead nowhere rather than to handles the agent does not
  // own.
  const HANDLE Nothing =
      ::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    &Inherited, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  STARTUPINFOW Startup{};
  Startup.cb = sizeof(Startup);
  Startup.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
  Startup.wShowWindow = static_cast<WORD>(ShowCommand);
  Startup.hStdInput = Nothing == INVALID_HANDLE_VALUE ? nullptr : Nothing;
  Startup.hStdOutput = Startup.hStdInput;
  Startup.hStdError = Errors;
  std::wstring CommandLine = L"\"" + Program + L"\"";
  const std::wstring Folder = FolderOf(Program);
  PROCESS_INFORMATION Started{};
  const BOOL Ok = ::CreateProcessW(Program.c_str(), CommandLine.data(), nullptr, nullptr, TRUE, 0,
                                   nullptr, Folder.c_str(), &Startup, &Started);
  ::CloseHandle(Errors);
  if (Nothing != INVALID_HANDLE_VALUE) ::CloseHandle(Nothing);
  if (!Ok) return nullptr;
  ::CloseHandle(Started.hThread);
  return std::unique_ptr<TAgentWindow>(
      new TAgentWindow(Started.hProcess, Started.dwProcessId, true));
}

std::unique_ptr<TAgentWindow> TAgentWindow::Attach(const std::wstring& Program, DWORD TimeoutMs) {
  const std::wstring FullProgram = FullPath(Program);
  HANDLE Process = nullptr;
  DWORD ProcessId = 0;
  WaitUntil([&] { return (Process = OpenProgramProcess(FullProgram, ProcessId)) != nullptr; },
            TimeoutMs);
  if (Process == nullptr) return nullptr;
  return std::unique_ptr<TAgentWindow>(new TAgentWindow(Process, ProcessId, false));
}

HWND TAgentWindow::Window(DWORD TimeoutMs) {
  if (Main != nullptr && ::IsWindow(Main)) return Main;
  Main = nullptr;
  WaitUntil(
      [&] {
        Main = TopLevelWindow(MainWindowClass, nullptr);
        return Main != nullptr || !Running();
      },
      TimeoutMs);
  return Main;
}

HWND TAgentWindow::TopLevelWindow(const wchar_t* ClassName, HWND Except) const {
  TWindowSearch Search{Id, ClassName, Except, nullptr};
  ::EnumWindows(MatchTopLevel, reinterpret_cast<LPARAM>(&Search));
  return Search.Found;
}

HWND TAgentWindow::Control(int ControlId) const {
  if (Main == nullptr) return nullptr;
  TControlSearch Search{ControlId, nullptr};
  ::EnumChildWindows(Main, MatchControl, reinterpret_cast<LPARAM>(&Search));
  return Search.Found;
}

LRESULT TAgentWindow::SendBounded(HWND Target, UINT Message, WPARAM WParam, LPARAM LParam) {
  DWORD_PTR Result = 0;
  if (Target == nullptr || !::SendMessageTimeoutW(Target, Message, WParam, LParam, SMTO_ABORTIFHUNG,
                                                  SendTimeoutMs, &Result)) {
    return 0;
  }
  return static_cast<LRESULT>(Result);
}

std::wstring TAgentWindow::WindowText(HWND Window) {
  const LRESULT Length = SendBounded(Window, WM_GETTEXTLENGTH, 0, 0);
  if (Length <= 0) return {};
  std::wstring Text(static_cast<size_t>(Length) + 1, L'\0');
  const LRESULT Copied =
      SendBounded(Window, WM_GETTEXT, Text.size(), reinterpret_cast<LPARAM>(Text.data()));
  Text.resize(Copied > 0 ? static_cast<size_t>(Copied) : 0);
  return Text;
}

std::wstring TAgentWindow::Text(int ControlId) const { return WindowText(Control(ControlId)); }

LRESULT TAgentWindow::Send(int ControlId, UINT Message, WPARAM WParam, LPARAM LParam) const {
  return SendBounded(Control(ControlId), Message, WParam, LParam);
}

std::wstring TAgentWindow::Caption() const { return WindowText(Main); }

void TAgentWindow::SetText(int ControlId, const std::wstring& Text) {
  SendBounded(Control(ControlId), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(Text.c_str()));
}

void TAgentWindow::Click(int ControlId) {
  if (const HWND Button = Control(ControlId)) ::PostMessageW(Button, BM_CLICK, 0, 0);
}

bool TAgentWindow::Checked(int ControlId) const {
  return Send(ControlId, BM_GETCHECK) == BST_CHECKED;
}

void TAgentWindow::SysCommand(WPARAM Command) {
  if (Main != nullptr) ::PostMessageW(Main, WM_SYSCOMMAND, Command, 0);
}

void TAgentWindow::TrayMouse(UINT MouseMessage) {
  if (Main != nullptr) ::PostMessageW(Main, WM_TRAYICON, TrayIconId, MouseMessage);
}

void TAgentWindow::Command(int CommandId) {
  if (Main != nullptr) ::PostMessageW(Main, WM_COMMAND, MAKEWPARAM(CommandId, 0), 0);
}

bool TAgentWindow::Visible() const { return Main != nullptr && ::IsWindowVisible(Main); }

bool TAgentWindow::Minimized() const { return Main != nullptr && ::IsIconic(Main); }

bool TAgentWindow::Maximized() const { return Main != nullptr && ::IsZoomed(Main); }

RECT TAgentWindow::WindowRect() const {
  RECT Rect{};
  if (Main != nullptr) ::GetWindowRect(Main, &Rect);
  return Rect;
}

bool TAgentWindow::WaitUntil(const std::function<bool()>& Condition, DWORD TimeoutMs) {
  const ULONGLONG Deadline = ::GetTickCount64() + TimeoutMs;
  for (;;) {
    if (Condition()) return true;
    if (::GetTickCount64() >= Deadline) return false;
    ::Sleep(PollMs);
  }
}

std::optional<DWORD> TAgentWindow::WaitForExit(DWORD TimeoutMs) {
  DWORD Code = 0;
  if (::WaitForSingleObject(Process, TimeoutMs) != WAIT_OBJECT_0 ||
      !::GetExitCodeProcess(Process, &Code)) {
    return std::nullopt;
  }
  return Code;
}

bool TAgentWindow::Running() const { return ::WaitForSingleObject(Process, 0) == WAIT_TIMEOUT; }

HWND TAgentWindow::OtherWindow(const wchar_t* ClassName) const {
  return TopLevelWindow(ClassName, Main);
}
