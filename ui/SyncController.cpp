#include "ui/SyncController.h"

#include "settings/uSettingsClass.h"
#include "ui/SyncView.h"

TSyncController::TSyncController(ISyncView& View) : FView(View) {}

TGetStrProc TSyncController::Bind(void (TSyncController::*Handler)(const std::string&)) {
  return [this, Handler](const std::string& Text) { (this->*Handler)(Text); };
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
}

void TSyncController::btnSyncClick() {
  if (FView.SyncButtonTag() == 0) {
    chloader = TFTPChLoaderTh::Create(Bind(&TSyncController::ChFileLoaded),
                                      Bind(&TSyncController::ChEndLoad));
    priceLoader = TFTPPriceLoaderTh::Create(Bind(&TSyncController::PriceFileLoaded),
                                            Bind(&TSyncController::PriceEndLoad));
    ScaleLoader = TFTPScaleLoaderTh::Create(Bind(&TSyncController::ScaleFileLoaded),
                                            Bind(&TSyncController::ScaleEndLoad));
    FView.SetStatusText("Запущен");
    FView.SetSyncButtonCaption("Остановить");
    FView.SetSyncButtonTag(1);
    FView.ShowBalloon("Синхронизация работает");
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
}
