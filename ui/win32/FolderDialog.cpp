#include "ui/win32/FolderDialog.h"

#include <shlobj.h>

#include "platform/wintext.h"

namespace {

// BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE | BIF_NONEWFOLDERBUTTON.
constexpr UINT DialogFlags = 0x241;

int CALLBACK OnDialogEvent(HWND Dialog, UINT Event, LPARAM, LPARAM Data) {
  if (Event != BFFM_INITIALIZED) return 0;
  HMONITOR Monitor = MonitorFromWindow(reinterpret_cast<HWND>(Data), MONITOR_DEFAULTTONEAREST);
  MONITORINFO Info{};
  Info.cbSize = sizeof Info;
  RECT Frame{};
  if (!GetMonitorInfoW(Monitor, &Info) || !GetWindowRect(Dialog, &Frame)) return 0;
  const int Width = Frame.right - Frame.left;
  const int Height = Frame.bottom - Frame.top;
  const RECT& Area = Info.rcMonitor;
  SetWindowPos(Dialog, nullptr, Area.left + (Area.right - Area.left - Width) / 2,
               Area.top + (Area.bottom - Area.top - Height) / 2, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  return 0;
}

// Keeps the system's error boxes (a drive without a disc) away while the
// dialog walks the drives, and restores the mode it found.
class TQuietErrors {
 public:
  TQuietErrors() : FPrevious(SetErrorMode(SEM_FAILCRITICALERRORS)) {}
  ~TQuietErrors() { SetErrorMode(FPrevious); }
  TQuietErrors(const TQuietErrors&) = delete;
  TQuietErrors& operator=(const TQuietErrors&) = delete;

 private:
  UINT FPrevious;
};

}  // namespace

std::optional<std::string> BrowseForFolder(HWND Owner, const std::string& Instruction) {
  const std::wstring Title = Widen(Instruction);
  wchar_t Chosen[MAX_PATH] = L"";
  BROWSEINFOW Browse{};
  Browse.hwndOwner = Owner;
  Browse.pidlRoot = nullptr;
  Browse.pszDisplayName = Chosen;
  Browse.lpszTitle = Title.c_str();
  Browse.ulFlags = DialogFlags;
  Browse.lpfn = &OnDialogEvent;
  Browse.lParam = reinterpret_cast<LPARAM>(Owner);
  const TQuietErrors Quiet;
  PIDLIST_ABSOLUTE Folder = SHBrowseForFolderW(&Browse);
  if (Folder == nullptr) return std::nullopt;
  const bool HasPath = SHGetPathFromIDListW(Folder, Chosen) != FALSE;
  CoTaskMemFree(Folder);
  if (!HasPath) return std::nullopt;
  return Narrow(Chosen);
}
