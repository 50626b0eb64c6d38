#pragma once

#include <string>
#include <vector>

#include "ui/SyncView.h"

// A view for controller and journal tests: keeps what the controller showed
// and, in Calls, every call in order.
class WorkerView : public ISyncView {
 public:
  void SetStatusText(const std::string& Text) override;
  void SetTimePriceText(const std::string& Text) override;
  void SetTimeChText(const std::string& Text) override;
  void SetTimeScaleText(const std::string& Text) override;
  void SetSyncButtonCaption(const std::string& Caption) override;
  int SyncButtonTag() const override { return Tag; }
  void SetSyncButtonTag(int Value) override;
  void ShowBalloon(const std::string& Text) override;
  void FillSettingsPage(const TQuorvelSettings& Settings) override;
  void SetErrorPriceText(const std::string& Text) override { ErrorPrice = Text; }
  void SetErrorChText(const std::string& Text) override { ErrorCh = Text; }
  void SetErrorScaleText(const std::string& Text) override { ErrorScale = Text; }
  void SetTrayState(const std::string& Text, bool Failed) override {
    Tooltip = Text;
    TrayFailed = Failed;
  }
  void LogOutcome(const std::string& Line) override { Logged.push_back(Line); }

  std::string Status = "status";
  std::string TimePrice = "TimePrice";
  std::string TimeCh = "TimeCh";
  std::string TimeScale = "TimeScale";
  std::string Caption = "Запустить";
  int Tag = 0;
  std::vector<std::string> Balloons;
  // The server shown on the settings page; empty until filled.
  std::string SettingsServer;
  // Calls holds the status page's and the balloon's calls only; what the
  // outcome of cycles shows is kept here.
  std::vector<std::string> Calls;
  std::string ErrorPrice;
  std::string ErrorCh;
  std::string ErrorScale;
  std::string Tooltip;
  bool TrayFailed = false;
  std::vector<std::string> Logged;
};
