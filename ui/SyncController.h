#pragma once

#include <memory>
#include <string>

#include "ui/ExchangeJournal.h"
#include "workers/uSync.h"

class ISyncView;

// Starts and stops the three transfer workers as one toggle, shows the state
// and the last-exchange stamps on its view, and keeps the exchange journals
// that the workers' events feed. Runs on the main thread only; it never waits
// for a worker. The worker references are shared with the workers' threads,
// so a stop addressed to a worker that has already ended is harmless.
class TSyncController {
 public:
  explicit TSyncController(ISyncView& View);
  TSyncController(const TSyncController&) = delete;
  TSyncController& operator=(const TSyncController&) = delete;

  // Once, when the window has been built: stamps and settings page from
  // Settings, then the auto-start when it is on and a server is set.
  void FormCreate();
  // The start/stop button.
  void btnSyncClick();

  // Event handlers of the workers, run on the main thread.
  void ChFileLoaded(const std::string& FileName) { chloadLog.FileLoaded(FileName); }
  void ChEndLoad(const std::string&) { chloadLog.EndLoad(FView); }
  void PriceFileLoaded(const std::string& FileName) { PriceLog.FileLoaded(FileName); }
  void PriceEndLoad(const std::string&) { PriceLog.EndLoad(FView); }
  void ScaleFileLoaded(const std::string& FileName) { ScaleLog.FileLoaded(FileName); }
  void ScaleEndLoad(const std::string&) { ScaleLog.EndLoad(FView); }

  // The workers of the latest start; empty until the first.
  std::shared_ptr<TFTPChLoaderTh> chloader;
  std::shared_ptr<TFTPPriceLoaderTh> priceLoader;
  std::shared_ptr<TFTPScaleLoaderTh> ScaleLoader;

 private:
  // Binds a handler of this controller as a worker event.
  TGetStrProc Bind(void (TSyncController::*Handler)(const std::string&));

  ISyncView& FView;
  TExchangeJournal chloadLog{TExchangeJournal::Checks};
  TExchangeJournal PriceLog{TExchangeJournal::Price};
  TExchangeJournal ScaleLog{TExchangeJournal::Scale};
};
