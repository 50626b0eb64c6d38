#include "app/HeadlessMain.h"

#include <iostream>
#include <string>

#include "app/Startup.h"
#include "platform/headlessloop.h"
#include "ui/SyncController.h"
#include "ui/SyncView.h"
#include "workers/MainThreadDispatch.h"

namespace {

// The window's status page and tray balloon, as lines on standard error:
// every failed cycle and every recovery of a kind is one line there.
class THeadlessView final : public ISyncView {
 public:
  void SetStatusText(const std::string& Text) override { Say("Состояние: " + Text); }
  void SetTimePriceText(const std::string& Text) override {
    Say("Время последнего обновления прайса: " + Text);
  }
  void SetTimeChText(const std::string& Text) override {
    Say("Время последней отправки чеков: " + Text);
  }
  void SetTimeScaleText(const std::string& Text) override {
    Say("Время последней прогрузки весов: " + Text);
  }
  void SetSyncButtonCaption(const std::string&) override {}
  int SyncButtonTag() const override { return FTag; }
  void SetSyncButtonTag(int Tag) override { FTag = Tag; }
  void ShowBalloon(const std::string& Text) override { Say(Text); }
  void FillSettingsPage(const TQuorvelSettings&) override {}
  // A kind's first failure and its recovery come as balloons; the errors
  // under the stamps and the tooltip have no place here.
  void SetErrorPriceText(const std::string&) override {}
  void SetErrorChText(const std::string&) override {}
  void SetErrorScaleText(const std::string&) override {}
  void SetTrayState(const std::string&, bool) override {}
  void LogOutcome(const std::string& Line) override { Say(Line); }

 private:
  static void Say(const std::string& Line) { std::cerr << Line << std::endl; }

  int FTag = 0;
};

}  // namespace

int RunHeadless() {
  if (!OpenHeadlessLoop()) {
    std::cerr << "Cannot wait for events" << std::endl;
    EndProcess(1);
  }
  SetWakeMainThread(WakeHeadlessLoop);
  // Both live until the process ends; nothing is destroyed while workers run.
  auto* view = new THeadlessView;
  auto* controller = new TSyncController(*view);
  controller->FormCreate();
  while (WaitHeadlessLoop()) CheckSynchronize();
  EndProcess(0);
}
