#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

class TFTPSend;
class TQuorvelSettings;

// A text event: a handler bound to an object that takes one string.
using TGetStrProc = std::function<void(const std::string&)>;

// What one cycle of a worker came to.
struct TCycleOutcome {
  bool Reached = false;   // the server answered
  bool LoggedOn = false;  // and took the log-on
  // The cycle's first failure in the user's words, with the server's reply
  // or the socket's error text where there was one; empty when all went
  // through.
  std::string Error;
};
// Told after every cycle, on the main thread, while the worker waits.
using TCycleProc = std::function<void(const TCycleOutcome&)>;

// The port a port setting names: invalid text means the FTP default, and the
// value wraps to 16 bits, so 65536 gives 0 and -1 gives 65535.
uint16_t PortFromSetting(const std::string& Text);

// Why the last call of an FTP session failed, in the session's own words: the
// server's last reply, else the socket's error text.
std::string ServerWords(TFTPSend& Ftp);

// The transfer workers. Each copies its connection data and folders from
// Settings while it is constructed on the main thread, owns one FTP session,
// and repeats login, work step, logout and a pause of Timeout milliseconds on
// a thread of its own until it finds itself terminated at the top of a cycle.
// The thread shares ownership of the worker with whoever created it, so
// Terminate stays harmless after the thread has ended. Events run on the main
// thread through Synchronize while the worker waits, except the cycle-done
// event: it runs on the worker's own thread, so that a handler with slow work
// (a journal upload) holds only its worker; such a handler goes through
// Synchronize itself for what must happen on the main thread.
//
// No local fault ends a worker: a file that cannot be read, gathered or saved
// is left where it is for a later cycle, and an error from an event handler
// costs at most the rest of that cycle.
class TFTPLoaderTh {
 public:
  virtual ~TFTPLoaderTh();
  TFTPLoaderTh(const TFTPLoaderTh&) = delete;
  TFTPLoaderTh& operator=(const TFTPLoaderTh&) = delete;

  // Raises the stop flag and returns at once; the worker finishes its cycle
  // and its pause first.
  void Terminate() { FTerminated = true; }
  bool Terminated() const { return FTerminated; }
  // The thread has left its loop and freed the FTP session.
  bool Finished() const { return FFinished; }

  const std::string& Serv() const { return FServ; }
  const std::string& User() const { return FUser; }
  const std::string& Pass() const { return FPass; }
  uint16_t Port() const { return FPort; }
  int32_t Timeout() const { return FTimeout; }
  // Takes effect at the next pause.
  void SetTimeout(int32_t Value) { FTimeout = Value; }
  // Ends the current or the next pause at once, so that a cycle runs now;
  // a stop request still ends the worker after it.
  void Wake();
  // The till-side and the program-side (staging) folder, each with its
  // trailing separator.
  const std::string& TillDir() const { return FTillDir; }
  const std::string& SelfDir() const { return FSelfDir; }

 protected:
  // Where a worker kind finds its till-side folder: a folder setting, and a
  // sub-folder below it and below the application directory.
  struct TFolderRule {
    const std::string& (TQuorvelSettings::*TillSetting)() const;
    std::string_view Below;
  };

  TFTPLoaderTh(TGetStrProc OnLoadProcess, TGetStrProc OnEndLoad, TCycleProc OnCycleEnd,
               const TFolderRule& Folders);

  // Hands a freshly constructed worker to its thread and returns the
  // creator's share. Raises EQuorvelError "Thread creation error: ..." when
  // no thread can be made.
  template <class TWorker>
  static std::shared_ptr<TWorker> Launch(TWorker* Worker) {
    std::shared_ptr<TWorker> shared(Worker);
    StartThread(shared);
    return shared;
  }

  // The kind's work between a successful Login and the Logout.
  virtual void Work() = 0;
  // Reports one moved file: the file-done event with its bare name, and the
  // cycle counts as having moved something.
  void FileDone(const std::string& Name);
  // Notes a failure of this cycle; the first one is the cycle's error.
  void Fail(const std::string& Text);
  TFTPSend& FTP() { return *FFTP; }

 private:
  static void StartThread(const std::shared_ptr<TFTPLoaderTh>& Worker);
  void Execute();
  void RunCycle();
  void Pause();

  // Named as the settings and the events are named for each kind: FCheckDir,
  // FPriceDir, FScaleDir for FTillDir; FSelfChDir, FSelfPriceDir,
  // FSelfScaleDir for FSelfDir; FOnChUpload, FOnPriceUpload, FOnScaleUpload
  // for FOnFileDone.
  std::string FServ;
  std::string FUser;
  std::string FPass;
  uint16_t FPort = 0;
  std::string FTillDir;
  std::string FSelfDir;
  TGetStrProc FOnFileDone;
  TGetStrProc FOnEndLoad;
  TCycleProc FOnCycleEnd;
  TCycleOutcome FOutcome;
  std::unique_ptr<TFTPSend> FFTP;
  std::atomic<int32_t> FTimeout;
  std::string FLastFile;
  bool FMoved = false;
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FFinished{false};
  std::mutex FWakeLock;
  std::condition_variable FWakeSignal;
  bool FWoken = false;
};

// Receipts: gathers "*.ch" and "*.z" from the till's "reports/checks/" into
// the staging folder below the application directory and uploads each to
// "reports\checks\" on the server, deleting the staged file once stored.
// A receipt that some process still holds open, and an entry that is not a
// file, stay where they are. Where the platform cannot tell whether a
// receipt is held open (another user's file, a file system without leases),
// a receipt is taken only once its size and modification time have stayed
// the same for SettleTime milliseconds.
class TFTPChLoaderTh final : public TFTPLoaderTh {
 public:
  static std::shared_ptr<TFTPChLoaderTh> Create(TGetStrProc OnLoadProcess, TGetStrProc OnEndLoad,
                                                TCycleProc OnCycleEnd = {});

  const std::string& CheckDir() const { return TillDir(); }
  const std::string& SelfChDir() const { return SelfDir(); }
  int32_t SettleTime() const { return FSettleTime; }

 private:
  TFTPChLoaderTh(TGetStrProc OnLoadProcess, TGetStrProc OnEndLoad, TCycleProc OnCycleEnd);
  void Work() override;
  // The receipts of Folder that may be taken now, "*.ch" before "*.z".
  std::vector<std::string> ReadyReceipts(const std::string& Folder) const;
  void Upload(const std::string& Name);

  int32_t FSettleTime;
};

// Downloads: every plain file of one server folder is fetched, written into
// a temporary file of its own in the till-side folder, renamed over the
// older copy there and, once it is there whole, deleted on the server. No
// download passes through a name that another worker or the till uses.
// Price and scale workers differ only by their TDownloadKind.
class TFTPDownloadTh : public TFTPLoaderTh {
 protected:
  struct TDownloadKind {
    TFolderRule Folders;
    // The server folder, "" for the login directory, else with a trailing
    // backslash; it prefixes every remote name.
    std::string_view RemoteFolder;
  };

  TFTPDownloadTh(TGetStrProc OnLoadProcess, TGetStrProc OnEndLoad, TCycleProc OnCycleEnd,
                 const TDownloadKind& Kind);

 private:
  void Work() override;
  // Puts the downloaded bytes in place; false when they could not be saved
  // there whole, so the server copy stays.
  bool Deliver(const std::string& Name);

  std::string_view FRemoteFolder;
};

// Price files: the login directory into the till folder (KassaPath).
class TFTPPriceLoaderTh final : public TFTPDownloadTh {
 public:
  static std::shared_ptr<TFTPPriceLoaderTh> Create(TGetStrProc OnLoadProcess, TGetStrProc OnEndLoad,
                                                   TCycleProc OnCycleEnd = {});

  const std::string& PriceDir() const { return TillDir(); }
  const std::string& SelfPriceDir() const { return SelfDir(); }

 private:
  TFTPPriceLoaderTh(TGetStrProc OnLoadProcess, TGetStrProc OnEndLoad, TCycleProc OnCycleEnd);
};

// Scale files: "scale\" on the server into the scales folder (ScalePath).
class TFTPScaleLoaderTh final : public TFTPDownloadTh {
 public:
  static std::shared_ptr<TFTPScaleLoaderTh> Create(TGetStrProc OnLoadProcess, TGetStrProc OnEndLoad,
                                                   TCycleProc OnCycleEnd = {});

  const std::string& ScaleDir() const { return TillDir(); }
  const std::string& SelfScaleDir() const { return SelfDir(); }

 private:
  TFTPScaleLoaderTh(TGetStrProc OnLoadProcess, TGetStrProc OnEndLoad, TCycleProc OnCycleEnd);
};

// Whether a name from a server listing may be fetched into the application
// directory: not empty, not "." or "..", no "/", "\" or NUL, and none of the
// program's own names there ("Quorvel.ini", the executable, "reports", a
// journal "Checks", "Price" or "Scale" followed by 14 digits, or the pending
// lines of one, "Checks.pending", "Price.pending", "Scale.pending"), letter
// case ignored, and not the name of a temporary file of a save. Other names
// are left alone on the server and not reported.
bool IsDeliverableName(std::string_view Name);

// Removes what saves cut short by an earlier end of the process left behind:
// the temporary files in the folders the program writes (the application
// directory, the receipt staging folder, and the till and the scales folder
// that Settings names). Called at start-up, before any worker exists.
void RemoveSaveLeftovers();

// The pause of workers created from now on, 600000 ms unless a test shortens
// it; 0 restores the default.
void SetWorkerTimeoutForTesting(int32_t Milliseconds);

// The settle time of receipt workers created from now on, 2000 ms unless a
// test shortens it; 0 restores the default.
void SetReceiptSettleTimeForTesting(int32_t Milliseconds);

// The FTP session time-out of workers created from now on, 300000 ms unless a
// test shortens it; 0 restores the default.
void SetWorkerSessionTimeoutForTesting(int Milliseconds);
