#pragma once

#include <windows.h>

#include <memory>
#include <vector>

#include "ui/SyncMainForm.h"
#include "ui/win32/TrayIcon.h"

// The program's one window in Win32: a status page and a settings page under
// a tab strip, reached through the tray icon. What its clicks and commands
// do is decided by TSyncMainForm; this class draws and forwards.
class TfrmSyncMain final : public IMainWindow {
 public:
  static constexpr int ClientWidth = 615;
  static constexpr int ClientHeight = 275;

  // Registers the window classes of the window and its pages.
  static void Register(HINSTANCE Instance);

  // Creates the window, hidden, with both pages, and puts the icon into the
  // notification area. Raises EQuorvelError when the system gives no
  // window.
  explicit TfrmSyncMain(const TControllerFactory& MakeController);
  ~TfrmSyncMain() override;
  TfrmSyncMain(const TfrmSyncMain&) = delete;
  TfrmSyncMain& operator=(const TfrmSyncMain&) = delete;

  HWND Handle() const { return FWindow; }

  // Start-up, in this order: the controller fills both pages and may start
  // the workers; the window's button leaves the taskbar (raises when the
  // taskbar-list object fails); the show command decides whether the window
  // shows.
  void FormCreate() { FForm.FormCreate(); }
  void CreateWnd();
  void ShowAtStart(int ShowCommand) { FForm.ShowAtStart(ShowCommand); }

  // Keyboard navigation of the message loop: Tab between controls,
  // Ctrl+Tab between pages. True when Message was handled.
  bool PreTranslate(MSG& Message);

  // ISyncView
  void SetStatusText(const std::string& Text) override;
  void SetTimePriceText(const std::string& Text) override;
  void SetTimeChText(const std::string& Text) override;
  void SetTimeScaleText(const std::string& Text) override;
  void SetSyncButtonCaption(const std::string& Caption) override;
  int SyncButtonTag() const override { return FSyncButtonTag; }
  void SetSyncButtonTag(int Tag) override { FSyncButtonTag = Tag; }
  void ShowBalloon(const std::string& Text) override { FTray->ShowBalloon(Text); }
  void FillSettingsPage(const TQuorvelSettings& Source) override;
  void SetErrorPriceText(const std::string& Text) override;
  void SetErrorChText(const std::string& Text) override;
  void SetErrorScaleText(const std::string& Text) override;
  void SetTrayState(const std::string& Tooltip, bool Failed) override;
  // The window's log is standard error, as for its balloons.
  void LogOutcome(const std::string& Line) override;

  // IMainWindow
  TSettingsPageValues SettingsPageValues() const override;
  void SetFolderEditText(TFolderEdit Edit, const std::string& Text) override;
  std::optional<std::string> BrowseForFolder(const std::string& Instruction) override;
  void SelectPage(TPage Page) override;
  bool WindowVisible() const override { return IsWindowVisible(FWindow) != FALSE; }
  void ShowWindowNormal() override;
  void HideWindow() override { ShowWindow(FWindow, SW_HIDE); }
  void ShowWindowMaximized() override { ShowWindow(FWindow, SW_SHOWMAXIMIZED); }
  void ShowWindowMinimized() override { ShowWindow(FWindow, SW_SHOWMINNOACTIVE); }
  void BringToFront() override { SwitchToThisWindow(FWindow, TRUE); }
  TScreenRect WorkArea() const override;
  TScreenRect FrameRect() const override;
  void MoveFrame(int Left, int Top) override;
  bool TrayAvailable() const override { return FTrayAvailable; }
  void RemoveTrayIcon() override { FTray->Remove(); }
  void CloseWindow() override { DestroyWindow(FWindow); }
  void ReportError(const std::string& Text) override;

 private:
  // A control that keeps its distance to the right and bottom edges of its
  // page where it is anchored there.
  struct TAnchored {
    HWND Control;
    bool Right;
    bool Bottom;
    int RightGap;
    int BottomGap;
  };
  struct TControlPlace {
    int Left, Top, Width, Height;
  };

  static LRESULT CALLBACK WindowProc(HWND Window, UINT Message, WPARAM WParam, LPARAM LParam);
  static LRESULT CALLBACK PageProc(HWND Page, UINT Message, WPARAM WParam, LPARAM LParam);
  LRESULT HandleMessage(UINT Message, WPARAM WParam, LPARAM LParam);
  void OnCommand(int Id);
  void OnTrayMouse(UINT MouseMessage);
  void ShowTrayMenu();
  void ShowPage(int Page);
  void LayOut();
  void LayOutPage(HWND Page);

  HWND AddPage();
  // A child control of Page at its place at 96 dpi, in the window's font.
  HWND AddControl(HWND Page, const wchar_t* Class, const wchar_t* Text, DWORD Style, int Id,
                  TControlPlace Place);
  HWND AddLabel(HWND Page, const wchar_t* Text, int Id, TControlPlace Place);
  HWND AddButton(HWND Page, const wchar_t* Caption, int Id, TControlPlace Place, bool Right);
  void Anchor(HWND Control, bool Right, bool Bottom);
  void BuildStatusPage();
  void BuildSettingsPage();
  std::string ControlText(HWND Control) const;
  void SetControlText(HWND Page, int Id, const std::string& Text);

  HWND FWindow = nullptr;
  HFONT FFont = nullptr;
  HICON FIcon = nullptr;
  HICON FSmallIcon = nullptr;
  UINT FTaskbarCreated = 0;
  HWND FTabStrip = nullptr;
  HWND FStatusPage = nullptr;
  HWND FSettingsPage = nullptr;
  std::vector<TAnchored> FAnchored;
  std::unique_ptr<TTrayIcon> FTray;
  bool FTrayAvailable = false;
  // A left press over the tray icon whose release is a click.
  bool FTrayPressed = false;
  // A close that the system command let through.
  bool FCloseApproved = false;
  int FSyncButtonTag = 0;
  TSyncMainForm FForm;
};
