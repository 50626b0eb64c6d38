#include "ui/ExchangeJournal.h"

#include <algorithm>
#include <new>
#include <optional>

#include "ftp/ftpsend.h"
#include "platform/ansicodepage.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "settings/uSettingsClass.h"
#include "ui/SyncView.h"
#include "workers/MainThreadDispatch.h"
#include "workers/uSync.h"

namespace {

std::string JournalUploadPort;
int JournalUploadTimeout = 0;

constexpr size_t StampDigits = 14;
// How often one cycle moves a journal on to a fresh name because the server
// holds other files under its names (passing rows of up to some 17 minutes
// of names); the journal waits for the next cycle after that.
constexpr int MaxRenames = 10;
constexpr std::string_view LineEnd = "\r\n";

bool SameAsciiText(std::string_view a, std::string_view b) {
  const auto fold = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [&](char x, char y) { return fold(x) == fold(y); });
}

// The moment a "YYYYMMDDHHmmss" text names, when it names one. Local time is
// counted here as if it had no zone: only the calendar matters.
std::optional<std::chrono::sys_seconds> StampTime(std::string_view Stamp) {
  if (Stamp.size() != StampDigits ||
      !std::all_of(Stamp.begin(), Stamp.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  const auto number = [Stamp](size_t At, size_t Width) {
    int value = 0;
    for (const char c : Stamp.substr(At, Width)) value = value * 10 + (c - '0');
    return value;
  };
  const std::chrono::year_month_day day{std::chrono::year{number(0, 4)},
                                        std::chrono::month{static_cast<unsigned>(number(4, 2))},
                                        std::chrono::day{static_cast<unsigned>(number(6, 2))}};
  const int hour = number(8, 2);
  const int minute = number(10, 2);
  const int second = number(12, 2);
  if (!day.ok() || hour > 23 || minute > 59 || second > 59) return std::nullopt;
  return std::chrono::sys_days{day} + std::chrono::hours{hour} + std::chrono::minutes{minute} +
         std::chrono::seconds{second};
}

std::string StampText(std::chrono::sys_seconds Time) {
  const auto midnight = std::chrono::floor<std::chrono::days>(Time);
  const std::chrono::year_month_day day{midnight};
  const std::chrono::hh_mm_ss clock{Time - midnight};
  return FormatJournalStamp(
      {static_cast<int>(day.year()), static_cast<int>(static_cast<unsigned>(day.month())),
       static_cast<int>(static_cast<unsigned>(day.day())), static_cast<int>(clock.hours().count()),
       static_cast<int>(clock.minutes().count()), static_cast<int>(clock.seconds().count())});
}

// The stamp part of Name when it is a journal name of the kind with that
// prefix (letter case aside, as on Windows), else empty.
std::string_view JournalStamp(std::string_view Name, std::string_view Prefix) {
  if (Name.size() != Prefix.size() + StampDigits ||
      !SameAsciiText(Name.substr(0, Prefix.size()), Prefix))
    return {};
  const std::string_view stamp = Name.substr(Prefix.size());
  return StampTime(stamp) ? stamp : std::string_view();
}

std::vector<std::string> SplitLines(std::string_view Text) {
  std::vector<std::string> lines;
  for (size_t end; (end = Text.find(LineEnd)) != std::string_view::npos;
       Text.remove_prefix(end + LineEnd.size()))
    lines.emplace_back(Text.substr(0, end));
  return lines;
}

// What the server holds under a journal's remote name.
enum class TRemoteCopy {
  None,   // nothing, as far as the server tells
  Start,  // the beginning of the journal: an upload of it that was cut off
  Whole,  // the journal itself: an upload whose end was not seen
  Other   // something else, or something that cannot be read back
};

TRemoteCopy FindRemoteCopy(TFTPSend& Ftp, const std::string& Remote, std::string_view Local) {
  // Without SIZE the server can only be asked by fetching the file.
  bool present = false;
  if (Ftp.CanResume()) {
    const int32_t size = Ftp.FileSize(Remote);
    if (size < 0 && Ftp.ResultCode() == 550) return TRemoteCopy::None;
    if (size > static_cast<int64_t>(Local.size())) return TRemoteCopy::Other;
    if (size == 0) return Local.empty() ? TRemoteCopy::Whole : TRemoteCopy::Start;
    present = size > 0;
  }
  if (!Ftp.RetrieveFile(Remote, false)) return present ? TRemoteCopy::Other : TRemoteCopy::None;
  const std::string_view remote = Ftp.DataStream().Bytes();
  if (!Local.starts_with(remote)) return TRemoteCopy::Other;
  return remote.size() == Local.size() ? TRemoteCopy::Whole : TRemoteCopy::Start;
}

}  // namespace

const TExchangeJournal::TKind TExchangeJournal::Checks = {
    "Загружен файл ", "Checks", &TQuorvelSettings::SetChSync, &TQuorvelSettings::ChSync,
    &ISyncView::SetTimeChText};
const TExchangeJournal::TKind TExchangeJournal::Price = {
    "Скачен файл ", "Price", &TQuorvelSettings::SetPriceSync, &TQuorvelSettings::PriceSync,
    &ISyncView::SetTimePriceText};
const TExchangeJournal::TKind TExchangeJournal::Scale = {
    "Скачен файл ", "Scale", &TQuorvelSettings::SetScaleSync, &TQuorvelSettings::ScaleSync,
    &ISyncView::SetTimeScaleText};

std::string TExchangeJournal::PendingName(const TKind& Kind) {
  return std::string(Kind.NamePrefix) + ".pending";
}

void TExchangeJournal::LoadPending() {
  if (FLoaded) return;
  const std::string path = ApplicationDirectory() + PendingName(FKind);
  if (FileExists(path)) {
    FPending = LoadFileBytes(path);
    // The file is only ever replaced whole; one that ends inside a line was
    // changed by someone else, and its last line is ended here so that the
    // next one does not run into it.
    if (!FPending.empty() && !FPending.ends_with(LineEnd)) FPending += LineEnd;
  }
  FLoaded = true;
}

void TExchangeJournal::FileLoaded(const std::string& FileName) {
  LoadPending();
  FPending += Utf8ToAnsi(std::string(FKind.LinePrefix) + FileName);
  FPending += LineEnd;
  try {
    SaveFileBytes(ApplicationDirectory() + PendingName(FKind), FPending);
  } catch (const EFileError&) {
    // A disk that refuses the line does not stop the moves: the line waits
    // in memory and goes up with the cycle's journal.
  }
}

bool TExchangeJournal::WriteJournal(const std::string& Name) {
  const std::string pending = ApplicationDirectory() + PendingName(FKind);
  try {
    SaveFileBytes(pending, FPending);
  } catch (const EFileError&) {
    return false;
  }
  return MoveFileNoReplace(pending, ApplicationDirectory() + Name);
}

std::vector<std::string> TExchangeJournal::Lines() {
  LoadPending();
  return SplitLines(AnsiToUtf8(FPending));
}

std::string TExchangeJournal::FreshName(const std::vector<std::string>& Present,
                                        std::chrono::seconds Gap) {
  const std::lock_guard lock(FStampLock);
  std::string floor = FLastStamp;
  for (const std::string& name : Present) {
    const std::string_view stamp = JournalStamp(name, FKind.NamePrefix);
    if (stamp > floor) floor = stamp;
  }
  std::string stamp = FormatJournalStamp(Now());
  // A second journal within one second, or a clock set back, takes the
  // name Gap after the latest instead.
  if (const auto latest = StampTime(floor)) {
    const std::string earliest = StampText(*latest + Gap);
    if (stamp < earliest) stamp = earliest;
  }
  FLastStamp = stamp;
  return std::string(FKind.NamePrefix) + stamp;
}

TUploadResult TExchangeJournal::Upload(std::string& Name, const std::vector<std::string>& Present,
                                       const std::string* InMemory, const TUploadTarget& Target,
                                       std::string& Reply) {
  const std::string& dir = ApplicationDirectory();
  for (int renames = 0;; ++renames) {
    const TUploadResult result =
        InMemory != nullptr ? FTPUploadBytes(Target, *InMemory, "log\\" + Name, &Reply)
                            : FTPUploadFile(Target, dir + Name, "log\\" + Name, true, &Reply);
    if (result != TUploadResult::NameTaken || renames == MaxRenames) return result;
    // An earlier run may have used a whole row of seconds from here on; the
    // step doubles, so that a long row is passed in a few tries.
    const std::string fresh = FreshName(Present, std::chrono::seconds{1LL << renames});
    if (InMemory == nullptr && !MoveFileNoReplace(dir + Name, dir + fresh))
      return TUploadResult::Failed;
    Name = fresh;
  }
}

std::string TExchangeJournal::EndLoad(ISyncView& View) {
  TBatch batch;
  Synchronize([&] { batch = Prepare(); });
  const TSent sent = Send(batch);
  Synchronize([&] { Finish(batch, sent, View); });
  return sent.Error;
}

TExchangeJournal::TBatch TExchangeJournal::Prepare() {
  LoadPending();
  TBatch batch;
  batch.Target = {Settings->FTPServer(), std::to_string(PortFromSetting(Settings->FTPPort())),
                  Settings->FTPUser(), Settings->FTPPass()};
  const std::vector<std::string> present =
      FindFiles(ApplicationDirectory(), std::string(FKind.NamePrefix) + "*");
  batch.Name = FreshName(present, std::chrono::seconds{1});
  // An empty cycle gives an empty journal.
  batch.OnDisk = WriteJournal(batch.Name);
  if (batch.OnDisk) {
    FPending.clear();
  } else {
    batch.Memory = FPending;
  }
  return batch;
}

TExchangeJournal::TSent TExchangeJournal::Send(const TBatch& Batch) {
  // Two worker sets of one kind (a stop and a start in quick succession)
  // must not send the same journals side by side.
  const std::lock_guard lock(FSendLock);
  const std::string& dir = ApplicationDirectory();
  const std::vector<std::string> present = FindFiles(dir, std::string(FKind.NamePrefix) + "*");
  std::vector<std::string> journals;
  for (const std::string& entry : present) {
    if (!JournalStamp(entry, FKind.NamePrefix).empty() && FileExists(dir + entry))
      journals.push_back(entry);
  }
  const size_t prefix = FKind.NamePrefix.size();
  std::sort(journals.begin(), journals.end(), [prefix](const std::string& a, const std::string& b) {
    return a.compare(prefix, StampDigits, b, prefix, StampDigits) < 0;
  });
  // Oldest first; after a failure the rest wait for the next cycle, as the
  // server is most likely out of reach. A journal that found no free name
  // tries again next time.
  TSent sent;
  std::string reply;
  TUploadResult result = TUploadResult::Stored;
  for (std::string& journal : journals) {
    const bool isNew = journal == Batch.Name;
    result = Upload(journal, present, nullptr, Batch.Target, reply);
    if (result == TUploadResult::Failed) break;
    sent.Stored = sent.Stored || (isNew && result == TUploadResult::Stored);
  }
  // Where the disk refused the journal, it goes up from memory, and its
  // lines stay there until it is stored.
  if (!Batch.OnDisk && result != TUploadResult::Failed) {
    std::string name = Batch.Name;
    result = Upload(name, present, &Batch.Memory, Batch.Target, reply);
    sent.MemoryStored = sent.Stored = result == TUploadResult::Stored;
  }
  if (result == TUploadResult::Failed)
    sent.Error = "Журнал обмена не отправлен: " + reply;
  else if (result == TUploadResult::NameTaken)
    sent.Error = "Журнал обмена не отправлен: на сервере заняты имена журналов";
  return sent;
}

void TExchangeJournal::Finish(const TBatch& Batch, const TSent& Sent, ISyncView& View) {
  if (Sent.MemoryStored && FPending.starts_with(Batch.Memory)) {
    // Lines that came in while the journal went up stay pending.
    FPending.erase(0, Batch.Memory.size());
    const std::string pending = ApplicationDirectory() + PendingName(FKind);
    if (FPending.empty()) {
      DeleteLocalFile(pending);
    } else {
      try {
        SaveFileBytes(pending, FPending);
      } catch (const EFileError&) {
        // They wait in memory, as in FileLoaded.
      }
    }
  }
  if (!Sent.Stored) return;
  (Settings->*FKind.SetStamp)(FormatDisplayStamp(Now()));
  (View.*FKind.ShowStamp)((Settings->*FKind.Stamp)());
}

TUploadResult FTPUploadBytes(const TUploadTarget& Target, const std::string& Bytes,
                             const std::string& RemoteFile, std::string* Reply) {
  try {
    TFTPSend ftp;
    ftp.SetTargetHost(Target.Host);
    ftp.SetUserName(Target.User);
    ftp.SetPassword(Target.Password);
    ftp.SetTargetPort(JournalUploadPort.empty() ? Target.Port : JournalUploadPort);
    ftp.SetPassiveMode(true);
    ftp.SetBinaryMode(true);
    if (JournalUploadTimeout != 0) ftp.SetTimeout(JournalUploadTimeout);
    const auto failed = [&] {
      if (Reply != nullptr) *Reply = ServerWords(ftp);
      return TUploadResult::Failed;
    };
    if (!ftp.Login()) return failed();
    const TRemoteCopy copy = FindRemoteCopy(ftp, RemoteFile, Bytes);
    if (copy == TRemoteCopy::Other) return TUploadResult::NameTaken;
    if (copy != TRemoteCopy::Whole) {
      ftp.DataStream().Assign(Bytes);
      if (!ftp.StoreFile(RemoteFile, copy == TRemoteCopy::Start)) return failed();
    }
    return TUploadResult::Stored;
  } catch (const EQuorvelError& error) {
    if (Reply != nullptr) *Reply = error.what();
  } catch (const std::bad_alloc&) {
    if (Reply != nullptr) *Reply = "нет памяти";
  }
  return TUploadResult::Failed;
}

TUploadResult FTPUploadFile(const TUploadTarget& Target, const std::string& LocalFile,
                            const std::string& RemoteFile, bool DeleteAfter, std::string* Reply) {
  std::string bytes;
  try {
    bytes = LoadFileBytes(LocalFile);
  } catch (const EQuorvelError& error) {
    if (Reply != nullptr) *Reply = error.what();
    return TUploadResult::Failed;
  } catch (const std::bad_alloc&) {
    if (Reply != nullptr) *Reply = "нет памяти";
    return TUploadResult::Failed;
  }
  const TUploadResult result = FTPUploadBytes(Target, bytes, RemoteFile, Reply);
  if (result == TUploadResult::Stored && DeleteAfter) DeleteLocalFile(LocalFile);
  return result;
}

void SetJournalUploadPortForTesting(std::string Port) { JournalUploadPort = std::move(Port); }

void SetJournalUploadTimeoutForTesting(int Milliseconds) { JournalUploadTimeout = Milliseconds; }
