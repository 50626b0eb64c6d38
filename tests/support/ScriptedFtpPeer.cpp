#include "support/ScriptedFtpPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// Waits are cut into slices so that the destructor can stop the peer
// whatever it is waiting for.
constexpr int SliceMs = 20;

int ListenLoopback(bool ipv6, int& port) {
  const int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_storage addr{};
  socklen_t len;
  if (ipv6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&addr);
    a->sin6_family = AF_INET6;
    a->sin6_addr = in6addr_loopback;
    len = sizeof(sockaddr_in6);
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&addr);
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    len = sizeof(sockaddr_in);
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(fd, 8) != 0) {
    close(fd);
    throw std::runtime_error("cannot listen on loopback");
  }
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  port = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port
                    : reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
  return fd;
}

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

std::string JoinLines(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& line : lines) out += line + "\r\n";
  return out;
}

}  // namespace

struct ScriptedFtpPeer::Step {
  enum Kind {
    SendBytes,
    SlowBytes,
    ExpectLine,
    ExpectPassiveLine,
    DataOut,
    DataIn,
    DataInThenReset,
    DropControl,
    Quiet,
    Next
  };
  Kind What;
  std::string Text;   // bytes to send, expected command
  std::string Reply;  // reply bytes (ExpectLine) or reply template (ExpectPassiveLine)
  int Ms = 0;
  std::chrono::microseconds Gap{};  // between the bytes of a trickle
  size_t Count = 0;                 // bytes taken before a reset
};

ScriptedFtpPeer::ScriptedFtpPeer(bool IPv6, int StepTimeoutMs)
    : FIPv6(IPv6), FStepTimeoutMs(StepTimeoutMs) {
  FListener = ListenLoopback(IPv6, FPort);
}

ScriptedFtpPeer::~ScriptedFtpPeer() {
  FStop = true;
  if (FThread.joinable()) FThread.join();
  CloseFd(FControl);
  CloseFd(FDataListener);
  CloseFd(FListener);
}

ScriptedFtpPeer& ScriptedFtpPeer::Send(const std::vector<std::string>& Lines) {
  return SendRaw(JoinLines(Lines));
}

ScriptedFtpPeer& ScriptedFtpPeer::SendRaw(std::string Bytes) {
  FSteps.push_back({Step::SendBytes, std::move(Bytes), {}});
  return *this;
}

ScriptedFtpPeer& ScriptedFtpPeer::Expect(std::string Command,
                                         const std::vector<std::string>& Reply) {
  FSteps.push_back({Step::ExpectLine, std::move(Command), JoinLines(Reply)});
  return *this;
}

ScriptedFtpPeer& ScriptedFtpPeer::ExpectPassive(std::string Command, std::string ReplyLine) {
  FSteps.push_back({Step::ExpectPassiveLine, std::move(Command), std::move(ReplyLine)});
  return *this;
}

ScriptedFtpPeer& ScriptedFtpPeer::SendData(std::string Bytes) {
  FSteps.push_back({Step::DataOut, std::move(Bytes), {}});
  return *this;
}

ScriptedFtpPeer& ScriptedFtpPeer::ReceiveData() {
  FSteps.push_back({Step::DataIn, {}, {}});
  return *this;
}

ScriptedFtpPeer& ScriptedFtpPeer::ReceiveDataThenReset(size_t Bytes) {
  FSteps.push_back({Step::DataInThenReset, {}, {}, 0, {}, Bytes});
  return *this;
}

ScriptedFtpPeer& ScriptedFtpPeer::Trickle(std::string Bytes, std::chrono::microseconds Gap) {
  FSteps.push_back({Step::SlowBytes, std::move(Bytes), {}, 0, Gap});
  return *this;
}

ScriptedFtpPeer& ScriptedFtpPeer::Drop() {
  FSteps.push_back({Step::DropControl, {}, {}});
  return *this;
}

ScriptedFtpPeer& ScriptedFtpPeer::Silence(int Ms) {
  FSteps.push_back({Step::Quiet, {}, {}, Ms});
  return *this;
}

ScriptedFtpPeer& ScriptedFtpPeer::AcceptNext() {
  FSteps.push_back({Step::Next, {}, {}});
  return *this;
}

ScriptedFtpPeer& ScriptedFtpPeer::LoginSteps(const std::string& User, const std::string& Password,
                                             bool CanResume) {
  Send({"220 Scripted peer ready"});
  Expect("USER " + User, {"331 Password required"});
  Expect("PASS " + Password, {"230 Logged on"});
  Expect("TYPE I", {"200 Type set to I"});
  Expect("STRU F", {"200 Structure set to F"});
  Expect("MODE S", {"200 Mode set to S"});
  if (CanResume) {
    Expect("REST 0", {"350 Restarting at 0"});
    Expect("REST 1", {"350 Restarting at 1"});
    Expect("REST 0", {"350 Restarting at 0"});
  } else {
    Expect("REST 0", {"502 Command not implemented"});
  }
  return *this;
}

std::vector<std::string> ScriptedFtpPeer::LoginCommands(const std::string& User,
                                                        const std::string& Password,
                                                        bool CanResume) {
  std::vector<std::string> out = {"USER " + User, "PASS " + Password, "TYPE I",
                                  "STRU F",       "MODE S",           "REST 0"};
  if (CanResume) {
    out.emplace_back("REST 1");
    out.emplace_back("REST 0");
  }
  return out;
}

void ScriptedFtpPeer::Start() {
  FThread = std::thread([this] { Run(); });
}

bool ScriptedFtpPeer::WaitDone(int Ms) {
  std::unique_lock lock(FLock);
  return FDoneSignal.wait_for(lock, std::chrono::milliseconds(Ms), [this] { return FDone; });
}

std::vector<std::string> ScriptedFtpPeer::Received() const {
  std::lock_guard lock(FLock);
  return FReceived;
}

std::vector<std::string> ScriptedFtpPeer::DataReceived() const {
  std::lock_guard lock(FLock);
  return FDataReceived;
}

std::vector<std::string> ScriptedFtpPeer::Failures() const {
  std::lock_guard lock(FLock);
  return FFailures;
}

void ScriptedFtpPeer::Run() {
  bool ok = AcceptControl();
  for (size_t i = 0; ok && i < FSteps.size() && !FStop; ++i) ok = RunStep(FSteps[i]);
  if (!ok) CloseControl();
  {
    std::lock_guard lock(FLock);
    FDone = true;
  }
  FDoneSignal.notify_all();
  // Keep listening so that commands sent after the script are recorded too.
  std::string line;
  while (!FStop && FControl >= 0) ReadLine(line, SliceMs);
}

bool ScriptedFtpPeer::RunStep(const Step& step) {
  switch (step.What) {
    case Step::SendBytes: return SendControl(step.Text);
    case Step::SlowBytes:
      // A client that gives up and closes ends the trickle; that is what it
      // should do, not a script failure.
      for (const char byte : step.Text) {
        if (FControl < 0 || FStop || !SendAll(FControl, std::string(1, byte))) break;
        // Gaps under a millisecond are slept; what the client sends then
        // waits for the next longer wait.
        if (step.Gap < std::chrono::milliseconds(1))
          std::this_thread::sleep_for(step.Gap);
        else
          ListenFor(static_cast<int>(
              std::chrono::duration_cast<std::chrono::milliseconds>(step.Gap).count()));
      }
      return true;
    case Step::ExpectLine:
    case Step::ExpectPassiveLine: {
      std::string line;
      if (!ReadLine(line, FStepTimeoutMs)) {
        Fail("no command where \"" + step.Text + "\" was expected");
        return false;
      }
      if (line != step.Text) {
        Fail("expected \"" + step.Text + "\", received \"" + line + "\"");
        return false;
      }
      std::string reply = step.Reply;
      if (step.What == Step::ExpectPassiveLine) {
        CloseFd(FDataListener);
        int port = 0;
        FDataListener = ListenLoopback(FIPv6, port);
        ReplaceAll(reply, "{port}", std::to_string(port));
        ReplaceAll(reply, "{pasv}",
                   "127,0,0,1," + std::to_string(port / 256) + "," + std::to_string(port % 256));
        reply += "\r\n";
      }
      return SendControl(reply);
    }
    case Step::DataOut: {
      int data = AcceptOn(FDataListener);
      if (data < 0) {
        Fail("no data connection to send on");
        return false;
      }
      // A client that stops reading early (a size cap) makes the send fail;
      // that is its business, not a script failure.
      SendAll(data, step.Text);
      CloseFd(data);
      return true;
    }
    case Step::DataIn:
    case Step::DataInThenReset: {
      const bool reset = step.What == Step::DataInThenReset;
      int data = AcceptOn(FDataListener);
      if (data < 0) {
        Fail("no data connection to receive on");
        return false;
      }
      std::string payload;
      char buf[65536];
      while (!reset || payload.size() < step.Count) {
        if (!WaitFor(data, POLLIN, FStepTimeoutMs)) {
          Fail("data connection stalled");
          CloseFd(data);
          return false;
        }
        const size_t room = reset ? std::min(sizeof buf, step.Count - payload.size()) : sizeof buf;
        const ssize_t got = recv(data, buf, room, 0);
        if (got <= 0) break;
        payload.append(buf, static_cast<size_t>(got));
      }
      if (reset) {
        // Closing with unread input and a zero linger time sends a reset.
        const linger abort{1, 0};
        setsockopt(data, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
      }
      CloseFd(data);
      std::lock_guard lock(FLock);
      FDataReceived.push_back(std::move(payload));
      return true;
    }
    case Step::DropControl: CloseControl(); return true;
    case Step::Quiet: ListenFor(step.Ms); return true;
    case Step::Next: CloseControl(); return AcceptControl();
  }
  return false;
}

void ScriptedFtpPeer::ListenFor(int Ms) {
  const auto until = Clock::now() + std::chrono::milliseconds(Ms);
  std::string line;
  while (FControl >= 0 && !FStop && Clock::now() < until) ReadLine(line, SliceMs);
}

bool ScriptedFtpPeer::AcceptControl() {
  FInput.clear();
  FControl = AcceptOn(FListener);
  if (FControl < 0) Fail("no client connected");
  return FControl >= 0;
}

int ScriptedFtpPeer::AcceptOn(int listener) {
  if (listener < 0 || !WaitFor(listener, POLLIN, FStepTimeoutMs)) return -1;
  return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

bool ScriptedFtpPeer::WaitFor(int fd, short events, int ms) {
  const auto until = Clock::now() + std::chrono::milliseconds(ms);
  while (!FStop) {
    pollfd p{fd, events, 0};
    if (poll(&p, 1, SliceMs) > 0) return true;
    if (Clock::now() >= until) return false;
  }
  return false;
}

bool ScriptedFtpPeer::ReadLine(std::string& line, int ms) {
  const auto until = Clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    const size_t end = FInput.find('\n');
    if (end != std::string::npos) {
      line = FInput.substr(0, end);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      FInput.erase(0, end + 1);
      Record(line);
      return true;
    }
    if (FControl < 0) return false;
    const int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count());
    if (left <= 0 || !WaitFor(FControl, POLLIN, left)) return false;
    char buf[4096];
    const ssize_t got = recv(FControl, buf, sizeof buf, 0);
    if (got <= 0) {
      CloseControl();
      return false;
    }
    FInput.append(buf, static_cast<size_t>(got));
  }
}

bool ScriptedFtpPeer::SendAll(int fd, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n =
        send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return false;
    // A client that neither reads nor closes must not hang the peer.
    if (!WaitFor(fd, POLLOUT, FStepTimeoutMs)) return false;
  }
  return true;
}

bool ScriptedFtpPeer::SendControl(const std::string& bytes) {
  if (SendAll(FControl, bytes)) return true;
  Fail("the control connection is gone");
  return false;
}

void ScriptedFtpPeer::CloseControl() { CloseFd(FControl); }

void ScriptedFtpPeer::Fail(const std::string& why) {
  std::lock_guard lock(FLock);
  FFailures.push_back(why);
}

void ScriptedFtpPeer::Record(const std::string& line) {
  std::lock_guard lock(FLock);
  FReceived.push_back(line);
}
