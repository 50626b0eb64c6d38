#include "support/WorkerView.h"

#include "settings/uSettingsClass.h"

void WorkerView::SetStatusText(const std::string& Text) {
  Status = Text;
  Calls.push_back("lbStatus=" + Text);
}

void WorkerView::SetTimePriceText(const std::string& Text) {
  TimePrice = Text;
  Calls.push_back("lbTimePrice=" + Text);
}

void WorkerView::SetTimeChText(const std::string& Text) {
  TimeCh = Text;
  Calls.push_back("lbTimeCh=" + Text);
}

void WorkerView::SetTimeScaleText(const std::string& Text) {
  TimeScale = Text;
  Calls.push_back("lbTimeScale=" + Text);
}

void WorkerView::SetSyncButtonCaption(const std::string& Text) {
  Caption = Text;
  Calls.push_back("btnSync=" + Text);
}

void WorkerView::SetSyncButtonTag(int Value) {
  Tag = Value;
  Calls.push_back("Tag=" + std::to_string(Value));
}

void WorkerView::ShowBalloon(const std::string& Text) {
  Balloons.push_back(Text);
  Calls.push_back("balloon=" + Text);
}

void WorkerView::FillSettingsPage(const TQuorvelSettings& Settings) {
  SettingsServer = Settings.FTPServer();
  Calls.emplace_back("settings page");
}
