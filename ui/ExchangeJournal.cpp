#include "ui/ExchangeJournal.h"

#include <new>

#include "ftp/ftpsend.h"
#include "platform/ansicodepage.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "settings/uSettingsClass.h"
#include "ui/SyncView.h"

namespace {

std::string JournalUploadPort = "21";
int JournalUploadTimeout = 0;

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

void TExchangeJournal::FileLoaded(const std::string& FileName) {
  FLines.push_back(std::string(FKind.LinePrefix) + FileName);
}

void TExchangeJournal::EndLoad(ISyncView& View) {
  const std::string name = std::string(FKind.NamePrefix) + FormatJournalStamp(Now());
  const std::string path = ApplicationDirectory() + name;
  std::string text;
  for (const std::string& line : FLines) text += line + "\r\n";
  SaveFileBytes(path, Utf8ToAnsi(text));
  if (FTPUploadFile(Settings->FTPServer(), Settings->FTPUser(), Settings->FTPPass(), path,
                    "log\\" + name, true)) {
    (Settings->*FKind.SetStamp)(FormatDisplayStamp(Now()));
    (View.*FKind.ShowStamp)((Settings->*FKind.Stamp)());
  }
  FLines.clear();
}

bool FTPUploadFile(const std::string& Host, const std::string& User, const std::string& Password,
                   const std::string& LocalFile, const std::string& RemoteFile, bool DeleteAfter) {
  bool result = false;
  try {
    TFTPSend ftp;
    ftp.SetTargetHost(Host);
    ftp.SetUserName(User);
    ftp.SetPassword(Password);
    ftp.SetTargetPort(JournalUploadPort);
    ftp.SetPassiveMode(true);
    ftp.SetBinaryMode(true);
    if (JournalUploadTimeout != 0) ftp.SetTimeout(JournalUploadTimeout);
    if (!ftp.Login()) return false;
    ftp.DataStream().Assign(LoadFileBytes(LocalFile));
    if (!ftp.StoreFile(RemoteFile, true)) return false;
    result = true;
    if (DeleteAfter) DeleteLocalFile(LocalFile);
  } catch (const EQuorvelError&) {
  } catch (const std::bad_alloc&) {
  }
  return result;
}

void SetJournalUploadPortForTesting(std::string Port) {
  JournalUploadPort = Port.empty() ? "21" : std::move(Port);
}

void SetJournalUploadTimeoutForTesting(int Milliseconds) { JournalUploadTimeout = Milliseconds; }
