#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

class ISyncView;
class TQuorvelSettings;

// How a journal upload ended.
enum class TUploadResult {
  Stored,    // the server holds the whole file under the remote name
  Failed,    // no connection, log-on or store; the local file stays
  NameTaken  // the server holds another file under that name; nothing sent
};

// Where journals go: the server, port and account that the settings name at
// the end of a cycle, the port as the workers read it.
struct TUploadTarget {
  std::string Host;
  std::string Port = "21";
  std::string User;
  std::string Password;
};

// One worker kind's exchange journal. Each moved file's line goes at once
// into the kind's pending file beside the program, so that it outlives a
// kill or a power cut; the end of a cycle turns the pending file into a
// journal under a fresh name and uploads it to "log\" on the server, after
// every journal of the kind that an earlier failure left behind, oldest
// first. The time of the new journal's success is the kind's last-exchange
// stamp.
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

  // A file was moved: its line is in the pending file when this returns.
  // A disk that refuses it does not stop the moves: the line then waits in
  // memory for the cycle's journal. Raises EFileError only when a pending
  // file of an earlier run cannot be read; the worker reports a file while
  // it still lies where it came from, so that file stays and is reported
  // again later.
  void FileLoaded(const std::string& FileName);

  // The cycle ended: the pending lines become a journal named after the
  // time, later than every journal name this object gave and every journal
  // beside the program. Then the journals of the kind beside the program go
  // up in name order, each deleted once stored, until one fails; a journal
  // the disk refused goes up from memory after them. When the new one is
  // stored, the stamp is set in Settings and on View; the settings' error
  // when it cannot be stored is raised (the journal is on the server by
  // then, so its lines are done). Returns why a journal did not go up, or
  // an empty text.
  //
  // Called on a worker's thread, only the journal's file and the stamp are
  // handled on the main thread: the upload holds the calling thread alone,
  // however long the server takes. Uploads of one kind go one at a time.
  std::string EndLoad(ISyncView& View);

  // The lines not yet in a journal, in order.
  std::vector<std::string> Lines();

  // "Checks.pending", "Price.pending" or "Scale.pending" in the application
  // directory.
  static std::string PendingName(const TKind& Kind);

 private:
  // A cycle's journal on its way from the main thread to the server.
  struct TBatch {
    TUploadTarget Target;
    std::string Name;
    bool OnDisk = false;
    std::string Memory;  // the journal's bytes where the disk refused it
  };
  struct TSent {
    bool Stored = false;        // the cycle's journal is on the server
    bool MemoryStored = false;  // and went up from memory
    std::string Error;
  };
  // Main thread: writes the journal, takes the target from Settings.
  TBatch Prepare();
  // Any thread: the uploads.
  TSent Send(const TBatch& Batch);
  // Main thread: the lines sent from memory are done, the stamp is set.
  void Finish(const TBatch& Batch, const TSent& Sent, ISyncView& View);

  // The pending file as left by an earlier run, read once.
  void LoadPending();
  // The pending lines as the journal Name beside the program; false when
  // the disk refuses.
  bool WriteJournal(const std::string& Name);
  // A journal name at least Gap later than FLastStamp and than every
  // journal of the kind among Present; becomes the new FLastStamp.
  std::string FreshName(const std::vector<std::string>& Present, std::chrono::seconds Gap);
  // Uploads one journal, the file Name beside the program or, when given,
  // InMemory; where the server holds another file under its name, the
  // journal moves on to a fresh name and tries again, a bounded number of
  // times (NameTaken when none was free).
  TUploadResult Upload(std::string& Name, const std::vector<std::string>& Present,
                       const std::string* InMemory, const TUploadTarget& Target,
                       std::string& Reply);

  const TKind& FKind;
  bool FLoaded = false;
  // The lines not yet in a journal, as the pending file holds them when the
  // disk takes them: code page bytes, each line ended by CR LF.
  std::string FPending;
  // The "YYYYMMDDHHmmss" of the latest journal name given out.
  std::string FLastStamp;
  std::mutex FStampLock;
  std::mutex FSendLock;
};

// Stores Bytes on an FTP server under RemoteFile over a session of its own;
// the session is dropped without QUIT. A remote copy is
// continued only when it holds the beginning of Bytes (an earlier upload of
// the same journal that was cut off), and counts as done when it holds the
// whole; a copy that cannot be shown to be the same is left alone. Program
// errors on the way (no memory) give Failed. Where the upload fails, Reply
// (when given) gets the server's reply or the socket's error text.
TUploadResult FTPUploadBytes(const TUploadTarget& Target, const std::string& Bytes,
                             const std::string& RemoteFile, std::string* Reply = nullptr);

// FTPUploadBytes with a local file's content; once stored, the file is
// deleted when DeleteAfter is set. A file that cannot be read gives Failed.
TUploadResult FTPUploadFile(const TUploadTarget& Target, const std::string& LocalFile,
                            const std::string& RemoteFile, bool DeleteAfter,
                            std::string* Reply = nullptr);

// Lets tests send every journal upload to a port of their own, whatever the
// target names; an empty text restores the target's port.
void SetJournalUploadPortForTesting(std::string Port);

// Lets tests shorten the journal upload's FTP time-out; 0 restores the
// session's default (300000 ms).
void SetJournalUploadTimeoutForTesting(int Milliseconds);
