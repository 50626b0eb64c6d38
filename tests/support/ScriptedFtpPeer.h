#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// An FTP peer of our own on loopback that plays a fixed script, so a test can
// show the exact commands a client sends and how it copes with replies and
// faults that real servers rarely produce.
//
// The script is built first, then Start() runs it on a thread of the peer:
// it accepts one control connection and runs the steps in order. Every line
// the client sends (without its CR LF, as raw bytes) is recorded in arrival
// order, also lines that arrive while the peer is silent and after the
// script has ended. A command that differs from the expected one is recorded
// in Failures() and ends the script by closing the connection. Every wait is
// bounded by the step time-out, so a wrong client never hangs a test.
class ScriptedFtpPeer {
 public:
  struct Step;

  // Listens on 127.0.0.1 (or ::1) at a free port at once; Port() is valid
  // before Start().
  explicit ScriptedFtpPeer(bool IPv6 = false, int StepTimeoutMs = 5000);
  ~ScriptedFtpPeer();
  ScriptedFtpPeer(const ScriptedFtpPeer&) = delete;
  ScriptedFtpPeer& operator=(const ScriptedFtpPeer&) = delete;

  int Port() const { return FPort; }
  std::string PortText() const { return std::to_string(FPort); }

  // --- Script steps, in the order they run.
  // Sends the lines, each followed by CR LF, in one write: a reply, a
  // greeting, or lines the client did not ask for.
  ScriptedFtpPeer& Send(const std::vector<std::string>& Lines);
  // Sends bytes exactly as given (odd line ends, huge lines, no line end).
  ScriptedFtpPeer& SendRaw(std::string Bytes);
  // Waits for the next command line, which must equal Command, then sends
  // Reply as Send does (nothing when empty). Lines placed after the reply's
  // last line arrive in the same write, so they are deterministically
  // "unasked" lines already waiting when the client sends its next command.
  ScriptedFtpPeer& Expect(std::string Command, const std::vector<std::string>& Reply = {});
  // Like Expect, but first opens a passive data listener. In ReplyLine
  // "{port}" becomes its port and "{pasv}" the comma form "127,0,0,1,p1,p2".
  ScriptedFtpPeer& ExpectPassive(std::string Command, std::string ReplyLine);
  // Accepts the client's data connection, sends the bytes, closes it.
  ScriptedFtpPeer& SendData(std::string Bytes);
  // Accepts the client's data connection and records everything it sends
  // until it closes.
  ScriptedFtpPeer& ReceiveData();
  // Accepts the client's data connection, records the first Bytes it sends,
  // then resets the connection, as a server whose transfer broke off.
  ScriptedFtpPeer& ReceiveDataThenReset(size_t Bytes);
  // Sends the bytes one at a time, one every Gap, as a server that keeps a
  // reply alive without ever finishing it. Stops early once the client closes.
  ScriptedFtpPeer& Trickle(std::string Bytes, std::chrono::microseconds Gap);
  // Closes the control connection.
  ScriptedFtpPeer& Drop();
  // Records what arrives but answers nothing, for Ms or until the client
  // closes.
  ScriptedFtpPeer& Silence(int Ms);
  // Closes the control connection (if still open) and accepts the next one.
  ScriptedFtpPeer& AcceptNext();
  // The greeting and a successful direct log-on as TFTPSend performs it:
  // "220 ...", USER, PASS, TYPE I, STRU F, MODE S and the restart probe,
  // which succeeds when CanResume is set.
  ScriptedFtpPeer& LoginSteps(const std::string& User, const std::string& Password, bool CanResume);

  void Start();
  // True once every step has run (or the script stopped at a failure).
  bool WaitDone(int Ms);

  std::vector<std::string> Received() const;
  std::vector<std::string> DataReceived() const;
  std::vector<std::string> Failures() const;

  // The command lines of a LoginSteps log-on, for comparing Received().
  static std::vector<std::string> LoginCommands(const std::string& User,
                                                const std::string& Password, bool CanResume);

 private:
  void Run();
  bool RunStep(const Step& step);
  bool AcceptControl();
  int AcceptOn(int listener);
  // Waits for poll events on fd, at most ms; false on time-out or stop.
  bool WaitFor(int fd, short events, int ms);
  // Records the lines that arrive for Ms, or until the client closes.
  void ListenFor(int Ms);
  // One line from the control connection; false on close or time-out.
  bool ReadLine(std::string& line, int ms);
  bool SendAll(int fd, const std::string& bytes);
  bool SendControl(const std::string& bytes);
  void CloseControl();
  void Fail(const std::string& why);
  void Record(const std::string& line);

  bool FIPv6;
  int FStepTimeoutMs;
  int FListener = -1;
  int FPort = 0;
  int FControl = -1;
  int FDataListener = -1;
  std::string FInput;
  std::vector<Step> FSteps;
  std::thread FThread;
  std::atomic<bool> FStop{false};

  mutable std::mutex FLock;
  std::condition_variable FDoneSignal;
  bool FDone = false;
  std::vector<std::string> FReceived;
  std::vector<std::string> FDataReceived;
  std::vector<std::string> FFailures;
};
