#include "ftp/ftpsend.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <string_view>

#include "platform/codepage.h"

namespace {

// A server must not be able to grow the session's memory without bound: a
// reply line longer than this, a reply of more lines than this, or a reply
// whose lines bring more bytes than this in all, ends the read as a failed
// reply. The byte cap counts what the server sent; decoded, a byte of code
// page 1251 takes up to three.
constexpr size_t MaxReplyLineLength = size_t{1024} * 1024;
constexpr size_t MaxReplyLines = 10000;
constexpr size_t MaxReplyBytes = size_t{1024} * 1024;

// The socket stops collecting a line once its working string (the line so
// far plus at most one packet of up to 64 KiB read past it) outgrows this,
// so a line just over the cap may still come back whole; ReadResult then
// rejects it by its length.
constexpr int SocketLineLimit = static_cast<int>(MaxReplyLineLength) + 2 + 65536;

int ReplyClass(int Code) { return Code / 100; }

// The characters up to and including the blank go at both ends.
std::string_view TrimBlanks(std::string_view Value) {
  while (!Value.empty() && static_cast<unsigned char>(Value.front()) <= ' ') Value.remove_prefix(1);
  while (!Value.empty() && static_cast<unsigned char>(Value.back()) <= ' ') Value.remove_suffix(1);
  return Value;
}

// A decimal integer with an optional sign, the whole text or nothing.
bool ReadDecimal(std::string_view Text, int32_t& Value) {
  if (Text.starts_with('+') && !Text.starts_with("+-")) Text.remove_prefix(1);
  if (Text.empty() || Text.front() == '+') return false;
  const auto [end, error] = std::from_chars(Text.data(), Text.data() + Text.size(), Value);
  return error == std::errc() && end == Text.data() + Text.size();
}

// Takes the text before the first Separator out of Rest (all of it when
// there is none) and returns it trimmed.
std::string_view FetchField(std::string_view& Rest, char Separator) {
  const size_t at = Rest.find(Separator);
  const std::string_view field = Rest.substr(0, at);
  Rest = at == std::string_view::npos ? std::string_view() : Rest.substr(at + 1);
  return TrimBlanks(field);
}

std::string_view TextAfter(std::string_view Value, char Mark) {
  const size_t at = Value.find(Mark);
  return at == std::string_view::npos ? Value : Value.substr(at + 1);
}

std::string_view TextBefore(std::string_view Value, char Mark) {
  return Value.substr(0, Value.find(Mark));
}

// Appends everything the data connection delivers at the stream's position
// until the peer closes it, an error occurs or Timeout passes without data.
// False, with the connection dropped at once, when the stream would grow
// past Limit bytes.
bool ReceiveWithinLimit(TTCPBlockSocket& Sock, TMemoryStream& Stream, int Timeout, int64_t Limit) {
  for (;;) {
    const int64_t sizeBefore = Stream.Size();
    Sock.RecvPacketTo(Stream, Timeout);
    if (Sock.LastError() != 0) return true;
    if (Stream.Size() > Limit) {
      // The packet that passed the cap is not kept. An orderly close would
      // first drain whatever the server keeps sending, for as long as it
      // keeps sending.
      Stream.Truncate(sizeBefore);
      Sock.AbortSocket();
      return false;
    }
  }
}

// The size a transfer's preliminary reply announces, as in "150 Opening
// BINARY mode data connection for f (1234 bytes)."; -1 when it names none.
int64_t AnnouncedSize(std::string_view Reply) {
  const size_t close = Reply.rfind(" bytes)");
  const size_t open = Reply.substr(0, close).rfind('(');
  if (close == std::string_view::npos || open == std::string_view::npos) return -1;
  const std::string_view digits = Reply.substr(open + 1, close - open - 1);
  int64_t size = -1;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), size);
  return error == std::errc() && end == digits.data() + digits.size() && size >= 0 ? size : -1;
}

// Log-on step table: markers for the two ends, otherwise the next step.
constexpr int LoggedOn = -1;
constexpr int LogonFailed = -2;

struct TLogonStep {
  std::string Command;
  int AfterClass2;
  int AfterClass3;
};

}  // namespace

TFTPSend::TFTPSend()
    : FSock(std::make_unique<TTCPBlockSocket>()),
      FDSock(std::make_unique<TTCPBlockSocket>()),
      FFullResult(std::make_unique<std::vector<std::string>>()),
      FDataStream(std::make_unique<TMemoryStream>()),
      FFtpList(std::make_unique<TFTPList>()) {
  FTargetPort = "21";
  FTimeout = 300000;
  FUserName = "anonymous";
  FSock->SetConvertLineEnd(true);
  FSock->SetMaxLineLength(SocketLineLimit);
  // A reply line's time-out bounds the whole line, not each wait for a byte.
  FSock->SetInterPacketTimeout(false);
  FPassword = "anonymous@" + FSock->LocalName();
}

TFTPSend::~TFTPSend() {
  FDSock.reset();
  FSock.reset();
  FFtpList.reset();
  FDataStream.reset();
  FFullResult.reset();
}

void TFTPSend::ReportStatus(bool Response, const std::string& Value) {
  if (FOnStatus) FOnStatus(this, Response, Value);
}

int TFTPSend::ReadResult() {
  FFullResult->clear();
  std::string code;
  bool refused = false;
  size_t replyBytes = 0;
  // The whole reply must arrive within the time-out, so that a server that
  // sends it a byte at a time cannot hold the session indefinitely.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(FTimeout);
  for (;;) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    std::string raw = FSock->RecvString(static_cast<int>(std::max<int64_t>(left.count(), 0)));
    replyBytes += raw.size();
    const bool tooLong = FSock->LastError() == WSAENOBUFS || raw.size() > MaxReplyLineLength ||
                         replyBytes > MaxReplyBytes;
    if (tooLong) raw.clear();
    // Code page 1251 has one byte per character, so the reply's structure is
    // read from the raw bytes.
    if (code.empty() && raw.size() >= 4 && (raw[3] == ' ' || raw[3] == '-'))
      code = raw.substr(0, 3);
    const std::string line = Cp1251ToUtf8(raw);
    FResultString = line;
    FFullResult->push_back(line);
    ReportStatus(true, line);
    if (tooLong || FFullResult->size() > MaxReplyLines) {
      refused = true;
      break;
    }
    if (FSock->LastError() != 0) break;
    if (!code.empty() && raw.starts_with(code + ' ')) break;
  }
  int32_t value = 0;
  FResultCode = !refused && ReadDecimal(code, value) ? value : 0;
  return FResultCode;
}

int TFTPSend::FTPCommand(const std::string& Value) {
  FSock->Purge();
  FSock->SendString(Utf8ToCp1251(Value) + "\r\n");
  ReportStatus(false, Value);
  return ReadResult();
}

bool TFTPSend::OpenControlConnection() {
  FSock->CloseSocket();
  FSock->Bind(FIPInterface, "0");
  if (FSock->LastError() == 0) FSock->Connect(FTargetHost, FTargetPort);
  return FSock->LastError() == 0;
}

bool TFTPSend::PerformLogon([[maybe_unused]] int LogonMode) {
  // The mode picks a table; firewall and proxy tables need a firewall host,
  // which this session never has, so every mode runs the direct log-on.
  const TLogonStep table[] = {
      {"USER " + FUserName, LoggedOn, 1},
      {"PASS " + FPassword, LoggedOn, 2},
      {"ACCT " + FAccount, LoggedOn, LogonFailed},
  };
  int step = 0;
  for (;;) {
    const int replyClass = ReplyClass(FTPCommand(table[step].Command));
    const int next = replyClass == 2   ? table[step].AfterClass2
                     : replyClass == 3 ? table[step].AfterClass3
                                       : LogonFailed;
    if (next == LoggedOn) return true;
    if (next == LogonFailed) return false;
    step = next;
  }
}

bool TFTPSend::Login() {
  FCanResume = false;
  if (!OpenControlConnection()) return false;
  do {
    ReadResult();
  } while (ReplyClass(FResultCode) == 1);
  if (ReplyClass(FResultCode) != 2) return false;
  if (!PerformLogon(0)) return false;
  FTPCommand("TYPE I");
  FTPCommand("STRU F");
  FTPCommand("MODE S");
  if (FTPCommand("REST 0") == 350 && FTPCommand("REST 1") == 350) {
    // Refused, this last "REST 0" would leave the server starting the next
    // download at its second byte: such a session cannot be trusted.
    if (FTPCommand("REST 0") != 350) return false;
    FCanResume = true;
  }
  return true;
}

bool TFTPSend::Logout() {
  const bool result = ReplyClass(FTPCommand("QUIT")) == 2;
  FSock->CloseSocket();
  return result;
}

void TFTPSend::ParseRemote(const std::string& Value) {
  std::string_view text = TrimBlanks(Value);
  const size_t open = text.find('(');
  if (open != std::string_view::npos && text.find(')') != std::string_view::npos)
    text = TextBefore(text.substr(open + 1), ')');
  else
    text = text.substr(text.rfind(' ') + 1);
  std::string ip;
  for (int i = 0; i < 4; ++i) {
    if (i > 0) ip += '.';
    ip += FetchField(text, ',');
  }
  int32_t high = 0;
  int32_t low = 0;
  if (!ReadDecimal(FetchField(text, ','), high)) high = 0;
  if (!ReadDecimal(FetchField(text, ','), low)) low = 0;
  FDataIP = ip;
  FDataPort = std::to_string(int64_t{high} * 256 + low);
}

void TFTPSend::ParseRemoteEPSV(const std::string& Value) {
  std::string_view text = TrimBlanks(TextBefore(TextAfter(Value, '('), ')'));
  if (!text.empty()) {
    // The last character may be more than one byte of UTF-8.
    size_t last = text.size() - 1;
    while (last > 0 && (static_cast<unsigned char>(text[last]) & 0xC0) == 0x80) --last;
    text = text.substr(0, last);
  }
  size_t digits = text.size();
  while (digits > 0 && text[digits - 1] >= '0' && text[digits - 1] <= '9') --digits;
  FDataPort = std::string(text.substr(digits));
  FDataIP = FTargetHost;
}

bool TFTPSend::OpenDataChannel() {
  const bool overIPv6 = FSock->IP6used();
  const bool extended =
      !FForceOldPort && ReplyClass(FTPCommand(overIPv6 ? "EPSV 2" : "EPSV 1")) == 2;
  if (extended) {
    ParseRemoteEPSV(FResultString);
  } else {
    if (overIPv6 || ReplyClass(FTPCommand("PASV")) != 2) return false;
    ParseRemote(FResultString);
  }
  FDSock->CloseSocket();
  FDSock->Bind(FIPInterface, "0");
  if (FDSock->LastError() == 0) FDSock->Connect(FDataIP, FDataPort);
  return FDSock->LastError() == 0;
}

bool TFTPSend::CompleteDataChannel() { return true; }

bool TFTPSend::DataRead(TMemoryStream& DestStream) {
  return DataReadWithin(DestStream, FMaxDataSize);
}

bool TFTPSend::DataReadWithin(TMemoryStream& DestStream, int64_t Limit) {
  bool result = false;
  if (CompleteDataChannel()) {
    const bool withinLimit = ReceiveWithinLimit(*FDSock, DestStream, FTimeout, Limit);
    FDSock->CloseSocket();
    // The final reply is read even after an oversized transfer, so that it
    // cannot turn up later as the answer to another command.
    result = ReplyClass(ReadResult()) == 2 && withinLimit;
  }
  FDSock->CloseSocket();
  return result;
}

bool TFTPSend::DataWrite(TMemoryStream& SourceStream) {
  bool result = false;
  if (CompleteDataChannel()) {
    FDSock->SendStreamRaw(SourceStream);
    const int sendError = FDSock->LastError();
    FDSock->CloseSocket();
    result = ReplyClass(ReadResult()) == 2 && sendError == 0;
  }
  FDSock->CloseSocket();
  return result;
}

bool TFTPSend::List(std::string Directory, bool NameList) {
  FDataStream->Clear();
  FFtpList->Clear();
  if (!Directory.empty()) Directory = " " + Directory;
  FTPCommand("TYPE A");
  if (!OpenDataChannel()) return false;
  if (ReplyClass(FTPCommand((NameList ? "NLST" : "LIST") + Directory)) != 1) return false;
  bool result = DataReadWithin(*FDataStream, std::min(FMaxListingSize, FMaxDataSize));
  if (result && !NameList) {
    FDataStream->SetPosition(0);
    // A listing that would take more memory parsed than the list allows
    // fails as one past the byte cap does, and leaves the list empty.
    result = FFtpList->LoadListing(FDataStream->Bytes());
    if (result) FFtpList->ParseLines();
    result = result && !FFtpList->MemoryExceeded();
  }
  FDataStream->SetPosition(0);
  return result;
}

void TFTPSend::ReserveAnnounced(TMemoryStream& Stream, int64_t Size) const {
  // A size past the cap would fail anyway. Without a reservation (also when
  // memory for the whole size cannot be had at once) the stream grows as the
  // bytes arrive.
  if (Size < 0 || Size > FMaxDataSize - Stream.Position()) return;
  static_cast<void>(Stream.Reserve(static_cast<size_t>(Stream.Position() + Size)));
}

bool TFTPSend::SetTransferType() {
  // A refusal would leave the server in the text type of the last listing,
  // rewriting the line ends of the file on its way.
  return ReplyClass(FTPCommand(FBinaryMode ? "TYPE I" : "TYPE A")) == 2;
}

bool TFTPSend::RetrieveFile(const std::string& FileName, bool Restore) {
  if (FileName.empty()) return false;
  if (!OpenDataChannel()) return false;
  if (!SetTransferType()) return false;
  if (Restore && FCanResume) {
    FDataStream->SetPosition(FDataStream->Size());
    if (ReplyClass(FTPCommand("REST " + std::to_string(FDataStream->Size()))) != 3) return false;
  } else {
    FDataStream->Clear();
  }
  if (ReplyClass(FTPCommand("RETR " + FileName)) != 1) return false;
  ReserveAnnounced(*FDataStream, AnnouncedSize(FResultString));
  const bool result = DataRead(*FDataStream);
  FDataStream->SetPosition(0);
  return result;
}

bool TFTPSend::StoreFile(const std::string& FileName, bool Restore) {
  if (FileName.empty()) return false;
  int32_t restoreAt = 0;
  if (Restore && FCanResume) restoreAt = std::max(FileSize(FileName), int32_t{0});
  return StoreStream("STOR " + FileName, restoreAt);
}

bool TFTPSend::StoreStream(const std::string& Command, int32_t RestoreAt) {
  if (!OpenDataChannel()) return false;
  if (!SetTransferType()) return false;
  // Sizes on this path are 32-bit: the low 32 bits of the buffer's size.
  const auto size = static_cast<int32_t>(static_cast<uint32_t>(FDataStream->Size()));
  if (!FCanResume) RestoreAt = 0;
  if (size > 0 && size == RestoreAt) return true;
  if (size < RestoreAt) RestoreAt = 0;
  FTPCommand("ALLO " + std::to_string(size - RestoreAt));
  if (FCanResume && ReplyClass(FTPCommand("REST " + std::to_string(RestoreAt))) != 3) return false;
  FDataStream->SetPosition(RestoreAt);
  if (ReplyClass(FTPCommand(Command)) != 1) return false;
  return DataWrite(*FDataStream);
}

int32_t TFTPSend::FileSize(const std::string& FileName) {
  if (ReplyClass(FTPCommand("SIZE " + FileName)) != 2) return -1;
  std::string_view text = FResultString;
  const size_t blank = text.find(' ');
  text = blank == std::string_view::npos ? std::string_view() : TrimBlanks(text.substr(blank + 1));
  text = TrimBlanks(TextBefore(text, ' '));
  int32_t size = -1;
  return ReadDecimal(text, size) ? size : -1;
}

bool TFTPSend::DeleteFile(const std::string& FileName) {
  return ReplyClass(FTPCommand("DELE " + FileName)) == 2;
}
