#pragma once

#include <windows.h>

// The Win32 window's class name, its controls' identifiers and its private
// messages. Identifiers are unique in the whole window, pages included, so a
// second program can find every control by its identifier.
inline constexpr wchar_t MainWindowClass[] = L"TfrmSyncMain";
// The window's caption, the tooltip's first line and the balloons' title.
inline constexpr wchar_t MainWindowCaption[] = L"Обмен данными с кассой";

enum TControlId : int {
  IdTabStrip = 100,
  IdStatusPage = 101,
  IdSettingsPage = 102,

  IdlbStatus = 110,
  IdlbTimePrice = 111,
  IdlbTimeCh = 112,
  IdlbTimeScale = 113,
  IdlbErrorPrice = 114,
  IdlbErrorCh = 115,
  IdlbErrorScale = 116,
  IdbtnExchange = 120,
  IdbtnSync = 121,
  // Only where no notification area exists: the way out.
  IdbtnClose = 122,

  IdedtServ = 130,
  IdedtPort = 131,
  IdedtUser = 132,
  IdedtPass = 133,
  IdedtKassaPath = 134,
  IdedtScalesPath = 135,
  IdSpeedButton1 = 140,
  IdSpeedButton2 = 141,
  IdCheckBox1 = 142,
  IdButton3 = 143,
  IdButton4 = 144,

  // The tray menu's items, sent to the window as WM_COMMAND.
  IdN2Open = 200,
  IdN3Exchange = 201,
  IdN1Close = 202,
};

// The tray icon's callback message (lParam: the mouse message) and the
// icon's identifier.
inline constexpr UINT WM_TRAYICON = WM_APP + 1;
inline constexpr UINT TrayIconId = 1;

// Posted by a worker thread that queued a request for the main thread.
inline constexpr UINT WM_SYNCHRONIZE = WM_APP + 2;
// Posted when a later start in the program's folder asks for the window.
inline constexpr UINT WM_SHOWREQUEST = WM_APP + 3;
