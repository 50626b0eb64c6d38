#pragma once

#include <string>
#include <string_view>
#include <vector>

class ISyncView;
class TQuorvelSettings;

// One worker kind's exchange journal: the lines of the files moved since the
// last journal, written at the end of a cycle into the application directory,
// uploaded to "log\" on the server and deleted locally once stored, and the
// time of that success kept as the kind's last-exchange stamp.
class TExchangeJournal {
 public:
  // What tells the three kinds apart.
  struct TKind {
    std::string_view LinePrefix;  // "Загружен файл " or "Скачен файл "
    std::string_view NamePrefix;  // "Checks", "Price" or "Scale"
    void (TQuorvelSettings::*SetStamp)(const std::string&);
    const std::string& (TQuorvelSettings::*Stamp)() const;
    void (ISyncView::*ShowStamp)(const std::string&);
  };
  static const TKind Checks;
  static const TKind Price;
  static const TKind Scale;

  explicit TExchangeJournal(const TKind& Kind) : FKind(Kind) {}

  // A file was moved: one more line.
  void FileLoaded(const std::string& FileName);

  // The cycle ended: writes the journal file, uploads it with the settings as
  // they are now, and on success sets the stamp in Settings and on View. The
  // lines are dropped afterwards whether or not the upload succeeded. Raises
  // EFileError when the journal cannot be written and the settings' error
  // when the stamp cannot be stored; the lines then stay for the next
  // journal.
  void EndLoad(ISyncView& View);

  const std::vector<std::string>& Lines() const { return FLines; }

 private:
  const TKind& FKind;
  std::vector<std::string> FLines;
};

// Stores one local file on an FTP server under RemoteFile over a session of
// its own, always on port 21, resuming a partial remote copy; the session is
// dropped without QUIT. True once the server confirmed the store; the local
// file is then deleted when DeleteAfter is set. Program errors on the way
// (an unreadable file, no memory) give false.
bool FTPUploadFile(const std::string& Host, const std::string& User, const std::string& Password,
                   const std::string& LocalFile, const std::string& RemoteFile, bool DeleteAfter);

// Lets tests send the journal upload to their own server's port; an empty
// text restores "21".
void SetJournalUploadPortForTesting(std::string Port);

// Lets tests shorten the journal upload's FTP time-out; 0 restores the
// session's default (300000 ms).
void SetJournalUploadTimeoutForTesting(int Milliseconds);
