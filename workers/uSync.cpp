#include "workers/uSync.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <exception>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "ftp/ftpsend.h"
#include "net/blcksock.h"
#include "platform/errors.h"
#include "platform/exename.h"
#include "platform/filelease.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/tempnames.h"
#include "settings/IntegerText.h"
#include "settings/uSettingsClass.h"
#include "workers/MainThreadDispatch.h"

namespace {

constexpr int32_t DefaultTimeout = 600000;
constexpr int32_t DefaultSettleTime = 2000;
std::atomic<int32_t> TimeoutForTesting{0};
std::atomic<int32_t> SettleTimeForTesting{0};
std::atomic<int> SessionTimeoutForTesting{0};

const std::string& ReceiptFolder() {
  static const std::string folder = std::string("reports") + PathDelim + "checks" + PathDelim;
  return folder;
}

constexpr std::string_view RemoteReceiptFolder = "reports\\checks\\";
constexpr std::string_view ReceiptMasks[] = {"*.ch", "*.z"};

bool SameText(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::toupper(static_cast<unsigned char>(x)) ==
           std::toupper(static_cast<unsigned char>(y));
  });
}

bool IsJournalName(std::string_view Name) {
  constexpr size_t StampDigits = 14;
  for (std::string_view prefix : {"Checks", "Price", "Scale"}) {
    if (Name.size() != prefix.size() + StampDigits ||
        !SameText(Name.substr(0, prefix.size()), prefix))
      continue;
    const std::string_view stamp = Name.substr(prefix.size());
    if (std::all_of(stamp.begin(), stamp.end(), [](char c) { return c >= '0' && c <= '9'; }))
      return true;
  }
  return false;
}

// The journal lines of a cycle wait beside the program under these names
// until the cycle's journal is written.
bool IsPendingJournalName(std::string_view Name) {
  for (std::string_view pending : {"Checks.pending", "Price.pending", "Scale.pending"})
    if (SameText(Name, pending)) return true;
  return false;
}

}  // namespace

bool IsDeliverableName(std::string_view Name) {
  static const std::string executable = ExecutableFileName();
  // A NUL ends the path early in the OS calls: "Quorvel.ini" and a NUL
  // would be saved over the settings file itself.
  if (Name.empty() || Name == "." || Name == ".." ||
      Name.find_first_of(std::string_view("/\\\0", 3)) != std::string_view::npos ||
      !IsPlainFileName(Name))
    return false;
  return !SameText(Name, "Quorvel.ini") && !SameText(Name, executable) &&
         !SameText(Name, "reports") && !IsJournalName(Name) && !IsPendingJournalName(Name) &&
         !IsTemporaryName(Name);
}

void RemoveSaveLeftovers() {
  const std::string app = IncludeTrailingPathDelimiter(ApplicationDirectory());
  for (const std::string& folder :
       {app, app + ReceiptFolder(), Settings->KassaPath(), Settings->ScalePath()})
    RemoveTemporaryLeftovers(IncludeTrailingPathDelimiter(folder));
}

uint16_t PortFromSetting(const std::string& Text) {
  int32_t port = 21;
  TryStrToInt(Text, port);
  return static_cast<uint16_t>(static_cast<uint32_t>(port));
}

std::string ServerWords(TFTPSend& Ftp) {
  if (Ftp.ResultCode() != 0) return Ftp.ResultString();
  for (TTCPBlockSocket* sock : {&Ftp.DSock(), &Ftp.Sock()})
    if (sock->LastError() != 0) return sock->LastErrorDesc();
  return "нет ответа";
}

void SetWorkerTimeoutForTesting(int32_t Milliseconds) { TimeoutForTesting = Milliseconds; }

void SetReceiptSettleTimeForTesting(int32_t Milliseconds) { SettleTimeForTesting = Milliseconds; }

void SetWorkerSessionTimeoutForTesting(int Milliseconds) {
  SessionTimeoutForTesting = Milliseconds;
}

// ---------------------------------------------------------------------------
// The frame

TFTPLoaderTh::TFTPLoaderTh(TGetStrProc OnLoadProcess, TGetStrProc OnEndLoad, TCycleProc OnCycleEnd,
                           const TFolderRule& Folders) {
  const int32_t testTimeout = TimeoutForTesting;
  FTimeout = testTimeout != 0 ? testTimeout : DefaultTimeout;
  FServ = Settings->FTPServer();
  FUser = Settings->FTPUser();
  FPass = Settings->FTPPass();
  FPort = PortFromSetting(Settings->FTPPort());
  FTillDir =
      IncludeTrailingPathDelimiter((Settings->*Folders.TillSetting)()) + std::string(Folders.Below);
  FSelfDir = IncludeTrailingPathDelimiter(ApplicationDirectory()) + std::string(Folders.Below);
  FFTP = std::make_unique<TFTPSend>();
  FFTP->SetTargetHost(FServ);
  FFTP->SetUserName(FUser);
  FFTP->SetPassword(FPass);
  FFTP->SetTargetPort(std::to_string(FPort));
  FFTP->SetPassiveMode(true);
  FFTP->SetBinaryMode(true);
  if (const int sessionTimeout = SessionTimeoutForTesting; sessionTimeout != 0)
    FFTP->SetTimeout(sessionTimeout);
  FOnFileDone = std::move(OnLoadProcess);
  FOnEndLoad = std::move(OnEndLoad);
  FOnCycleEnd = std::move(OnCycleEnd);
}

TFTPLoaderTh::~TFTPLoaderTh() = default;

void TFTPLoaderTh::StartThread(const std::shared_ptr<TFTPLoaderTh>& Worker) {
  try {
    std::thread([Worker] { Worker->Execute(); }).detach();
  } catch (const std::system_error& error) {
    throw EQuorvelError(std::string("Thread creation error: ") + error.what());
  }
}

void TFTPLoaderTh::Execute() {
  while (!Terminated()) {
    RunCycle();
    Pause();
  }
  FFTP.reset();
  FFinished = true;
}

void TFTPLoaderTh::Wake() {
  const std::lock_guard lock(FWakeLock);
  FWoken = true;
  FWakeSignal.notify_all();
}

void TFTPLoaderTh::Pause() {
  std::unique_lock lock(FWakeLock);
  FWakeSignal.wait_for(lock, std::chrono::milliseconds(FTimeout.load()), [this] { return FWoken; });
  FWoken = false;
}

void TFTPLoaderTh::Fail(const std::string& Text) {
  if (FOutcome.Error.empty()) FOutcome.Error = Text;
}

void TFTPLoaderTh::RunCycle() {
  FMoved = false;
  FOutcome = {};
  try {
    if (FFTP->Login()) {
      FOutcome.Reached = FOutcome.LoggedOn = true;
      Work();
      FFTP->Logout();
      if (FMoved && FOnEndLoad) FOnEndLoad(std::string());
    } else if (FFTP->ResultCode() != 0) {
      FOutcome.Reached = true;
      Fail("Сервер не принял вход: " + ServerWords(*FFTP));
    } else {
      Fail("Сервер недоступен: " + ServerWords(*FFTP));
    }
  } catch (const std::exception& error) {
    // A handler that failed (a journal that cannot be written, a refused
    // settings write) gave up this cycle only; its journal lines are still
    // listed and go with the next journal. The worker keeps its rhythm.
    Fail(error.what());
  } catch (...) {
    Fail("Неизвестная ошибка");
  }
  if (FOnCycleEnd) {
    try {
      Synchronize([this] { FOnCycleEnd(FOutcome); });
    } catch (...) {
      // The report is for the user only; the worker keeps cycling.
    }
  }
}

void TFTPLoaderTh::FileDone(const std::string& Name) {
  FLastFile = Name;
  FMoved = true;
  if (FOnFileDone) Synchronize([this] { FOnFileDone(FLastFile); });
}

// ---------------------------------------------------------------------------
// Receipts

std::shared_ptr<TFTPChLoaderTh> TFTPChLoaderTh::Create(TGetStrProc OnLoadProcess,
                                                       TGetStrProc OnEndLoad,
                                                       TCycleProc OnCycleEnd) {
  return Launch(
      new TFTPChLoaderTh(std::move(OnLoadProcess), std::move(OnEndLoad), std::move(OnCycleEnd)));
}

TFTPChLoaderTh::TFTPChLoaderTh(TGetStrProc OnLoadProcess, TGetStrProc OnEndLoad,
                               TCycleProc OnCycleEnd)
    : TFTPLoaderTh(std::move(OnLoadProcess), std::move(OnEndLoad), std::move(OnCycleEnd),
                   {&TQuorvelSettings::KassaPath, ReceiptFolder()}) {
  const int32_t testSettle = SettleTimeForTesting;
  FSettleTime = testSettle != 0 ? testSettle : DefaultSettleTime;
}

void TFTPChLoaderTh::Work() {
  // When the till writes straight into the staging folder, by whatever path
  // it is named, there is nothing to gather; moves that fail (name already
  // staged) are retried next cycle.
  if (!SameFolder(TillDir(), SelfDir())) {
    for (const std::string& name : ReadyReceipts(TillDir()))
      if (!MoveFileNoReplace(TillDir() + name, SelfDir() + name))
        Fail("Чек " + name + " не перенесён в папку " + SelfDir());
  }
  for (const std::string& name : ReadyReceipts(SelfDir())) Upload(name);
}

std::vector<std::string> TFTPChLoaderTh::ReadyReceipts(const std::string& Folder) const {
  // A folder named like a receipt, or a receipt that some process still has
  // open, stays where it is until a later cycle. A receipt whose probe
  // cannot tell is looked at again after the settle time, one wait for all.
  struct TCandidate {
    std::string Name;
    std::optional<TFileState> Unsettled;  // set while the probe cannot tell
  };
  std::vector<TCandidate> candidates;
  bool waitToSettle = false;
  for (std::string_view mask : ReceiptMasks) {
    for (std::string& name : FindFiles(Folder, std::string(mask))) {
      const std::string path = Folder + name;
      if (!FileExists(path)) continue;
      switch (ProbeHeldOpen(path)) {
        case THeldOpen::Yes: break;
        case THeldOpen::No: candidates.push_back({std::move(name), std::nullopt}); break;
        case THeldOpen::Unknown:
          if (std::optional<TFileState> state = GetFileState(path)) {
            candidates.push_back({std::move(name), state});
            waitToSettle = true;
          }
          break;
      }
    }
  }
  if (waitToSettle) std::this_thread::sleep_for(std::chrono::milliseconds(FSettleTime));
  std::vector<std::string> ready;
  for (TCandidate& candidate : candidates) {
    if (!candidate.Unsettled || GetFileState(Folder + candidate.Name) == candidate.Unsettled)
      ready.push_back(std::move(candidate.Name));
  }
  return ready;
}

void TFTPChLoaderTh::Upload(const std::string& Name) {
  const std::string staged = SelfDir() + Name;
  try {
    FTP().DataStream().Assign(LoadFileBytes(staged));
  } catch (const std::exception& error) {
    Fail("Чек " + Name + " не прочитан: " + error.what());
    return;
  }
  if (!FTP().StoreFile(std::string(RemoteReceiptFolder) + Name, false)) {
    Fail("Сервер не принял чек " + Name + ": " + ServerWords(FTP()));
    return;
  }
  // Reported while the staged copy still exists: the journal line is on the
  // disk before the receipt leaves, so a kill in between costs an upload
  // again, never the line.
  FileDone(Name);
  DeleteLocalFile(staged);
}

// ---------------------------------------------------------------------------
// Downloads

TFTPDownloadTh::TFTPDownloadTh(TGetStrProc OnLoadProcess, TGetStrProc OnEndLoad,
                               TCycleProc OnCycleEnd, const TDownloadKind& Kind)
    : TFTPLoaderTh(std::move(OnLoadProcess), std::move(OnEndLoad), std::move(OnCycleEnd),
                   Kind.Folders),
      FRemoteFolder(Kind.RemoteFolder) {}

void TFTPDownloadTh::Work() {
  // A failed listing leaves the listing empty.
  if (!FTP().List(std::string(FRemoteFolder), false))
    Fail("Сервер не выдал список файлов: " + ServerWords(FTP()));
  std::vector<std::string> names;
  const TFTPList& listing = FTP().FtpList();
  for (int i = 0; i < listing.Count(); ++i) {
    const TFTPListRec* entry = listing.Items(i);
    if (!entry->Directory() && IsDeliverableName(entry->FileName()))
      names.push_back(entry->FileName());
  }
  for (const std::string& name : names) {
    const std::string remote = std::string(FRemoteFolder) + name;
    if (!FTP().RetrieveFile(remote, false)) {
      Fail("Сервер не отдал файл " + name + ": " + ServerWords(FTP()));
      continue;
    }
    if (!Deliver(name)) continue;
    // Reported before the server copy goes, for the same reason as a
    // receipt: at worst a kill in between fetches the file again.
    FileDone(name);
    if (!FTP().DeleteFile(remote))
      Fail("Сервер не удалил файл " + name + ": " + ServerWords(FTP()));
  }
}

bool TFTPDownloadTh::Deliver(const std::string& Name) {
  // The rename replaces the older copy in one step, even while the till has
  // it open; a destination that is missing or refuses writing raises.
  try {
    ReplaceFileBytes(TillDir() + Name, FTP().DataStream().Bytes());
  } catch (const std::exception& error) {
    Fail("Файл " + Name + " не записан в папку " + TillDir() + ": " + error.what());
    return false;
  }
  return true;
}

std::shared_ptr<TFTPPriceLoaderTh> TFTPPriceLoaderTh::Create(TGetStrProc OnLoadProcess,
                                                             TGetStrProc OnEndLoad,
                                                             TCycleProc OnCycleEnd) {
  return Launch(
      new TFTPPriceLoaderTh(std::move(OnLoadProcess), std::move(OnEndLoad), std::move(OnCycleEnd)));
}

TFTPPriceLoaderTh::TFTPPriceLoaderTh(TGetStrProc OnLoadProcess, TGetStrProc OnEndLoad,
                                     TCycleProc OnCycleEnd)
    : TFTPDownloadTh(std::move(OnLoadProcess), std::move(OnEndLoad), std::move(OnCycleEnd),
                     {{&TQuorvelSettings::KassaPath, ""}, ""}) {}

std::shared_ptr<TFTPScaleLoaderTh> TFTPScaleLoaderTh::Create(TGetStrProc OnLoadProcess,
                                                             TGetStrProc OnEndLoad,
                                                             TCycleProc OnCycleEnd) {
  return Launch(
      new TFTPScaleLoaderTh(std::move(OnLoadProcess), std::move(OnEndLoad), std::move(OnCycleEnd)));
}

TFTPScaleLoaderTh::TFTPScaleLoaderTh(TGetStrProc OnLoadProcess, TGetStrProc OnEndLoad,
                                     TCycleProc OnCycleEnd)
    : TFTPDownloadTh(std::move(OnLoadProcess), std::move(OnEndLoad), std::move(OnCycleEnd),
                     {{&TQuorvelSettings::ScalePath, ""}, "scale\\"}) {}
