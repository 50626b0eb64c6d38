#pragma once

#include <QWidget>
#include <functional>
#include <memory>

#include "ui/FolderDialog.h"
#include "ui/SyncController.h"
#include "ui/SyncView.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QStackedWidget;
class QToolButton;
class TTabStrip;
class TTrayIntegration;

// The two entry points of the sync controller that the window calls: once
// when it has been built, and on each press of btnSync.
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

// Shows the text of an error that escaped a handler; the program goes on.
using TErrorReport = std::function<void(QWidget* Owner, const QString& Text)>;

// The program's one window: a status page and a settings page under a tab
// strip, reached through the tray icon. It hides instead of minimizing or
// closing; only the tray menu's "Закрыть программу" ends the program. Where
// no notification area exists it stays on the taskbar and minimizes instead,
// so it can never be lost.
class TfrmSyncMain : public QWidget, public ISyncView {
  Q_OBJECT

 public:
  static constexpr int ClientWidth = 615;
  static constexpr int ClientHeight = 275;
  enum TPage { StatusPage = 0, SettingsPage = 1 };

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

  bool TrayAvailable() const;
  bool AllowClose() const { return FAllowClose; }
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

  void btnSyncClick();
  void btnExchangeClick();
  void Button3Click();
  void Button4Click();
  void ChooseFolder(QLineEdit* Edit);
  void TrayIcon1Click();
  void N1Click();

  void HideWindow();
  void PlaceFirstTime();
  // Runs a handler of a button, menu or tray event; an error escaping it is
  // reported and the program goes on.
  void Guarded(const std::function<void()>& Handler);

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
  bool FAllowClose = false;
  bool FPlaced = false;
  TFolderChooser FFolderChooser;
  TErrorReport FErrorReport;
  std::unique_ptr<ISyncControl> FController;
};
