#pragma once

#include <string>

class TQuorvelSettings;

// What the sync controller needs of the window: the status page's labels and
// button, the tray balloon, and the settings page. The Qt window implements
// it; the headless program writes to standard error instead.
class ISyncView {
 public:
  virtual ~ISyncView() = default;

  virtual void SetStatusText(const std::string& Text) = 0;     // lbStatus
  virtual void SetTimePriceText(const std::string& Text) = 0;  // lbTimePrice
  virtual void SetTimeChText(const std::string& Text) = 0;     // lbTimeCh
  virtual void SetTimeScaleText(const std::string& Text) = 0;  // lbTimeScale

  // btnSync: caption and its Tag, the running flag (0 stopped, 1 running).
  virtual void SetSyncButtonCaption(const std::string& Caption) = 0;
  virtual int SyncButtonTag() const = 0;
  virtual void SetSyncButtonTag(int Tag) = 0;

  // Sets the tray balloon's text and shows it (title "Обмен данными с кассой").
  virtual void ShowBalloon(const std::string& Text) = 0;

  // Copies the seven user settings into the settings page's controls.
  virtual void FillSettingsPage(const TQuorvelSettings& Settings) = 0;

  // Under the stamps: each kind's last error with its time, empty while the
  // kind's cycles go through.
  virtual void SetErrorPriceText(const std::string& Text) = 0;  // lbErrorPrice
  virtual void SetErrorChText(const std::string& Text) = 0;     // lbErrorCh
  virtual void SetErrorScaleText(const std::string& Text) = 0;  // lbErrorScale

  // The tray icon's tooltip, and whether it shows the look for "the last
  // cycle of some kind failed".
  virtual void SetTrayState(const std::string& Tooltip, bool Failed) = 0;

  // A failed cycle that repeats its kind's failure: no balloon, only a line
  // for the log (standard error). A kind's first failure and its recovery
  // come as balloons.
  virtual void LogOutcome(const std::string& Line) = 0;
};
