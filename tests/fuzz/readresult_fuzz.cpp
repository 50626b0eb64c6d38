// Reading replies (ReadResult) from a real socket whose peer sends the input
// in pieces: the first two bytes choose where the rest is cut, and the peer
// sends the next piece only when the session has taken the last one, so
// every cut is a packet boundary on the session's side. The peer closes at
// the end. However the bytes are cut, the replies must come out as the rule
// reads them from the whole stream: lines end at CR LF, LF CR, CR or LF; a
// reply runs from its first line with a code to the line that starts with
// that code and a blank; a line left open when the peer closes is lost, and
// the read that meets the close ends its reply with an empty line.

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "ftp/ftpsend.h"
#include "fuzz/FuzzCheck.h"
#include "net/blcksock.h"
#include "platform/codepage.h"

namespace {

// Generous: the peer never keeps the session waiting, so a time-out here is
// a fault of the session.
constexpr int kReplyTimeoutMs = 3000;
// The session's own cap on the lines of one reply.
constexpr size_t kMaxReplyLines = 10000;

// Piece lengths from a seed: up to 1, 2, 4 ... 128 bytes, chosen by the
// seed's low bits, the lengths themselves from a xorshift sequence.
class TCutter {
 public:
  explicit TCutter(uint16_t Seed)
      : FState(Seed * 2654435761U + 1), FLongest(size_t{1} << (Seed & 7)) {}

  size_t Next() {
    FState ^= FState << 13;
    FState ^= FState >> 17;
    FState ^= FState << 5;
    return 1 + FState % FLongest;
  }

 private:
  uint32_t FState;
  size_t FLongest;
};

struct TReply {
  int Code;
  std::vector<std::string> Lines;
  bool operator==(const TReply&) const = default;
};

// The lines the stream holds, each without its end; an unterminated last
// line is not among them.
std::vector<std::string> TerminatedLines(std::string_view Stream) {
  std::vector<std::string> lines;
  for (;;) {
    const size_t end = Stream.find_first_of("\r\n");
    if (end == std::string_view::npos) return lines;
    lines.emplace_back(Stream.substr(0, end));
    const bool pair = end + 1 < Stream.size() &&
                      (Stream[end + 1] == '\r' || Stream[end + 1] == '\n') &&
                      Stream[end + 1] != Stream[end];
    Stream.remove_prefix(end + (pair ? 2 : 1));
  }
}

int DecimalOrZero(std::string_view Text) {
  const bool negative = Text.starts_with('-');
  if (negative || Text.starts_with('+')) Text.remove_prefix(1);
  if (Text.empty() || Text.find_first_not_of("0123456789") != std::string_view::npos) return 0;
  int value = 0;
  for (const char c : Text) value = value * 10 + (c - '0');
  return negative ? -value : value;
}

std::vector<TReply> ExpectedReplies(std::string_view Stream) {
  const std::vector<std::string> lines = TerminatedLines(Stream);
  std::vector<TReply> replies;
  size_t next = 0;
  for (;;) {
    TReply reply{0, {}};
    std::string code;
    bool closed = false;
    bool refused = false;
    for (;;) {
      closed = next == lines.size();
      const std::string raw = closed ? std::string() : lines[next++];
      if (code.empty() && raw.size() >= 4 && (raw[3] == ' ' || raw[3] == '-'))
        code = raw.substr(0, 3);
      reply.Lines.push_back(Cp1251ToUtf8(raw));
      if (reply.Lines.size() > kMaxReplyLines) {
        refused = true;
        break;
      }
      if (closed || (!code.empty() && raw.starts_with(code + ' '))) break;
    }
    reply.Code = refused ? 0 : DecimalOrZero(code);
    replies.push_back(std::move(reply));
    if (closed) return replies;
  }
}

int BytesWaiting(int Fd) {
  int count = 0;
  return ioctl(Fd, FIONREAD, &count) == 0 ? count : 0;
}

// Until the session has read everything sent so far. The session usually
// takes a piece at once; a longer wait sleeps, so as not to hold a core the
// session or anyone else needs.
void WaitUntilTaken(int SessionFd, const std::atomic<bool>& SessionDone) {
  for (int round = 0; !SessionDone && BytesWaiting(SessionFd) > 0; ++round) {
    if (round < 100)
      std::this_thread::yield();
    else
      std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
}

// The peer: sends the pieces one by one, each once the session has read the
// one before, then closes.
void Send(int Fd, int SessionFd, std::string_view Stream, TCutter Cutter,
          const std::atomic<bool>& SessionDone) {
  while (!Stream.empty() && !SessionDone) {
    const size_t length = std::min(Cutter.Next(), Stream.size());
    if (send(Fd, Stream.data(), length, MSG_NOSIGNAL) != static_cast<ssize_t>(length)) break;
    Stream.remove_prefix(length);
    WaitUntilTaken(SessionFd, SessionDone);
  }
  close(Fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const uint16_t seed = Size >= 2 ? static_cast<uint16_t>(Data[0] | Data[1] << 8) : 0;
  const std::string_view stream =
      Size >= 2 ? std::string_view(reinterpret_cast<const char*>(Data) + 2, Size - 2)
                : std::string_view(reinterpret_cast<const char*>(Data), Size);
  const std::vector<TReply> expected = ExpectedReplies(stream);

  int fds[2];
  FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0);
  TFTPSend session;
  session.SetTimeout(kReplyTimeoutMs);
  session.Sock().SetSocket(fds[0]);
  std::vector<std::string> reported;
  session.SetOnStatus([&reported](TFTPSend*, bool Response, const std::string& Value) {
    FUZZ_CHECK(Response);
    reported.push_back(Value);
  });

  std::atomic<bool> sessionDone{false};
  std::thread peer(Send, fds[1], fds[0], stream, TCutter(seed), std::cref(sessionDone));
  std::vector<TReply> replies;
  std::vector<std::string> allLines;
  do {
    const int code = session.ReadResult();
    FUZZ_CHECK(code == session.ResultCode());
    FUZZ_CHECK(!session.FullResult().empty() &&
               session.ResultString() == session.FullResult().back());
    replies.push_back({code, session.FullResult()});
    allLines.insert(allLines.end(), session.FullResult().begin(), session.FullResult().end());
  } while (session.Sock().LastError() == 0 && replies.size() <= expected.size());
  sessionDone = true;
  peer.join();

  FUZZ_CHECK(session.Sock().LastError() != WSAETIMEDOUT);
  FUZZ_CHECK(replies == expected);
  FUZZ_CHECK(reported == allLines);
  return 0;
}
