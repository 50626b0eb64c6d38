#pragma once

#include <windows.h>

#include <string>

// The window's icon in the notification area (TrayIcon1): its tooltip, its
// balloons and its two looks, plain and "the last cycle of some kind
// failed". Mouse messages over the icon reach the owner window as
// WM_TRAYICON.
class TTrayIcon {
 public:
  static constexpr UINT BalloonMilliseconds = 10000;

  TTrayIcon(HWND Owner, HICON PlainIcon);
  ~TTrayIcon();
  TTrayIcon(const TTrayIcon&) = delete;
  TTrayIcon& operator=(const TTrayIcon&) = delete;

  // Puts the icon into the notification area; false when the shell refused
  // (no notification area).
  bool Show();
  // Takes the icon out; raises EQuorvelError "Cannot remove shell
  // notification icon" when the shell refuses.
  void Remove();
  // A taskbar came (back): the icon goes in again, the shell having
  // forgotten it; whether it took it.
  bool Restore();

  // Information balloon with the fixed title; the text is also a line on
  // standard error, the one place it can be read where no balloons show.
  void ShowBalloon(const std::string& Text);
  void SetState(const std::string& Tooltip, bool Failed);

 private:
  NOTIFYICONDATAW Data(UINT Flags) const;

  HWND FOwner;
  HICON FPlainIcon;
  HICON FFailureIcon;
  std::wstring FTooltip;
  bool FShown = false;
  bool FShowsFailure = false;
};
