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
};
