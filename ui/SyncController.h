#pragma once

#include <array>
#include <memory>
#include <string>

#include "ui/ExchangeJournal.h"
#include "workers/uSync.h"

class ISyncView;

// Starts and stops the three transfer workers as one toggle, shows the state
// and the last-exchange stamps on its view, and keeps the exchange journals
// that the workers' events feed. Runs on the main thread only, except the
// cycle-done handlers (see TExchangeJournal::EndLoad); it never waits for a
// worker. The worker references are shared with the workers' threads, so a
// stop addressed to a worker that has already ended is harmless.
//
// It also keeps what each worker kind's last cycle came to, and shows it the
// same way on every front end: each kind's last error under the stamps, the
// tray's tooltip and look, a balloon when a kind first fails and when it
// recovers, and a log line for each failure in between.
class TSyncController {
 public:
  enum TKind { Checks = 0, Price = 1, Scale = 2 };
  // The outcome of one kind's last cycle.
  struct TKindState {
    std::string LastCycle;  // "DD.MM.YYYY HH:mm:ss"; empty before the first
    bool Reached = false;
    bool LoggedOn = false;
    std::string Error;      // empty while all is well
    std::string ErrorTime;  // when Error came
  };

  explicit TSyncController(ISyncView& View);
  TSyncController(const TSyncController&) = delete;
  TSyncController& operator=(const TSyncController&) = delete;

  // Once, when the window has been built: stamps and settings page from
  // Settings, then the auto-start when it is on and a server is set.
  void FormCreate();
  // The start/stop button.
  void btnSyncClick();
  // "Обменяться сейчас": while running, every worker of the latest start
  // ends its pause and runs a cycle at once; while stopped, nothing.
  void ExchangeNow();

  const TKindState& KindState(TKind Kind) const { return FKinds[Kind]; }

  // Event handlers of the workers, run on the main thread; the cycle-done
  // ones run on the worker's thread.
  void ChFileLoaded(const std::string& FileName) { chloadLog.FileLoaded(FileName); }
  void ChEndLoad(const std::string&) { EndLoad(Checks, chloadLog); }
  void PriceFileLoaded(const std::string& FileName) { PriceLog.FileLoaded(FileName); }
  void PriceEndLoad(const std::string&) { EndLoad(Price, PriceLog); }
  void ScaleFileLoaded(const std::string& FileName) { ScaleLog.FileLoaded(FileName); }
  void ScaleEndLoad(const std::string&) { EndLoad(Scale, ScaleLog); }
  void CycleEnded(TKind Kind, const TCycleOutcome& Outcome);

  // The workers of the latest start; empty until the first.
  std::shared_ptr<TFTPChLoaderTh> chloader;
  std::shared_ptr<TFTPPriceLoaderTh> priceLoader;
  std::shared_ptr<TFTPScaleLoaderTh> ScaleLoader;

 private:
  // Binds a handler of this controller as a worker event.
  TGetStrProc Bind(void (TSyncController::*Handler)(const std::string&));
  TCycleProc BindOutcome(TKind Kind);
  void EndLoad(TKind Kind, TExchangeJournal& Journal);
  // "<kind>, <time>: <text>", the one text of an outcome for every front end.
  static std::string OutcomeLine(TKind Kind, const std::string& Time, const std::string& Text);
  // The tooltip and the icon's look from the state, the stamps and errors.
  void UpdateTray();

  ISyncView& FView;
  TExchangeJournal chloadLog{TExchangeJournal::Checks};
  TExchangeJournal PriceLog{TExchangeJournal::Price};
  TExchangeJournal ScaleLog{TExchangeJournal::Scale};
  std::array<TKindState, 3> FKinds;
  // Why a kind's journal did not go up in the cycle that is ending.
  std::array<std::string, 3> FJournalErrors;
  // Expires with the controller. Workers outlive it (they are never waited
  // for), so an outcome they hand to the main thread afterwards finds no
  // controller and is dropped.
  std::shared_ptr<int> FLifetime = std::make_shared<int>(0);
};
