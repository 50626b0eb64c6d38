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
      Name.find_first_of(std::string_view("/\\\0", 3)) != std::string_view::npos)
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

void SetWorkerTimeoutForTesting(int32_t Milliseconds) { TimeoutForTesting = Milliseconds; }

void SetReceiptSettleTimeForTesting(int32_t Milliseconds) { SettleTimeForTesting = Milliseconds; }

void SetWorkerSessionTimeoutForTesting(int Milliseconds) {
  SessionTimeoutForTesting = Milliseconds;
}

// ---------------------------------------------------------------------------
// The frame

TFTPLoaderTh::TFTPLoaderTh(TGetStrProc OnLoadProcess, TGetStrProc OnEndLoad,
                           const TFolderRule& Folders) {
  const int32_t testTimeout = TimeoutForTesting;
  FTimeout = testTimeout != 0 ? testTimeout : DefaultTimeout;
  FServ = Settings->FTPServer();
  FUser = Settings->FTPUser();
  FPass = Settings->FTPPass();
  // Invalid text means the FTP default; the value wraps to 16 bits, so 65536
  // gives 0 and -1 gives 65535.
  int32_t port = 21;
  TryStrToInt(Settings->FTPPort(), port);
  FPort = static_cast<uint16_t>(static_cast<uint32_t>(port));
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
    std::this_thread::sleep_for(std::chrono::milliseconds(FTimeout.load()));
  }
  FFTP.reset();
  FFinished = true;
}

void TFTPLoaderTh::RunCycle() {
  FMoved = false;
  try {
    if (!FFTP->Login()) return;
    Work();
    FFTP->Logout();
    if (FMoved && FOnEndLoad) Synchronize([this] { FOnEndLoad(std::string()); });
  } catch (...) {
    // A handler that failed (a journal that cannot be written, a refused
    // settings write) gave up this cycle only; its journal lines are still
    // listed and go with the next journal. The worker keeps its rhythm.
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
                                                       TGetStrProc OnEndLoad) {
  return Launch(new TFTPChLoaderTh(std::move(OnLoadProcess), std::move(OnEndLoad)));
}

TFTPChLoaderTh::TFTPChLoaderTh(TGetStrProc OnLoadProcess, TGetStrProc OnEndLoad)
    : TFTPLoaderTh(std::move(OnLoadProcess), std::move(OnEndLoad),
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
      MoveFileNoReplace(TillDir() + name, SelfDir() + name);
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
  } catch (const std::exception&) {
    return;
  }
  if (!FTP().StoreFile(std::string(RemoteReceiptFolder) + Name, false)) return;
  // Reported while the staged copy still exists: the journal line is on the
  // disk before the receipt leaves, so a kill in between costs an upload
  // again, never the line.
  FileDone(Name);
  DeleteLocalFile(staged);
}

// ---------------------------------------------------------------------------
// Downloads

TFTPDownloadTh::TFTPDownloadTh(TGetStrProc OnLoadProcess, TGetStrProc OnEndLoad,
                               const TDownloadKind& Kind)
    : TFTPLoaderTh(std::move(OnLoadProcess), std::move(OnEndLoad), Kind.Folders),
      FRemoteFolder(Kind.RemoteFolder) {}

void TFTPDownloadTh::Work() {
  // A failed listing leaves the listing empty, so its result needs no test.
  FTP().List(std::string(FRemoteFolder), false);
  std::vector<std::string> names;
  const TFTPList& listing = FTP().FtpList();
  for (int i = 0; i < listing.Count(); ++i) {
    const TFTPListRec* entry = listing.Items(i);
    if (!entry->Directory() && IsDeliverableName(entry->FileName()))
      names.push_back(entry->FileName());
  }
  for (const std::string& name : names) {
    const std::string remote = std::string(FRemoteFolder) + name;
    if (!FTP().RetrieveFile(remote, false) || !Deliver(name)) continue;
    // Reported before the server copy goes, for the same reason as a
    // receipt: at worst a kill in between fetches the file again.
    FileDone(name);
    FTP().DeleteFile(remote);
  }
}

bool TFTPDownloadTh::Deliver(const std::string& Name) {
  // The rename replaces the older copy in one step, even while the till has
  // it open; a destination that is missing or refuses writing raises.
  try {
    ReplaceFileBytes(TillDir() + Name, FTP().DataStream().Bytes());
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

std::shared_ptr<TFTPPriceLoaderTh> TFTPPriceLoaderTh::Create(TGetStrProc OnLoadProcess,
                                                             TGetStrProc OnEndLoad) {
  return Launch(new TFTPPriceLoaderTh(std::move(OnLoadProcess), std::move(OnEndLoad)));
}

TFTPPriceLoaderTh::TFTPPriceLoaderTh(TGetStrProc OnLoadProcess, TGetStrProc OnEndLoad)
    : TFTPDownloadTh(std::move(OnLoadProcess), std::move(OnEndLoad),
                     {{&TQuorvelSettings::KassaPath, ""}, ""}) {}

std::shared_ptr<TFTPScaleLoaderTh> TFTPScaleLoaderTh::Create(TGetStrProc OnLoadProcess,
                                                             TGetStrProc OnEndLoad) {
  return Launch(new TFTPScaleLoaderTh(std::move(OnLoadProcess), std::move(OnEndLoad)));
}

TFTPScaleLoaderTh::TFTPScaleLoaderTh(TGetStrProc OnLoadProcess, TGetStrProc OnEndLoad)
    : TFTPDownloadTh(std::move(OnLoadProcess), std::move(OnEndLoad),
                     {{&TQuorvelSettings::ScalePath, ""}, "scale\\"}) {}
