#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "ftp/ftpsend.h"
#include "platform/codepage.h"
#include "support/LoopbackSocketLibrary.h"
#include "support/ScriptedFtpPeer.h"

// The FTP session against a scripted peer: the exact command sequences of
// log-on and of every transfer, reply parsing, and the faults a real server
// rarely shows.

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

namespace {

// The process-wide socket library, started as program start does.
const auto* const SocketLibrary = ::testing::AddGlobalTestEnvironment(new LoopbackSocketLibrary);

constexpr int ShortTimeoutMs = 1500;

// A scripted peer and a session pointed at it. The session goes first, so
// the peer sees the connection end before it stops.
struct Session {
  explicit Session(bool IPv6 = false) : peer(IPv6) {
    ftp.SetTargetHost(IPv6 ? "::1" : "127.0.0.1");
    ftp.SetTargetPort(peer.PortText());
    ftp.SetUserName("u");
    ftp.SetPassword("p");
    ftp.SetTimeout(ShortTimeoutMs);
  }

  // Starts the script and connects without logging on, for reading replies
  // directly.
  void Connect() {
    peer.Start();
    ftp.Sock().Connect(ftp.TargetHost(), ftp.TargetPort());
    ASSERT_EQ(ftp.Sock().LastError(), 0);
  }

  // What the peer received after the log-on commands.
  std::vector<std::string> CommandsAfterLogin(bool CanResume) const {
    const auto all = peer.Received();
    const size_t skip = ScriptedFtpPeer::LoginCommands("u", "p", CanResume).size();
    return {all.begin() + static_cast<std::ptrdiff_t>(std::min(skip, all.size())), all.end()};
  }

  // Runs the script with a log-on first.
  void StartAndLogin(bool CanResume) {
    peer.Start();
    ASSERT_TRUE(ftp.Login());
    ASSERT_EQ(ftp.CanResume(), CanResume);
  }

  // The script of a listing: "TYPE A", "EPSV 1" and the LIST command, which
  // gets Reply.
  ScriptedFtpPeer& ExpectListing(const std::string& Command,
                                 const std::vector<std::string>& Reply) {
    return peer.Expect("TYPE A", {"200 ok"})
        .ExpectPassive("EPSV 1", "229 Entering Extended Passive Mode (|||{port}|)")
        .Expect(Command, Reply);
  }

  void ExpectScriptDone() {
    EXPECT_TRUE(peer.WaitDone(5000));
    EXPECT_THAT(peer.Failures(), IsEmpty());
  }

  ScriptedFtpPeer peer;
  TFTPSend ftp;
};

std::string Repeat(const std::string& piece, size_t times) {
  std::string out;
  out.reserve(piece.size() * times);
  for (size_t i = 0; i < times; ++i) out += piece;
  return out;
}

std::string AllByteValues() {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  return bytes;
}

}  // namespace

TEST(FtpSession, DefaultsOfANewSession) {
  TFTPSend ftp;
  EXPECT_EQ(ftp.TargetHost(), "127.0.0.1");
  EXPECT_EQ(ftp.TargetPort(), "21");
  EXPECT_EQ(ftp.IPInterface(), "0.0.0.0");
  EXPECT_EQ(ftp.Timeout(), 300000);
  EXPECT_EQ(ftp.UserName(), "anonymous");
  EXPECT_THAT(ftp.Password(), ::testing::StartsWith("anonymous@"));
  EXPECT_GT(ftp.Password().size(), std::string("anonymous@").size());
  EXPECT_EQ(ftp.Account(), "");
  EXPECT_TRUE(ftp.Sock().ConvertLineEnd());
  EXPECT_EQ(ftp.ResultCode(), 0);
  EXPECT_THAT(ftp.FullResult(), IsEmpty());
  EXPECT_FALSE(ftp.CanResume());
  EXPECT_TRUE(ftp.PassiveMode());
  EXPECT_TRUE(ftp.BinaryMode());
  EXPECT_FALSE(ftp.ForceOldPort());
  EXPECT_EQ(ftp.DataStream().Size(), 0);
  EXPECT_EQ(ftp.FtpList().Count(), 0);
  EXPECT_EQ(ftp.MaxDataSize(), 2147483647);
  EXPECT_EQ(ftp.MaxListingSize(), 16 * 1024 * 1024);
}

// --- Reading replies

TEST(FtpSessionReply, ReplyFormsAndWhatEndsThem) {
  struct Case {
    const char* name;
    std::string bytes;  // what the peer sends; then it stays silent
    bool dropAfter;
    int code;
    std::string resultString;
    std::vector<std::string> fullResult;
  };
  // One case to a line, however long.
  // clang-format off
  const Case cases[] = {
      {"single line", "220 Ready\r\n", false, 220, "220 Ready", {"220 Ready"}},
      {"multi-line",
       "220-Welcome\r\n220-Second line\r\n220 Ready\r\n",
       false,
       220,
       "220 Ready",
       {"220-Welcome", "220-Second line", "220 Ready"}},
      {"another code inside does not end it",
       "220-Welcome\r\n230 text\r\n220 Ready\r\n",
       false,
       220,
       "220 Ready",
       {"220-Welcome", "230 text", "220 Ready"}},
      {"a bare code does not end it; the time-out does",
       "220\r\n",
       false,
       0,
       "",
       {"220", ""}},
      {"the code is not tested for digits", "abc-x\r\nabc y\r\n", false, 0, "abc y", {"abc-x", "abc y"}},
      {"lines before the first coded line",
       "hello\r\n220 Ready\r\n",
       false,
       220,
       "220 Ready",
       {"hello", "220 Ready"}},
      {"a drop mid-reply keeps the code", "220-Welcome\r\n", true, 220, "", {"220-Welcome", ""}},
      {"a drop before any line", "", true, 0, "", {""}},
      {"LF and CR end lines too",
       "220-a\n220-b\r220 c\r\n",
       false,
       220,
       "220 c",
       {"220-a", "220-b", "220 c"}},
      {"code page 1251 text", "220 \xCF\xF0\xE8\xE2\xE5\xF2\r\n", false, 220, "220 Привет", {"220 Привет"}},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Session s;
    s.ftp.SetTimeout(300);
    s.peer.SendRaw(c.bytes);
    if (c.dropAfter) s.peer.Drop();
    s.Connect();
    EXPECT_EQ(s.ftp.ReadResult(), c.code);
    EXPECT_EQ(s.ftp.ResultCode(), c.code);
    EXPECT_EQ(s.ftp.ResultString(), c.resultString);
    EXPECT_EQ(s.ftp.FullResult(), c.fullResult);
  }
}

// Mended fault: a server cannot make one reply grow without bound.
TEST(FtpSessionReply, OversizedRepliesReadAsFailed) {
  const size_t MiB = size_t{1024} * 1024;
  struct Case {
    const char* name;
    std::string bytes;
    int code;
    size_t lines;
  };
  // One case to a line, however long.
  // clang-format off
  const Case cases[] = {
      {"a line of exactly 1 MiB is fine", "220 " + std::string(MiB - 4, 'x') + "\r\n", 220, 1},
      {"a line one byte longer fails", "220 " + std::string(MiB - 3, 'x') + "\r\n", 0, 1},
      {"an over-long line fails even after a coded line",
       "220-Welcome\r\n" + std::string(MiB + 1, 'x') + "\r\n220 Ready\r\n", 0, 2},
      {"a line that never ends stops at the cap", "220-" + std::string(4 * MiB, 'x'), 0, 1},
      {"10,000 lines are fine", Repeat("220-x\r\n", 9999) + "220 end\r\n", 220, 10000},
      {"10,001 lines fail", Repeat("220-x\r\n", 10000) + "220 end\r\n", 0, 10001},
      {"an endless reply stops after 10,001 lines", Repeat("220-x\r\n", 30000), 0, 10001},
      {"lines of 1 MiB in all are fine",
       "220-" + std::string(MiB / 2 - 4, 'x') + "\r\n220 " + std::string(MiB / 2 - 4, 'x') + "\r\n", 220, 2},
      // Each byte 0x85 decodes to three: lines under the line cap would
      // otherwise swell one reply to gigabytes.
      {"lines past 1 MiB in all fail",
       Repeat("220-" + std::string(MiB / 2, '\x85') + "\r\n", 40) + "220 end\r\n", 0, 2},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Session s;
    // No case waits for the time-out, which bounds the whole reply: under the
    // sanitizers reading 10,000 lines takes its time.
    s.ftp.SetTimeout(30000);
    s.peer.SendRaw(c.bytes);
    s.Connect();
    EXPECT_EQ(s.ftp.ReadResult(), c.code);
    EXPECT_EQ(s.ftp.FullResult().size(), c.lines);
    // What the socket holds back stays bounded too: the line cap plus its
    // end, one packet of slack the cap allows, and the packet that passed it.
    EXPECT_LE(s.ftp.Sock().LineBuffer().size(), MiB + 2 + 2 * size_t{65536});
  }
}

// Mended fault: the time-out bounds a whole reply, so a server that keeps a
// reply alive a byte at a time cannot hold the session for longer.
TEST(FtpSessionReply, TrickledReplyEndsAtTheTimeout) {
  using std::chrono::microseconds;
  const struct {
    const char* name;
    std::string bytes;
    microseconds gap;
  } cases[] = {
      // A byte every 50 ms: the trickle would last 10 s and more.
      {"one line that never ends", "220-" + std::string(200, 'x'), microseconds(50000)},
      {"line after line, never the last", Repeat("220-x\r\n", 40), microseconds(50000)},
      // Mended fault: bytes less than a millisecond apart all count, so a
      // reply trickled this fast ends at the time-out too, not 10 s later.
      {"a byte every half millisecond", "220-" + std::string(40000, 'x'), microseconds(500)},
      {"uncoded lines every half millisecond", Repeat("x\r\n", 4000), microseconds(500)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Session s;
    s.ftp.SetTimeout(300);
    s.peer.Trickle(c.bytes, c.gap);
    s.Connect();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(s.ftp.ReadResult(), 0);
    EXPECT_EQ(s.ftp.Sock().LastError(), WSAETIMEDOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  }
}

TEST(FtpSessionReply, StatusObserverSeesCommandsAndReplyLines) {
  Session s;
  s.peer.Send({"220 Hi"}).Expect("USER u", {"331-Need", "331 password"});
  std::vector<std::string> seen;
  s.ftp.SetOnStatus([&](TFTPSend* sender, bool response, const std::string& value) {
    EXPECT_EQ(sender, &s.ftp);
    seen.push_back((response ? "< " : "> ") + value);
  });
  s.Connect();
  s.ftp.ReadResult();
  EXPECT_EQ(s.ftp.FTPCommand("USER u"), 331);
  EXPECT_THAT(seen, ElementsAre("< 220 Hi", "> USER u", "< 331-Need", "< 331 password"));
}

TEST(FtpSessionReply, LateUnaskedReplyIsDiscardedBeforeTheNextCommand) {
  Session s;
  s.peer.LoginSteps("u", "p", false)
      .Expect("DELE a", {"250 Deleted", "226 Transfer complete (late and unasked)"})
      .Expect("DELE b", {"550 No such file"});
  s.StartAndLogin(false);
  EXPECT_TRUE(s.ftp.DeleteFile("a"));
  EXPECT_FALSE(s.ftp.DeleteFile("b"));
  EXPECT_EQ(s.ftp.ResultCode(), 550);
  EXPECT_THAT(s.ftp.FullResult(), ElementsAre("550 No such file"));
  s.ExpectScriptDone();
}

TEST(FtpSessionReply, CommandTextTravelsInCodePage1251) {
  Session s;
  // A literal split after a hex escape stays on its line.
  // clang-format off
  s.peer.Send({"220 Hi"}).Expect("DELE \xD7\xE5\xEA \xB9" "1.ch", {"250 \xD3\xE4\xE0\xEB\xE5\xED"});
  // clang-format on
  s.Connect();
  s.ftp.ReadResult();
  EXPECT_TRUE(s.ftp.DeleteFile("Чек №1.ch"));
  EXPECT_EQ(s.ftp.ResultString(), "250 Удален");
  s.ExpectScriptDone();
}

// --- Log-on and log-off

TEST(FtpSessionLogin, LogonTableGreetingAndRestartProbe) {
  struct Exchange {
    std::string command;
    std::vector<std::string> reply;
  };
  struct Case {
    const char* name;
    std::vector<std::string> greeting;
    std::vector<Exchange> exchanges;
    bool result;
    bool canResume;
    int finalCode;
  };
  // The exchanges of the log-on, as the server answers them.
  // clang-format off
  const std::vector<Exchange> afterLogon = {{"TYPE I", {"200 ok"}},
                                            {"STRU F", {"200 ok"}},
                                            {"MODE S", {"200 ok"}}};
  const auto with = [](std::vector<Exchange> head, const std::vector<Exchange>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
  };
  const std::vector<Exchange> userPass = {{"USER u", {"331 Password"}}, {"PASS p", {"230 In"}}};
  const std::vector<Exchange> probeOk = {{"REST 0", {"350 ok"}}, {"REST 1", {"350 ok"}}, {"REST 0", {"350 ok"}}};
  // clang-format on
  // One case to a line, however long.
  // clang-format off
  const Case cases[] = {
      {"usual log-on, restart probe accepted",
       {"220 Ready"},
       with(with(userPass, afterLogon), probeOk),
       true,
       true,
       350},
      {"120 then 220 greeting",
       {"120 Wait a moment", "220 Ready"},
       with(with(userPass, afterLogon), probeOk),
       true,
       true,
       350},
      {"230 after USER: no PASS",
       {"220 Ready"},
       with(with({{"USER u", {"230 In without password"}}}, afterLogon), probeOk),
       true,
       true,
       350},
      {"332 after PASS: ACCT with the empty account",
       {"220 Ready"},
       with(with({{"USER u", {"331 Password"}}, {"PASS p", {"332 Account"}}, {"ACCT ", {"230 In"}}},
                 afterLogon),
            probeOk),
       true,
       true,
       350},
      {"ACCT refused",
       {"220 Ready"},
       {{"USER u", {"331 Password"}}, {"PASS p", {"332 Account"}}, {"ACCT ", {"530 No"}}},
       false,
       false,
       530},
      {"USER refused", {"220 Ready"}, {{"USER u", {"530 Not you"}}}, false, false, 530},
      {"PASS refused", {"220 Ready"}, {{"USER u", {"331 Password"}}, {"PASS p", {"530 Wrong"}}}, false, false, 530},
      {"a class 3 reply to ACCT fails",
       {"220 Ready"},
       {{"USER u", {"331 Password"}}, {"PASS p", {"332 Account"}}, {"ACCT ", {"331 Again"}}},
       false,
       false,
       331},
      {"greeting refused", {"421 Too many users"}, {}, false, false, 421},
      {"REST 0 answered 502: probe ends",
       {"220 Ready"},
       with(with(userPass, afterLogon), {{"REST 0", {"502 No"}}}),
       true,
       false,
       502},
      {"REST 1 answered 501: no third command",
       {"220 Ready"},
       with(with(userPass, afterLogon), {{"REST 0", {"350 ok"}}, {"REST 1", {"501 No"}}}),
       true,
       false,
       501},
      // Mended fault: the server would start the next download at byte 1.
      {"last REST 0 refused: the log-on fails",
       {"220 Ready"},
       with(with(userPass, afterLogon),
            {{"REST 0", {"350 ok"}}, {"REST 1", {"350 ok"}}, {"REST 0", {"502 No"}}}),
       false,
       false,
       502},
      {"REST 0 answered 200: only exactly 350 counts",
       {"220 Ready"},
       with(with(userPass, afterLogon), {{"REST 0", {"200 ok"}}}),
       true,
       false,
       200},
      {"refusals of TYPE, STRU and MODE are ignored",
       {"220 Ready"},
       with(userPass, {{"TYPE I", {"504 No"}},
                       {"STRU F", {"504 No"}},
                       {"MODE S", {"504 No"}},
                       {"REST 0", {"502 No"}}}),
       true,
       false,
       502},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Session s;
    s.peer.Send(c.greeting);
    std::vector<std::string> commands;
    for (const auto& e : c.exchanges) {
      s.peer.Expect(e.command, e.reply);
      commands.push_back(e.command);
    }
    s.peer.Start();
    EXPECT_EQ(s.ftp.Login(), c.result);
    EXPECT_EQ(s.ftp.CanResume(), c.canResume);
    EXPECT_EQ(s.ftp.ResultCode(), c.finalCode);
    s.ExpectScriptDone();
    EXPECT_EQ(s.peer.Received(), commands);
  }
}

TEST(FtpSessionLogin, DropAfterFirstGreetingLineFailsAtUser) {
  Session s;
  s.peer.Send({"220-Welcome"}).Drop();
  std::vector<std::string> sent;
  s.ftp.SetOnStatus([&](TFTPSend*, bool response, const std::string& value) {
    if (!response) sent.push_back(value);
  });
  s.peer.Start();
  EXPECT_FALSE(s.ftp.Login());
  EXPECT_THAT(sent, ElementsAre("USER u"));
  EXPECT_EQ(s.ftp.ResultCode(), 0);
}

TEST(FtpSessionLogin, RefusedConnectionKeepsThePreviousReply) {
  Session s;
  s.peer.Send({"220 Ready"}).Expect("USER u", {"530 Not you"});
  s.peer.Start();
  EXPECT_FALSE(s.ftp.Login());
  EXPECT_EQ(s.ftp.ResultCode(), 530);
  {
    ScriptedFtpPeer gone;
    s.ftp.SetTargetPort(gone.PortText());
  }
  EXPECT_FALSE(s.ftp.Login());
  EXPECT_EQ(s.ftp.ResultCode(), 530);
  EXPECT_EQ(s.ftp.Sock().LastError(), WSAECONNREFUSED);
}

TEST(FtpSessionLogin, LoginAgainOpensAFreshConnectionAndClearsCanResume) {
  Session s;
  s.peer.LoginSteps("u", "p", true)
      .Expect("QUIT", {"221 Bye"})
      .AcceptNext()
      .LoginSteps("u", "p", false);
  s.StartAndLogin(true);
  EXPECT_TRUE(s.ftp.Logout());
  EXPECT_TRUE(s.ftp.Login());
  EXPECT_FALSE(s.ftp.CanResume());
  s.ExpectScriptDone();
}

TEST(FtpSessionLogin, LogoutClosesWhateverTheAnswer) {
  struct Case {
    const char* name;
    std::optional<std::string> quitReply;  // none: the server is already gone
    bool result;
    int code;
  };
  // One case to a line, however long.
  // clang-format off
  const Case cases[] = {
      {"QUIT answered 221", "221 Bye", true, 221},
      {"QUIT refused", "500 No", false, 500},
      {"server already gone", std::nullopt, false, 0},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Session s;
    s.peer.LoginSteps("u", "p", false);
    if (c.quitReply) {
      s.peer.Expect("QUIT", {*c.quitReply});
    } else {
      s.peer.Drop();
    }
    s.StartAndLogin(false);
    // The drop must have happened before the session tries to log out.
    if (!c.quitReply) {
      ASSERT_TRUE(s.peer.WaitDone(5000));
    }
    EXPECT_EQ(s.ftp.Logout(), c.result);
    EXPECT_EQ(s.ftp.ResultCode(), c.code);
    EXPECT_EQ(s.ftp.Sock().Socket(), INVALID_SOCKET_HANDLE);
  }
}

TEST(FtpSessionLogin, EveryOperationFailsWithoutALogon) {
  TFTPSend ftp;
  ftp.SetTimeout(300);
  EXPECT_FALSE(ftp.DeleteFile("a"));
  EXPECT_EQ(ftp.ResultCode(), 0);
  EXPECT_EQ(ftp.FileSize("a"), -1);
  EXPECT_FALSE(ftp.RetrieveFile("a", false));
  EXPECT_FALSE(ftp.List("", false));
  EXPECT_FALSE(ftp.StoreFile("a", false));
  EXPECT_EQ(ftp.ResultCode(), 0);
}

// --- Passive negotiation

TEST(FtpSessionPassive, ParseRemote) {
  struct Case {
    std::string reply;
    std::string ip;
    std::string port;
  };
  // One case to a line, however long.
  // clang-format off
  const Case cases[] = {
      {"227 Entering Passive Mode (192,168,1,2,19,137)", "192.168.1.2", "5001"},
      {"227 Entering Passive Mode 10,0,0,5,4,1", "10.0.0.5", "1025"},
      {"  227 Entering Passive Mode ( 1 , 2 , 3 , 4 , 0 , 21 ).  ", "1.2.3.4", "21"},
      {"227 =10,0,0,5,4,1", "=10.0.0.5", "1025"},
      {"227 Mode (1,2,3,4,x,7)", "1.2.3.4", "7"},
      {"227 Mode (1,2,3)", "1.2.3.", "0"},
      {"227 Mode (1,2,3,4,300,300)", "1.2.3.4", "77100"},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    TFTPSend ftp;
    ftp.ParseRemote(c.reply);
    EXPECT_EQ(ftp.DataIP(), c.ip);
    EXPECT_EQ(ftp.DataPort(), c.port);
  }
}

TEST(FtpSessionPassive, ParseRemoteEPSV) {
  struct Case {
    std::string reply;
    std::string port;
  };
  // One case to a line, however long.
  // clang-format off
  const Case cases[] = {
      {"229 Entering Extended Passive Mode (|||921|)", "921"},
      {"229 Entering Extended Passive Mode ( |||921| ) x", "921"},
      {"229 Entering Extended Passive Mode (|||921|", "921"},
      {"229 Extended (|||921)", "92"},
      {"229 Extended 921|", "921"},
      {"229 Extended (|||x|)", ""},
      {"229 Extended ()", ""},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    TFTPSend ftp;
    ftp.SetTargetHost("ftp.example");
    ftp.ParseRemoteEPSV(c.reply);
    EXPECT_EQ(ftp.DataPort(), c.port);
    EXPECT_EQ(ftp.DataIP(), "ftp.example");
  }
}

TEST(FtpSessionPassive, EpsvFirstThenPasvWithAndWithoutParentheses) {
  struct Case {
    const char* name;
    bool forceOldPort;
    std::vector<std::pair<std::string, std::string>> refused;  // command, reply
    std::string passiveCommand;
    std::string passiveReply;
  };
  // One case to a line, however long.
  // clang-format off
  const Case cases[] = {
      {"EPSV accepted", false, {}, "EPSV 1", "229 Entering Extended Passive Mode (|||{port}|)"},
      {"EPSV refused, PASV with parentheses",
       false,
       {{"EPSV 1", "500 Unknown command"}},
       "PASV",
       "227 Entering Passive Mode ({pasv})"},
      {"EPSV refused, PASV without parentheses",
       false,
       {{"EPSV 1", "502 Not implemented"}},
       "PASV",
       "227 Entering Passive Mode {pasv}"},
      {"ForceOldPort skips EPSV", true, {}, "PASV", "227 Entering Passive Mode ({pasv})"},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Session s;
    s.ftp.SetForceOldPort(c.forceOldPort);
    s.peer.LoginSteps("u", "p", false);
    std::vector<std::string> expected;
    for (const auto& [command, reply] : c.refused) {
      s.peer.Expect(command, {reply});
      expected.push_back(command);
    }
    s.peer.ExpectPassive(c.passiveCommand, c.passiveReply)
        .Expect("TYPE I", {"200 ok"})
        .Expect("RETR f", {"150 Opening"})
        .SendData("content")
        .Send({"226 Done"});
    expected.insert(expected.end(), {c.passiveCommand, "TYPE I", "RETR f"});
    s.StartAndLogin(false);
    EXPECT_TRUE(s.ftp.RetrieveFile("f", false));
    EXPECT_EQ(s.ftp.DataStream().Bytes(), "content");
    EXPECT_EQ(s.ftp.DataIP(), "127.0.0.1");
    EXPECT_NE(s.ftp.DataPort(), "");
    s.ExpectScriptDone();
    EXPECT_EQ(s.CommandsAfterLogin(false), expected);
  }
}

TEST(FtpSessionPassive, NoPassiveModeAcceptedFailsBeforeTheCommand) {
  Session s;
  s.peer.LoginSteps("u", "p", false).Expect("EPSV 1", {"500 No"}).Expect("PASV", {"500 No"});
  s.StartAndLogin(false);
  s.ftp.DataStream().Assign("kept");
  s.ftp.DataStream().SetPosition(2);
  EXPECT_FALSE(s.ftp.RetrieveFile("f", false));
  EXPECT_EQ(s.ftp.DataStream().Bytes(), "kept");
  EXPECT_EQ(s.ftp.DataStream().Position(), 2);
  s.ExpectScriptDone();
  EXPECT_THAT(s.CommandsAfterLogin(false), ElementsAre("EPSV 1", "PASV"));
}

TEST(FtpSessionPassive, OverIPv6EpsvTwoAndNeverPasv) {
  {
    SCOPED_TRACE("EPSV 2 accepted");
    Session s(true);
    s.peer.LoginSteps("u", "p", false)
        .ExpectPassive("EPSV 2", "229 Entering Extended Passive Mode (|||{port}|)")
        .Expect("TYPE I", {"200 ok"})
        .Expect("RETR f", {"150 Opening"})
        .SendData("v6")
        .Send({"226 Done"});
    s.StartAndLogin(false);
    EXPECT_TRUE(s.ftp.RetrieveFile("f", false));
    EXPECT_EQ(s.ftp.DataStream().Bytes(), "v6");
    EXPECT_EQ(s.ftp.DataIP(), "::1");
    s.ExpectScriptDone();
  }
  {
    SCOPED_TRACE("EPSV 2 refused");
    Session s(true);
    s.peer.LoginSteps("u", "p", false).Expect("EPSV 2", {"500 No"});
    s.StartAndLogin(false);
    EXPECT_FALSE(s.ftp.RetrieveFile("f", false));
    s.ExpectScriptDone();
    EXPECT_THAT(s.CommandsAfterLogin(false), ElementsAre("EPSV 2"));
  }
}

TEST(FtpSessionPassive, UnreachableDataPortFails) {
  Session s;
  int closedPort;
  {
    ScriptedFtpPeer gone;
    closedPort = gone.Port();
  }
  s.peer.LoginSteps("u", "p", false)
      .Expect("EPSV 1",
              {"229 Entering Extended Passive Mode (|||" + std::to_string(closedPort) + "|)"});
  s.StartAndLogin(false);
  EXPECT_FALSE(s.ftp.RetrieveFile("f", false));
  EXPECT_EQ(s.ftp.DSock().LastError(), WSAECONNREFUSED);
  s.ExpectScriptDone();
  EXPECT_THAT(s.CommandsAfterLogin(false), ElementsAre("EPSV 1"));
}

// --- Listing

TEST(FtpSessionList, CommandsAndDirectoryArgument) {
  const std::string listing =
      "-rw-r--r--   1 owner    group         123 Jan 02 12:34 price.txt\r\n"
      "drwxr-xr-x   2 owner    group        4096 Jan 02 12:34 sub\r\n";
  struct Case {
    std::string directory;
    std::string command;
  };
  const Case cases[] = {{"", "LIST"}, {"scale\\", "LIST scale\\"}, {"a b", "LIST a b"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    Session s;
    s.peer.LoginSteps("u", "p", true);
    s.ExpectListing(c.command, {"150 Here it comes"}).SendData(listing).Send({"226 Done"});
    s.StartAndLogin(true);
    EXPECT_TRUE(s.ftp.List(c.directory, false));
    EXPECT_EQ(s.ftp.DataStream().Bytes(), listing);
    EXPECT_EQ(s.ftp.DataStream().Position(), 0);
    ASSERT_EQ(s.ftp.FtpList().Count(), 2);
    EXPECT_EQ(s.ftp.FtpList().Items(0)->FileName(), "price.txt");
    EXPECT_FALSE(s.ftp.FtpList().Items(0)->Directory());
    EXPECT_EQ(s.ftp.FtpList().Items(1)->FileName(), "sub");
    EXPECT_TRUE(s.ftp.FtpList().Items(1)->Directory());
    s.ExpectScriptDone();
    EXPECT_THAT(s.CommandsAfterLogin(true), ElementsAre("TYPE A", "EPSV 1", c.command));
  }
}

TEST(FtpSessionList, ListingTextDecodingAndLineEnds) {
  struct Case {
    const char* name;
    std::string bytes;
    std::vector<std::string> lines;
  };
  // One case to a line, however long.
  // clang-format off
  const Case cases[] = {
      {"code page 1251 by default", "\xCF\xF0\xE0\xE9\xF1.txt\r\nb\r\n", {"Прайс.txt", "b"}},
      {"LF, CR and CR LF", "a\nb\rc\r\nd", {"a", "b", "c", "d"}},
      {"empty lines are kept", "a\r\n\r\nb\n\n", {"a", "", "b", ""}},
      {"UTF-8 byte-order mark", "\xEF\xBB\xBF\xD0\x9F\xD1\x80\xD0\xB0\xD0\xB9\xD1\x81\r\n", {"Прайс"}},
      {"UTF-16LE byte-order mark", std::string("\xFF\xFE\x1F\x04\x40\x04\r\0\n\0x\0", 12), {"Пр", "x"}},
      {"UTF-16BE byte-order mark", std::string("\xFE\xFF\x04\x1F\x04\x40\0\r\0\n", 10), {"Пр"}},
      {"UTF-16 surrogate pair", std::string("\xFF\xFE\x3D\xD8\x00\xDE", 6), {"\xF0\x9F\x98\x80"}},
      {"an empty listing", "", {}},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Session s;
    s.peer.LoginSteps("u", "p", false);
    s.ExpectListing("LIST", {"150 Here"}).SendData(c.bytes).Send({"226 Done"});
    s.StartAndLogin(false);
    EXPECT_TRUE(s.ftp.List("", false));
    EXPECT_EQ(s.ftp.FtpList().Lines(), c.lines);
    EXPECT_EQ(s.ftp.DataStream().Bytes(), c.bytes);
    s.ExpectScriptDone();
  }
}

TEST(FtpSessionList, RefusedOrFailedListingLeavesNothing) {
  struct Case {
    const char* name;
    std::vector<std::string> listReply;
    bool sendsData;
    std::vector<std::string> finalReply;
  };
  // One case to a line, however long.
  // clang-format off
  const Case cases[] = {
      {"LIST answered 550", {"550 No such directory"}, false, {}},
      {"LIST answered 226 instead of class 1", {"226 Nothing"}, false, {}},
      {"final reply 426", {"150 Here"}, true, {"426 Aborted"}},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Session s;
    s.peer.LoginSteps("u", "p", false);
    s.ExpectListing("LIST", c.listReply);
    if (c.sendsData) s.peer.SendData("-rw-r--r-- 1 o g 1 Jan 02 12:34 a\r\n").Send(c.finalReply);
    s.StartAndLogin(false);
    s.ftp.DataStream().Assign("old content");
    s.ftp.DataStream().SetPosition(3);
    EXPECT_FALSE(s.ftp.List("", false));
    EXPECT_EQ(s.ftp.FtpList().Count(), 0);
    EXPECT_EQ(s.ftp.DataStream().Position(), 0);
    if (!c.sendsData) {
      EXPECT_EQ(s.ftp.DataStream().Size(), 0);
    }
    s.ExpectScriptDone();
  }
}

// --- Downloads

TEST(FtpSessionRetrieve, DownloadsIntoTheDataStream) {
  struct Case {
    const char* name;
    std::string content;
    std::string finalReply;
    bool result;
  };
  // One case to a line, however long.
  // clang-format off
  const Case cases[] = {
      {"text file", "price data\r\n", "226 Done", true},
      {"every byte value", AllByteValues(), "226 Done", true},
      {"zero-length file", "", "226 Done", true},
      {"bigger than one packet", Repeat(AllByteValues(), 1000), "226 Done", true},
      {"final reply 426", "partial", "426 Connection closed; transfer aborted", false},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Session s;
    s.peer.LoginSteps("u", "p", true)
        .ExpectPassive("EPSV 1", "229 Entering Extended Passive Mode (|||{port}|)")
        .Expect("TYPE I", {"200 ok"})
        .Expect(Utf8ToCp1251("RETR scale\\Весы.txt"), {"150 Opening"})
        .SendData(c.content)
        .Send({c.finalReply});
    s.StartAndLogin(true);
    s.ftp.DataStream().Assign("previous download");
    EXPECT_EQ(s.ftp.RetrieveFile("scale\\Весы.txt", false), c.result);
    EXPECT_EQ(s.ftp.DataStream().Bytes(), c.content);
    EXPECT_EQ(s.ftp.DataStream().Position(), 0);
    s.ExpectScriptDone();
    EXPECT_THAT(s.CommandsAfterLogin(true),
                ElementsAre("EPSV 1", "TYPE I", "RETR scale\\\xC2\xE5\xF1\xFB.txt"));
  }
}

TEST(FtpSessionRetrieve, RefusalsFailTheDownload) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> exchanges;  // after EPSV 1
    std::string streamAfter;
  };
  // One case to a line, however long.
  // clang-format off
  const Case cases[] = {
      {"RETR refused: the stream is emptied",
       {{"TYPE I", "200 ok"}, {"RETR missing.txt", "550 No such file"}},
       ""},
      // Mended fault: in the text type the file's line ends would be rewritten.
      {"TYPE I refused: no RETR", {{"TYPE I", "504 No"}}, "previous download"},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Session s;
    s.peer.LoginSteps("u", "p", false).ExpectPassive("EPSV 1", "229 (|||{port}|)");
    for (const auto& [command, reply] : c.exchanges) s.peer.Expect(command, {reply});
    s.StartAndLogin(false);
    s.ftp.DataStream().Assign("previous download");
    EXPECT_FALSE(s.ftp.RetrieveFile("missing.txt", false));
    EXPECT_EQ(s.ftp.ResultCode(), std::stoi(c.exchanges.back().second));
    EXPECT_EQ(s.ftp.DataStream().Bytes(), c.streamAfter);
    s.ExpectScriptDone();
    EXPECT_EQ(s.CommandsAfterLogin(false).size(), 1 + c.exchanges.size());
  }
}

TEST(FtpSessionRetrieve, EmptyNameSendsNothing) {
  Session s;
  s.peer.LoginSteps("u", "p", false);
  s.StartAndLogin(false);
  EXPECT_FALSE(s.ftp.RetrieveFile("", false));
  EXPECT_FALSE(s.ftp.StoreFile("", false));
  s.ExpectScriptDone();
  EXPECT_THAT(s.CommandsAfterLogin(false), IsEmpty());
}

TEST(FtpSessionRetrieve, RestoreResumesAtTheStreamSize) {
  Session s;
  s.peer.LoginSteps("u", "p", true)
      .ExpectPassive("EPSV 1", "229 (|||{port}|)")
      .Expect("TYPE I", {"200 ok"})
      .Expect("REST 4", {"350 Restarting at 4"})
      .Expect("RETR f", {"150 Opening"})
      .SendData("5678")
      .Send({"226 Done"});
  s.StartAndLogin(true);
  s.ftp.DataStream().Assign("1234");
  EXPECT_TRUE(s.ftp.RetrieveFile("f", true));
  EXPECT_EQ(s.ftp.DataStream().Bytes(), "12345678");
  s.ExpectScriptDone();
}

// A size announced in the reply to RETR is reserved at once; the bytes that
// arrive decide what the stream holds, whatever the announcement said.
TEST(FtpSessionRetrieve, AnnouncedSizesOnlyReserve) {
  const std::string content = Repeat(AllByteValues(), 400);
  const struct {
    const char* name;
    std::string reply;
  } cases[] = {
      {"the true size", "150 Opening BINARY mode data connection for f (102400 bytes)."},
      {"too small", "150 Opening BINARY mode data connection for f (10 bytes)."},
      {"too large", "150 Opening BINARY mode data connection for f (2000000 bytes)."},
      {"past the cap", "150 Opening (99999999999999999999 bytes)"},
      {"no number", "150 Opening (many bytes)"},
      {"negative", "150 Opening (-5 bytes)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Session s;
    s.peer.LoginSteps("u", "p", false)
        .ExpectPassive("EPSV 1", "229 (|||{port}|)")
        .Expect("TYPE I", {"200 ok"})
        .Expect("RETR f", {c.reply})
        .SendData(content)
        .Send({"226 Done"});
    s.StartAndLogin(false);
    EXPECT_TRUE(s.ftp.RetrieveFile("f", false));
    EXPECT_EQ(s.ftp.DataStream().Bytes(), content);
    EXPECT_EQ(s.ftp.DataStream().Position(), 0);
    s.ExpectScriptDone();
  }
}

// Mended fault: a download or listing cannot grow past the cap.
TEST(FtpSessionRetrieve, TransfersPastTheSizeCapFail) {
  struct Case {
    const char* name;
    size_t bytes;
    bool listing;
    bool result;
  };
  // One case to a line, however long.
  // clang-format off
  const Case cases[] = {
      {"download of exactly the cap", 100000, false, true},
      {"download one byte over the cap", 100001, false, false},
      {"download far over the cap", 3000000, false, false},
      {"listing of exactly the listing cap", 40000, true, true},
      {"listing one byte over the listing cap", 40001, true, false},
      {"listing far over both caps", 3000000, true, false},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Session s;
    s.ftp.SetMaxDataSize(100000);
    s.ftp.SetMaxListingSize(40000);
    s.peer.LoginSteps("u", "p", false);
    if (c.listing) s.peer.Expect("TYPE A", {"200 ok"});
    s.peer.ExpectPassive("EPSV 1", "229 (|||{port}|)");
    if (!c.listing) s.peer.Expect("TYPE I", {"200 ok"});
    s.peer.Expect(c.listing ? "LIST" : "RETR big", {"150 Opening"})
        .SendData(std::string(c.bytes, 'x'))
        .Send({c.result ? "226 Done" : "426 Aborted"})
        .Expect("DELE after", {"250 Deleted"});
    s.StartAndLogin(false);
    EXPECT_EQ(c.listing ? s.ftp.List("", false) : s.ftp.RetrieveFile("big", false), c.result);
    EXPECT_LE(s.ftp.DataStream().Size(), 100000);
    // The final reply of the cut transfer was consumed with it.
    EXPECT_TRUE(s.ftp.DeleteFile("after"));
    EXPECT_EQ(s.ftp.ResultCode(), 250);
    s.ExpectScriptDone();
  }
}

// --- Uploads

TEST(FtpSessionStore, CommandOrderAndOffsets) {
  struct Case {
    const char* name;
    bool canResume;
    bool restore;
    std::optional<std::string> sizeReply;  // reply to SIZE when it is sent
    std::string content;
    std::vector<std::string> commands;    // after EPSV 1 and TYPE I
    std::optional<std::string> uploaded;  // data received, when an upload runs
  };
  const std::string name = "reports\\checks\\0001.ch";
  // One case to a line, however long.
  // clang-format off
  const Case cases[] = {
      {"restart off, probe accepted: REST 0", true, false, {}, "receipt", {"ALLO 7", "REST 0", "STOR " + name}, "receipt"},
      {"restart off, probe refused: no REST", false, false, {}, "receipt", {"ALLO 7", "STOR " + name}, "receipt"},
      {"restart on without CanResume: no SIZE, no REST", false, true, {}, "receipt", {"ALLO 7", "STOR " + name}, "receipt"},
      {"restart on, remote has the same size: nothing sent", true, true, "213 7", "receipt", {}, {}},
      {"restart on, remote smaller: resume", true, true, "213 3", "receipt", {"ALLO 4", "REST 3", "STOR " + name}, "eipt"},
      {"restart on, remote larger: from 0", true, true, "213 10", "receipt", {"ALLO 7", "REST 0", "STOR " + name}, "receipt"},
      {"restart on, SIZE refused: from 0", true, true, "550 No such file", "receipt", {"ALLO 7", "REST 0", "STOR " + name}, "receipt"},
      {"empty upload still sends ALLO 0", true, false, {}, "", {"ALLO 0", "REST 0", "STOR " + name}, ""},
      {"empty upload with an empty remote file", true, true, "213 0", "", {"ALLO 0", "REST 0", "STOR " + name}, ""},
      {"binary content", false, false, {}, AllByteValues(), {"ALLO 256", "STOR " + name}, AllByteValues()},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Session s;
    s.peer.LoginSteps("u", "p", c.canResume);
    std::vector<std::string> expected;
    if (c.sizeReply) {
      s.peer.Expect("SIZE " + name, {*c.sizeReply});
      expected.push_back("SIZE " + name);
    }
    s.peer.ExpectPassive("EPSV 1", "229 (|||{port}|)").Expect("TYPE I", {"200 ok"});
    expected.insert(expected.end(), {"EPSV 1", "TYPE I"});
    for (const auto& command : c.commands) {
      const bool isStor = command.starts_with("STOR ");
      s.peer.Expect(command, {isStor                        ? "150 Ok to send"
                              : command.starts_with("REST") ? "350 ok"
                                                            : "200 ok"});
      expected.push_back(command);
    }
    if (c.uploaded) s.peer.ReceiveData().Send({"226 Stored"});
    s.StartAndLogin(c.canResume);
    s.ftp.DataStream().Assign(c.content);
    s.ftp.DataStream().SetPosition(s.ftp.DataStream().Size());
    EXPECT_TRUE(s.ftp.StoreFile(name, c.restore));
    s.ExpectScriptDone();
    EXPECT_EQ(s.CommandsAfterLogin(c.canResume), expected);
    if (c.uploaded) {
      EXPECT_THAT(s.peer.DataReceived(), ElementsAre(*c.uploaded));
    } else {
      EXPECT_THAT(s.peer.DataReceived(), IsEmpty());
    }
    EXPECT_EQ(s.ftp.DataStream().Bytes(), c.content);
  }
}

TEST(FtpSessionStore, RefusalsFailTheUpload) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> exchanges;  // after EPSV 1
    bool uploads;
    std::string finalReply;
  };
  // One case to a line, however long.
  // clang-format off
  const Case cases[] = {
      {"REST 0 refused now", {{"TYPE I", "200 ok"}, {"ALLO 4", "200 ok"}, {"REST 0", "502 No"}}, false, ""},
      {"STOR refused",
       {{"TYPE I", "200 ok"}, {"ALLO 4", "200 ok"}, {"REST 0", "350 ok"}, {"STOR f", "553 Not allowed"}},
       false,
       ""},
      {"final reply 452",
       {{"TYPE I", "200 ok"}, {"ALLO 4", "200 ok"}, {"REST 0", "350 ok"}, {"STOR f", "150 Go"}},
       true,
       "452 Disk full"},
      // Mended fault: in the text type the receipt's line ends would be
      // rewritten on the server.
      {"TYPE I refused: no STOR", {{"TYPE I", "504 No"}}, false, ""},
      {"a refusal of ALLO is ignored",
       {{"TYPE I", "200 ok"}, {"ALLO 4", "500 No"}, {"REST 0", "350 ok"}, {"STOR f", "150 Go"}},
       true,
       "226 Stored"},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Session s;
    s.peer.LoginSteps("u", "p", true).ExpectPassive("EPSV 1", "229 (|||{port}|)");
    for (const auto& [command, reply] : c.exchanges) s.peer.Expect(command, {reply});
    if (c.uploads) s.peer.ReceiveData().Send({c.finalReply});
    s.StartAndLogin(true);
    s.ftp.DataStream().Assign("data");
    EXPECT_EQ(s.ftp.StoreFile("f", false), c.finalReply.starts_with("226"));
    s.ExpectScriptDone();
  }
}

// An upload whose data connection breaks off while it is being sent fails,
// even when the server then reports the transfer complete: the receipt that
// did not arrive whole must stay with the agent.
TEST(FtpSessionStore, UploadResetMidwayFailsDespiteAFinalSuccess) {
  // Far more than the connection's buffers hold, so the reset meets the
  // client still sending.
  const std::string receipt = std::string(size_t{16} * 1024 * 1024, 'r');
  Session s;
  s.peer.LoginSteps("u", "p", true)
      .ExpectPassive("EPSV 1", "229 (|||{port}|)")
      .Expect("TYPE I", {"200 ok"})
      .Expect("ALLO " + std::to_string(receipt.size()), {"200 ok"})
      .Expect("REST 0", {"350 ok"})
      .Expect("STOR f", {"150 Go"})
      .ReceiveDataThenReset(65536)
      .Send({"226 Transfer complete"});
  s.StartAndLogin(true);
  s.ftp.DataStream().Assign(receipt);
  EXPECT_FALSE(s.ftp.StoreFile("f", false));
  EXPECT_EQ(s.ftp.ResultCode(), 226);
  EXPECT_NE(s.ftp.DSock().LastError(), 0);
  EXPECT_EQ(s.ftp.DataStream().Size(), static_cast<int64_t>(receipt.size()));
  s.ExpectScriptDone();
  EXPECT_THAT(s.peer.DataReceived(), ElementsAre(std::string(65536, 'r')));
}

TEST(FtpSessionStore, FileSizeReplies) {
  struct Case {
    std::string reply;
    int32_t size;
  };
  // One case to a line, however long.
  // clang-format off
  const Case cases[] = {
      {"213 12345", 12345},       {"213  77 extra words", 77}, {"213 2147483647", 2147483647},
      {"213 2147483648", -1},     {"213 abc", -1},             {"550 No such file", -1},
      {"213-x\r\n213 5", 5},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    Session s;
    s.peer.Send({"220 Hi"}).Expect("SIZE a\\b", {c.reply});
    s.Connect();
    s.ftp.ReadResult();
    EXPECT_EQ(s.ftp.FileSize("a\\b"), c.size);
    s.ExpectScriptDone();
  }
}

TEST(FtpSessionStore, DeleteFile) {
  Session s;
  s.peer.LoginSteps("u", "p", false)
      .Expect("DELE scale\\a.txt", {"250 Deleted"})
      .Expect("DELE scale\\a.txt", {"550 No such file"});
  s.StartAndLogin(false);
  EXPECT_TRUE(s.ftp.DeleteFile("scale\\a.txt"));
  EXPECT_FALSE(s.ftp.DeleteFile("scale\\a.txt"));
  EXPECT_EQ(s.ftp.ResultCode(), 550);
  s.ExpectScriptDone();
}
