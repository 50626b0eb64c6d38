#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "ui/SyncController.h"
#include "ui/SyncView.h"

// The two entry points of the sync controller that the window calls (once
// when it has been built, and on each press of btnSync), and "Обменяться
// сейчас".
class ISyncControl {
 public:
  virtual ~ISyncControl() = default;
  virtual void FormCreate() = 0;
  virtual void btnSyncClick() = 0;
  virtual void ExchangeNow() = 0;
};

// Makes the controller that drives a window through its view.
using TControllerFactory = std::function<std::unique_ptr<ISyncControl>(ISyncView& View)>;

// The program's controller behind the window.
class TSyncControllerLink final : public ISyncControl {
 public:
  explicit TSyncControllerLink(ISyncView& View) : FController(View) {}
  void FormCreate() override { FController.FormCreate(); }
  void btnSyncClick() override { FController.btnSyncClick(); }
  void ExchangeNow() override { FController.ExchangeNow(); }
  TSyncController& Controller() { return FController; }

 private:
  TSyncController FController;
};

// The settings page's seven controls as the window reads them.
struct TSettingsPageValues {
  std::string Server;      // edtServ
  std::string Port;        // edtPort
  std::string User;        // edtUser
  std::string Pass;        // edtPass
  std::string KassaPath;   // edtKassaPath
  bool AutoStart = false;  // CheckBox1
  std::string ScalesPath;  // edtScalesPath
};

// The two folder edit boxes, each with its "..." button.
enum class TFolderEdit { Kassa, Scales };

enum TPage { StatusPage = 0, SettingsPage = 1 };

struct TScreenRect {
  int Left = 0;
  int Top = 0;
  int Width = 0;
  int Height = 0;
};

// What the window's behaviour needs of a window on top of the sync view:
// its pages' controls, its showing and hiding, its tray icon and its modal
// boxes. Each window toolkit implements it; the decisions stay here.
class IMainWindow : public ISyncView {
 public:
  virtual TSettingsPageValues SettingsPageValues() const = 0;
  virtual void SetFolderEditText(TFolderEdit Edit, const std::string& Text) = 0;
  // The folder dialog, modal to the window: the chosen folder's path, or
  // nothing when the user cancelled.
  virtual std::optional<std::string> BrowseForFolder(const std::string& Instruction) = 0;
  virtual void SelectPage(TPage Page) = 0;

  // Whether the window is marked visible (a minimized window counts).
  virtual bool WindowVisible() const = 0;
  virtual void ShowWindowNormal() = 0;
  virtual void HideWindow() = 0;
  virtual void ShowWindowMaximized() = 0;
  virtual void ShowWindowMinimized() = 0;
  virtual void BringToFront() = 0;
  // The work area of the screen the window is on, the size of its frame,
  // and a move of the frame's top-left corner.
  virtual TScreenRect WorkArea() const = 0;
  virtual TScreenRect FrameRect() const = 0;
  virtual void MoveFrame(int Left, int Top) = 0;

  // Whether the icon is in a notification area; without one the window
  // has to stay reachable on the taskbar.
  virtual bool TrayAvailable() const = 0;
  // Takes the icon out of the notification area; raises an error when the
  // notification area refuses.
  virtual void RemoveTrayIcon() = 0;
  // Closes the window, which ends the program.
  virtual void CloseWindow() = 0;
  // Shows the text of an error that escaped a handler in a message box.
  virtual void ReportError(const std::string& Text) = 0;
};

// The behaviour of the program's one window, the same on every toolkit: what
// each click, menu item and system command does. The window is created
// hidden, shown and hidden by the tray icon, hides instead of minimizing or
// closing, and ends only through the tray menu's "Закрыть программу".
class TSyncMainForm {
 public:
  // The system commands the window tells apart, compared whole.
  static constexpr std::uintptr_t ScMinimize = 0xF020;
  static constexpr std::uintptr_t ScClose = 0xF060;
  // Start-up show commands: a plain start, and the two that show the
  // window; any other leaves it hidden.
  static constexpr int SwShowNormal = 1;
  static constexpr int SwShowMaximized = 3;
  static constexpr int SwShowMinNoActive = 7;
  static inline const std::string FolderInstruction = "Выберите директорию кассы";

  TSyncMainForm(IMainWindow& Window, const TControllerFactory& MakeController);

  // Once, when the window and its tray icon exist: the controller is made
  // and fills both pages; the auto-start may start the workers.
  void FormCreate();
  // Start-up's last step: the show command the program was launched with
  // decides whether the window shows; without a notification area it
  // always does.
  void ShowAtStart(int ShowCommand);

  void btnSyncClick();
  void ExchangeNow();   // "Обменяться сейчас", on the page and in the menu
  void Button3Click();  // "Сохранить"
  void Button4Click();  // "Отменить"
  void SpeedButtonClick(TFolderEdit Edit);  // "..."
  void TrayIcon1Click();
  // "Открыть" of the tray menu, and a later start asking for this window.
  void OpenClick();
  void N1Click();  // "Закрыть программу"
  // WM_SYSCOMMAND before its default handling: true when the default
  // handling is to run. A close request of another kind is met as SC_CLOSE.
  bool WMSysCommand(std::uintptr_t Command);

  // Runs a handler of a click, menu or tray event; an error escaping it is
  // reported in a message box and the program goes on.
  void Guarded(const std::function<void()>& Handler);

  bool allowclose() const { return Fallowclose; }
  ISyncControl& Controller() { return *FController; }

  // Centred in the work area, but never above or left of its corner when the
  // frame is larger than the work area.
  static TScreenRect CentredPlace(const TScreenRect& WorkArea, const TScreenRect& Frame);

 private:
  void Hide();

  IMainWindow& FWindow;
  TControllerFactory FMakeController;
  std::unique_ptr<ISyncControl> FController;
  bool Fallowclose = false;
  bool FPlaced = false;
};
