#include "ui/SyncMainForm.h"

#include <algorithm>
#include <exception>

#include "platform/paths.h"
#include "settings/uSettingsClass.h"

TSyncMainForm::TSyncMainForm(IMainWindow& Window, const TControllerFactory& MakeController)
    : FWindow(Window), FMakeController(MakeController) {}

void TSyncMainForm::FormCreate() {
  Fallowclose = false;
  FController = FMakeController(FWindow);
  Guarded([this] { FController->FormCreate(); });
}

void TSyncMainForm::ShowAtStart(int ShowCommand) {
  if (ShowCommand == SwShowMaximized) {
    FWindow.ShowWindowMaximized();
  } else if (ShowCommand == SwShowMinNoActive) {
    FWindow.ShowWindowMinimized();
  } else if (!FWindow.TrayAvailable()) {
    // Without a notification area the window is the only way in.
    OpenClick();
  }
}

void TSyncMainForm::btnSyncClick() { FController->btnSyncClick(); }

void TSyncMainForm::ExchangeNow() { FController->ExchangeNow(); }

void TSyncMainForm::Button3Click() {
  // One setter per value, each writing the settings file; a refused write
  // stops the save at that step and leaves the page where it is.
  const TSettingsPageValues Page = FWindow.SettingsPageValues();
  Settings->SetFTPServer(Page.Server);
  Settings->SetFTPPort(Page.Port);
  Settings->SetFTPUser(Page.User);
  Settings->SetFTPPass(Page.Pass);
  Settings->SetKassaPath(Page.KassaPath);
  Settings->SetAutoStartThread(Page.AutoStart);
  Settings->SetScalePath(Page.ScalesPath);
  FWindow.SelectPage(StatusPage);
}

void TSyncMainForm::Button4Click() { FWindow.FillSettingsPage(*Settings); }

void TSyncMainForm::SpeedButtonClick(TFolderEdit Edit) {
  const std::optional<std::string> Folder = FWindow.BrowseForFolder(FolderInstruction);
  if (Folder) FWindow.SetFolderEditText(Edit, IncludeTrailingPathDelimiter(*Folder));
}

void TSyncMainForm::TrayIcon1Click() {
  if (FWindow.WindowVisible()) {
    Hide();
  } else {
    OpenClick();
  }
}

void TSyncMainForm::OpenClick() {
  // Normal size first: a window shown minimized or maximized at start-up
  // comes back to its own size, and only then is it placed.
  FWindow.ShowWindowNormal();
  if (!FPlaced) {
    FPlaced = true;
    const TScreenRect Place = CentredPlace(FWindow.WorkArea(), FWindow.FrameRect());
    FWindow.MoveFrame(Place.Left, Place.Top);
  }
  FWindow.BringToFront();
}

void TSyncMainForm::N1Click() {
  Fallowclose = true;
  // The workers are neither stopped nor waited for: the process ends with
  // them.
  FWindow.CloseWindow();
}

bool TSyncMainForm::WMSysCommand(std::uintptr_t Command) {
  if (Command == ScMinimize || (Command == ScClose && !Fallowclose)) {
    Hide();
    return false;
  }
  if (Command == ScClose) FWindow.RemoveTrayIcon();
  return true;
}

void TSyncMainForm::Hide() {
  // Without a notification area a hidden window could never be found
  // again: it stays on the taskbar, minimized.
  if (FWindow.TrayAvailable()) {
    FWindow.HideWindow();
  } else {
    FWindow.ShowWindowMinimized();
  }
}

void TSyncMainForm::Guarded(const std::function<void()>& Handler) {
  try {
    Handler();
  } catch (const std::exception& Error) {
    FWindow.ReportError(Error.what());
  }
}

TScreenRect TSyncMainForm::CentredPlace(const TScreenRect& WorkArea, const TScreenRect& Frame) {
  TScreenRect Place = Frame;
  Place.Left = std::max(WorkArea.Left, WorkArea.Left + (WorkArea.Width - Frame.Width) / 2);
  Place.Top = std::max(WorkArea.Top, WorkArea.Top + (WorkArea.Height - Frame.Height) / 2);
  return Place;
}
