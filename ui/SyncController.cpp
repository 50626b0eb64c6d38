#include "ui/SyncController.h"

#include <utility>

#include "platform/clock.h"
#include "settings/uSettingsClass.h"
#include "ui/SyncView.h"
#include "workers/MainThreadDispatch.h"

namespace {

constexpr std::string_view KindNames[] = {"Чеки", "Прайс", "Весы"};
constexpr void (ISyncView::*ShowError[])(const std::string&) = {
    &ISyncView::SetErrorChText, &ISyncView::SetErrorPriceText, &ISyncView::SetErrorScaleText};
// Where the notification area cuts tooltips (in characters).
constexpr size_t TooltipLimit = 127;

// A "DD.MM.YYYY HH:mm:ss" stamp as "YYYYMMDDHHmmss", so that stamps compare
// as texts; empty for anything else. The separators follow the regional
// settings, so only the digits count.
std::string StampKey(const std::string& Stamp) {
  std::string digits;
  for (const char c : Stamp)
    if (c >= '0' && c <= '9') digits += c;
  if (digits.size() != 14) return {};
  return digits.substr(4, 4) + digits.substr(2, 2) + digits.substr(0, 2) + digits.substr(8);
}

// Text cut to Limit characters of UTF-8, never inside one.
std::string CutText(const std::string& Text, size_t Limit) {
  size_t characters = 0;
  for (size_t i = 0; i < Text.size(); ++i) {
    if ((static_cast<unsigned char>(Text[i]) & 0xC0) == 0x80) continue;
    if (++characters > Limit) return Text.substr(0, i);
  }
  return Text;
}

}  // namespace

TSyncController::TSyncController(ISyncView& View) : FView(View) {}

TGetStrProc TSyncController::Bind(void (TSyncController::*Handler)(const std::string&)) {
  return [this, Handler](const std::string& Text) { (this->*Handler)(Text); };
}

TCycleProc TSyncController::BindOutcome(TKind Kind) {
  // Runs on the main thread, where the controller is destroyed too, so the
  // check cannot race its end.
  return [this, Kind, Alive = std::weak_ptr<int>(FLifetime)](const TCycleOutcome& Outcome) {
    if (!Alive.expired()) CycleEnded(Kind, Outcome);
  };
}

void TSyncController::FormCreate() {
  FView.SetTimePriceText(Settings->PriceSync());
  FView.SetTimeChText(Settings->ChSync());
  FView.SetTimeScaleText(Settings->ScaleSync());
  FView.FillSettingsPage(*Settings);
  // A server of blanks counts as set: the text is not trimmed.
  if (Settings->AutoStartThread() && !Settings->FTPServer().empty()) {
    btnSyncClick();
    return;
  }
  FView.SetStatusText("Остановлен");
  FView.ShowBalloon("Программа запущена");
  UpdateTray();
}

void TSyncController::btnSyncClick() {
  if (FView.SyncButtonTag() == 0) {
    chloader = TFTPChLoaderTh::Create(Bind(&TSyncController::ChFileLoaded),
                                      Bind(&TSyncController::ChEndLoad), BindOutcome(Checks));
    priceLoader =
        TFTPPriceLoaderTh::Create(Bind(&TSyncController::PriceFileLoaded),
                                  Bind(&TSyncController::PriceEndLoad), BindOutcome(Price));
    ScaleLoader =
        TFTPScaleLoaderTh::Create(Bind(&TSyncController::ScaleFileLoaded),
                                  Bind(&TSyncController::ScaleEndLoad), BindOutcome(Scale));
    FView.SetStatusText("Запущен");
    FView.SetSyncButtonCaption("Остановить");
    FView.SetSyncButtonTag(1);
    FView.ShowBalloon("Синхронизация работает");
    UpdateTray();
    return;
  }
  for (TFTPLoaderTh* worker :
       {static_cast<TFTPLoaderTh*>(chloader.get()), static_cast<TFTPLoaderTh*>(priceLoader.get()),
        static_cast<TFTPLoaderTh*>(ScaleLoader.get())}) {
    if (worker != nullptr) worker->Terminate();
  }
  FView.SetStatusText("Остановлен");
  FView.SetSyncButtonCaption("Запустить");
  FView.SetSyncButtonTag(0);
  FView.ShowBalloon("Синхронизация остановлена");
  UpdateTray();
}

void TSyncController::ExchangeNow() {
  if (FView.SyncButtonTag() == 0) return;
  for (TFTPLoaderTh* worker :
       {static_cast<TFTPLoaderTh*>(chloader.get()), static_cast<TFTPLoaderTh*>(priceLoader.get()),
        static_cast<TFTPLoaderTh*>(ScaleLoader.get())}) {
    if (worker != nullptr) worker->Wake();
  }
}

void TSyncController::EndLoad(TKind Kind, TExchangeJournal& Journal) {
  std::string error = Journal.EndLoad(FView);
  Synchronize([&] { FJournalErrors[Kind] = std::move(error); });
}

std::string TSyncController::OutcomeLine(TKind Kind, const std::string& Time,
                                         const std::string& Text) {
  return std::string(KindNames[Kind]) + ", " + Time + ": " + Text;
}

void TSyncController::CycleEnded(TKind Kind, const TCycleOutcome& Outcome) {
  TKindState& state = FKinds[Kind];
  const std::string now = FormatDisplayStamp(Now());
  std::string journalError = std::exchange(FJournalErrors[Kind], std::string());
  const std::string& error = Outcome.Error.empty() ? journalError : Outcome.Error;
  const bool wasFailing = !state.Error.empty();
  state.LastCycle = now;
  state.Reached = Outcome.Reached;
  state.LoggedOn = Outcome.LoggedOn;
  if (error.empty()) {
    if (wasFailing) {
      state.Error.clear();
      state.ErrorTime.clear();
      (FView.*ShowError[Kind])(std::string());
      FView.ShowBalloon(OutcomeLine(Kind, now, "обмен восстановлен"));
    }
  } else {
    state.Error = error;
    state.ErrorTime = now;
    const std::string line = OutcomeLine(Kind, now, error);
    (FView.*ShowError[Kind])(line);
    if (wasFailing) {
      FView.LogOutcome(line);
    } else {
      FView.ShowBalloon(line);
    }
  }
  UpdateTray();
}

void TSyncController::UpdateTray() {
  std::string tooltip = "Обмен данными с кассой\n";
  tooltip += FView.SyncButtonTag() == 0 ? "Остановлен" : "Запущен";
  std::string newest;
  for (const std::string* stamp :
       {&Settings->PriceSync(), &Settings->ChSync(), &Settings->ScaleSync()}) {
    if (StampKey(*stamp) > StampKey(newest)) newest = *stamp;
  }
  if (!newest.empty()) tooltip += "\nПоследний обмен: " + newest;
  bool failed = false;
  for (const TKind kind : {Checks, Price, Scale}) {
    const TKindState& state = FKinds[kind];
    if (state.Error.empty()) continue;
    failed = true;
    // The time is on the status page; the tooltip has little room.
    tooltip += "\n" + std::string(KindNames[kind]) + ": " + state.Error;
  }
  FView.SetTrayState(CutText(tooltip, TooltipLimit), failed);
}
