#pragma once

#include <QWidget>
#include <functional>
#include <memory>

#include "ui/SyncMainForm.h"
#include "ui/qt/FolderDialog.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QStackedWidget;
class QToolButton;
class TTabStrip;
class TTrayIntegration;

// Shows the text of an error that escaped a handler; the program goes on.
using TErrorReport = std::function<void(QWidget* Owner, const QString& Text)>;

// The program's one window in Qt: a status page and a settings page under a
// tab strip, reached through the tray icon. What its clicks and commands do
// is decided by TSyncMainForm; this class draws and forwards.
class TfrmSyncMain : public QWidget, public IMainWindow {
  Q_OBJECT

 public:
  static constexpr int ClientWidth = 615;
  static constexpr int ClientHeight = 275;

  // Builds both pages, puts the icon into the notification area (when
  // TrayAvailable), then makes the controller and runs its FormCreate. The
  // window itself stays hidden; see ShowAtStart.
  TfrmSyncMain(bool TrayAvailable, const TControllerFactory& MakeController);
  ~TfrmSyncMain() override;

  // Start-up's last step: without a notification area the window is the
  // only way in, so it shows; with one it stays hidden.
  void ShowAtStart();
  // Shows the window and brings it to the front, as a tray click does.
  void ShowWindow();

  // Seams for the two modal dialogs; tests answer them in place of a person.
  void SetFolderChooser(TFolderChooser Chooser) { FFolderChooser = std::move(Chooser); }
  void SetErrorReport(TErrorReport Report) { FErrorReport = std::move(Report); }

  bool AllowClose() const { return FForm.allowclose(); }
  int CurrentPage() const;
  void SelectPage(TPage Page);

  // ISyncView
  void SetStatusText(const std::string& Text) override;
  void SetTimePriceText(const std::string& Text) override;
  void SetTimeChText(const std::string& Text) override;
  void SetTimeScaleText(const std::string& Text) override;
  void SetSyncButtonCaption(const std::string& Caption) override;
  int SyncButtonTag() const override { return FSyncButtonTag; }
  void SetSyncButtonTag(int Tag) override { FSyncButtonTag = Tag; }
  void ShowBalloon(const std::string& Text) override;
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
  bool WindowVisible() const override { return isVisible(); }
  void ShowWindowNormal() override;
  void HideWindow() override { hide(); }
  void ShowWindowMaximized() override { showMaximized(); }
  void ShowWindowMinimized() override { showMinimized(); }
  void BringToFront() override;
  TScreenRect WorkArea() const override;
  TScreenRect FrameRect() const override;
  void MoveFrame(int Left, int Top) override { move(Left, Top); }
  bool TrayAvailable() const override;
  void RemoveTrayIcon() override;
  void CloseWindow() override;
  void ReportError(const std::string& Text) override;

 signals:
  void BalloonShown(const QString& Text);

 protected:
  void changeEvent(QEvent* Event) override;
  void closeEvent(QCloseEvent* Event) override;
  void resizeEvent(QResizeEvent* Event) override;

 private:
  QWidget* BuildStatusPage(bool TrayAvailable);
  QWidget* BuildSettingsPage();
  void SetTabOrder();
  // The strip across the top, the pages below it; resize events of a hidden
  // window wait until it shows, so construction lays out once itself.
  void LayOut();

  // Runs Handler on each Signal of Sender; an error escaping it is reported
  // and the program goes on.
  template <typename TSender, typename TSignal>
  void Forward(TSender* Sender, TSignal Signal, std::function<void()> Handler) {
    connect(Sender, Signal, this, [this, Handler] { FForm.Guarded(Handler); });
  }

  TTabStrip* FTabStrip = nullptr;
  QStackedWidget* FPages = nullptr;
  TTrayIntegration* FTray = nullptr;

  QLabel* lbStatus = nullptr;
  QLabel* lbTimePrice = nullptr;
  QLabel* lbTimeCh = nullptr;
  QLabel* lbTimeScale = nullptr;
  QLabel* lbErrorPrice = nullptr;
  QLabel* lbErrorCh = nullptr;
  QLabel* lbErrorScale = nullptr;
  QPushButton* btnExchange = nullptr;
  QPushButton* btnSync = nullptr;
  QPushButton* btnClose = nullptr;

  QLineEdit* edtServ = nullptr;
  QLineEdit* edtPort = nullptr;
  QLineEdit* edtUser = nullptr;
  QLineEdit* edtPass = nullptr;
  QLineEdit* edtKassaPath = nullptr;
  QLineEdit* edtScalesPath = nullptr;
  QToolButton* SpeedButton1 = nullptr;
  QToolButton* SpeedButton2 = nullptr;
  QCheckBox* CheckBox1 = nullptr;
  QPushButton* Button3 = nullptr;
  QPushButton* Button4 = nullptr;

  int FSyncButtonTag = 0;
  TFolderChooser FFolderChooser;
  TErrorReport FErrorReport;
  TSyncMainForm FForm;
};
