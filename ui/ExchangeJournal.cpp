#include "ui/ExchangeJournal.h"

#include <algorithm>
#include <new>
#include <optional>

#include "ftp/ftpsend.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "settings/uSettingsClass.h"
#include "ui/SyncView.h"

namespace {

std::string JournalUploadPort = "21";
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
  const std::string& remote = Ftp.DataStream().Bytes();
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
  FPending += Utf8ToCp1251(std::string(FKind.LinePrefix) + FileName);
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
  return SplitLines(Cp1251ToUtf8(FPending));
}

std::string TExchangeJournal::FreshName(const std::vector<std::string>& Present,
                                        std::chrono::seconds Gap) {
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
                                       const std::string* InMemory) {
  const std::string& dir = ApplicationDirectory();
  for (int renames = 0;; ++renames) {
    const TUploadResult result =
        InMemory != nullptr ? FTPUploadBytes(Settings->FTPServer(), Settings->FTPUser(),
                                             Settings->FTPPass(), *InMemory, "log\\" + Name)
                            : FTPUploadFile(Settings->FTPServer(), Settings->FTPUser(),
                                            Settings->FTPPass(), dir + Name, "log\\" + Name, true);
    if (result != TUploadResult::NameTaken || renames == MaxRenames) return result;
    // An earlier run may have used a whole row of seconds from here on; the
    // step doubles, so that a long row is passed in a few tries.
    const std::string fresh = FreshName(Present, std::chrono::seconds{1LL << renames});
    if (InMemory == nullptr && !MoveFileNoReplace(dir + Name, dir + fresh))
      return TUploadResult::Failed;
    Name = fresh;
  }
}

void TExchangeJournal::EndLoad(ISyncView& View) {
  LoadPending();
  const std::string& dir = ApplicationDirectory();
  std::vector<std::string> present = FindFiles(dir, std::string(FKind.NamePrefix) + "*");
  std::string name = FreshName(present, std::chrono::seconds{1});
  // An empty cycle gives an empty journal.
  const bool onDisk = WriteJournal(name);
  if (onDisk) {
    FPending.clear();
    present.push_back(name);
  }

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
  bool stored = false;
  TUploadResult result = TUploadResult::Stored;
  for (std::string& journal : journals) {
    const bool isNew = journal == name;
    result = Upload(journal, present, nullptr);
    if (result == TUploadResult::Failed) break;
    stored = stored || (isNew && result == TUploadResult::Stored);
  }
  // Where the disk refused the journal, it goes up from memory, and its
  // lines stay there until it is stored.
  if (!onDisk && result != TUploadResult::Failed &&
      Upload(name, present, &FPending) == TUploadResult::Stored) {
    stored = true;
    FPending.clear();
    DeleteLocalFile(dir + PendingName(FKind));
  }
  if (!stored) return;
  (Settings->*FKind.SetStamp)(FormatDisplayStamp(Now()));
  (View.*FKind.ShowStamp)((Settings->*FKind.Stamp)());
}

TUploadResult FTPUploadBytes(const std::string& Host, const std::string& User,
                             const std::string& Password, const std::string& Bytes,
                             const std::string& RemoteFile) {
  try {
    TFTPSend ftp;
    ftp.SetTargetHost(Host);
    ftp.SetUserName(User);
    ftp.SetPassword(Password);
    ftp.SetTargetPort(JournalUploadPort);
    ftp.SetPassiveMode(true);
    ftp.SetBinaryMode(true);
    if (JournalUploadTimeout != 0) ftp.SetTimeout(JournalUploadTimeout);
    if (!ftp.Login()) return TUploadResult::Failed;
    const TRemoteCopy copy = FindRemoteCopy(ftp, RemoteFile, Bytes);
    if (copy == TRemoteCopy::Other) return TUploadResult::NameTaken;
    if (copy != TRemoteCopy::Whole) {
      ftp.DataStream().Assign(Bytes);
      if (!ftp.StoreFile(RemoteFile, copy == TRemoteCopy::Start)) return TUploadResult::Failed;
    }
    return TUploadResult::Stored;
  } catch (const EQuorvelError&) {
  } catch (const std::bad_alloc&) {
  }
  return TUploadResult::Failed;
}

TUploadResult FTPUploadFile(const std::string& Host, const std::string& User,
                            const std::string& Password, const std::string& LocalFile,
                            const std::string& RemoteFile, bool DeleteAfter) {
  std::string bytes;
  try {
    bytes = LoadFileBytes(LocalFile);
  } catch (const EQuorvelError&) {
    return TUploadResult::Failed;
  } catch (const std::bad_alloc&) {
    return TUploadResult::Failed;
  }
  const TUploadResult result = FTPUploadBytes(Host, User, Password, bytes, RemoteFile);
  if (result == TUploadResult::Stored && DeleteAfter) DeleteLocalFile(LocalFile);
  return result;
}

void SetJournalUploadPortForTesting(std::string Port) {
  JournalUploadPort = Port.empty() ? "21" : std::move(Port);
}

void SetJournalUploadTimeoutForTesting(int Milliseconds) { JournalUploadTimeout = Milliseconds; }
