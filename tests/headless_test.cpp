#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "app/HeadlessMain.h"
#include "app/Startup.h"
#include "platform/codepage.h"
#include "support/AgentProcess.h"
#include "support/FtpServer.h"
#include "support/LoopbackPorts.h"
#include "support/TempDir.h"
#include "support/WorkerHarness.h"
#include "workers/uSync.h"

// The headless agent as a black box. This test program doubles as the agent:
// started with QUORVEL_RUN_AS_AGENT set, it runs start-up and RunHeadless as
// the program does without a display; the quorvel program of the same build,
// when built, is run the same way. The test copies the agent into a fresh
// folder beside a Quorvel.ini with auto-start on, lets it run against the
// real FTP server without DISPLAY and stops it with SIGTERM.

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  if (std::getenv("QUORVEL_RUN_AS_AGENT") != nullptr) {
    // Tests of many cycles shorten the workers' pause.
    if (const char* pause = std::getenv("QUORVEL_PAUSE_MS"))
      SetWorkerTimeoutForTesting(std::atoi(pause));
    StartUp();
    return RunHeadless();
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

namespace {

using Clock = std::chrono::steady_clock;

// The agent's environment, with the workers' pause in milliseconds when
// given.
std::vector<std::string> AgentEnvironment(const std::string& PauseMs = "") {
  std::vector<std::string> env = {"QUORVEL_RUN_AS_AGENT=1"};
  if (!PauseMs.empty()) env.push_back("QUORVEL_PAUSE_MS=" + PauseMs);
  return env;
}

// Settings of an agent in Folder against 127.0.0.1 at Port, auto-start on.
std::string AgentSettings(const std::string& Port, const std::string& Password,
                          const std::string& TillFolder, const std::string& ScalesFolder) {
  return "[main]\r\nserver=127.0.0.1\r\nport=" + Port + "\r\nuser=user\r\npass=" + Password +
         "\r\nkassaPath=" + TillFolder + "\r\nScalePath=" + ScalesFolder +
         "\r\nAutoStartThread=1\r\n";
}

size_t CountOf(const std::string& Text, const std::string& Part) {
  size_t count = 0;
  for (size_t at = Text.find(Part); at != std::string::npos; at = Text.find(Part, at + 1)) ++count;
  return count;
}

bool Contains(const std::string& Text, const std::string& Part) {
  return Text.find(Part) != std::string::npos;
}

std::vector<std::string> JournalsOf(const std::string& Folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(Folder)) {
    const std::string name = entry.path().filename().string();
    for (const char* prefix : {"Checks", "Price", "Scale"})
      if (name.rfind(prefix, 0) == 0) names.push_back(name);
  }
  return names;
}

}  // namespace

// Which program plays the agent: this test program, or the quorvel program
// of the same build when it has been built. Both send their journals to the
// port of the settings, here a free one.
struct AgentCase {
  const char* Name;
  std::string Program;
};

void PrintTo(const AgentCase& Case, std::ostream* Out) { *Out << Case.Name; }

class HeadlessAgentRun : public ::testing::TestWithParam<AgentCase> {};

TEST_P(HeadlessAgentRun, MovesEverythingInOneCycleAndEndsAtOnceOnSigterm) {
  if (!fs::exists(GetParam().Program)) GTEST_SKIP() << GetParam().Program << " is not built";
  const auto server = std::make_unique<TestFtpServer>();
  const TempDir& remote = server->Root();
  for (const char* folder : {"log", "reports/checks"})
    fs::create_directories(remote.Path() + folder);
  remote.Write("p1.txt", "price one");
  remote.Write("p2.txt", "price two");
  remote.Write("scale/plu.dat", "plu");

  TempDir agent;
  const std::string program = agent.Path() + "quorvel";
  fs::copy_file(GetParam().Program, program);
  fs::permissions(program, fs::perms::owner_all);
  agent.Write("till/reports/checks/0001.ch", "receipt");
  fs::create_directories(agent.Path() + "scales");
  agent.Write("Quorvel.ini", AgentSettings(server->PortText(), "pass", agent.Path() + "till",
                                           agent.Path() + "scales"));
  TempDir output;
  const std::string errors = output.Path() + "stderr.txt";

  AgentProcess process(program, errors, AgentEnvironment());
  ASSERT_TRUE(process.Started());
  const auto settled = [&] {
    const std::string settings = agent.Read("Quorvel.ini");
    return JournalsOf(remote.Path() + "log").size() == 3 && Contains(settings, "ChSync=") &&
           Contains(settings, "PriceSync=") && Contains(settings, "ScaleSync=") &&
           JournalsOf(agent.Path()).empty();
  };
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (!settled() && Clock::now() < deadline && process.Running())
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(settled()) << agent.Read("Quorvel.ini");
  EXPECT_TRUE(process.Running());

  EXPECT_THAT(WorkerTree(remote.Path() + "reports"), ::testing::ElementsAre("checks/0001.ch"));
  EXPECT_EQ(agent.Read("till/p1.txt"), "price one");
  EXPECT_EQ(agent.Read("till/p2.txt"), "price two");
  EXPECT_EQ(agent.Read("scales/plu.dat"), "plu");
  EXPECT_FALSE(remote.Exists("p1.txt"));
  EXPECT_FALSE(remote.Exists("scale/plu.dat"));
  for (const std::string& journal : JournalsOf(remote.Path() + "log")) {
    const std::string text = Cp1251ToUtf8(remote.Read("log/" + journal));
    if (journal.rfind("Checks", 0) == 0) {
      EXPECT_EQ(text, "Загружен файл 0001.ch\r\n");
    } else if (journal.rfind("Scale", 0) == 0) {
      EXPECT_EQ(text, "Скачен файл plu.dat\r\n");
    } else {
      EXPECT_TRUE(text == "Скачен файл p1.txt\r\nСкачен файл p2.txt\r\n" ||
                  text == "Скачен файл p2.txt\r\nСкачен файл p1.txt\r\n")
          << text;
    }
  }

  // The workers are in their ten-minute pause; the stop does not wait.
  EXPECT_EQ(process.Stop(SIGTERM, 2000), 0);
  const std::string said = output.Read("stderr.txt");
  EXPECT_TRUE(Contains(said, "Состояние: Запущен")) << said;
  EXPECT_TRUE(Contains(said, "Синхронизация работает")) << said;
  EXPECT_TRUE(Contains(said, "Время последней отправки чеков: ")) << said;
}

INSTANTIATE_TEST_SUITE_P(
    Programs, HeadlessAgentRun,
    ::testing::Values(AgentCase{"ThisTestProgram", "/proc/self/exe"},
                      AgentCase{"TheQuorvelProgram",
                                (fs::canonical("/proc/self/exe").parent_path().parent_path() /
                                 "app" / "quorvel")
                                    .string()}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(HeadlessAgent, WithoutAutoStartItWaitsAndStopsOnSigint) {
  TempDir agent;
  const std::string program = agent.Path() + "quorvel";
  fs::copy_file("/proc/self/exe", program);
  fs::permissions(program, fs::perms::owner_all);
  TempDir output;
  AgentProcess process(program, output.Path() + "stderr.txt", AgentEnvironment());
  ASSERT_TRUE(process.Started());
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (!Contains(output.Read("stderr.txt"), "Программа запущена") && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const std::string said = output.Read("stderr.txt");
  EXPECT_TRUE(Contains(said, "Состояние: Остановлен")) << said;
  EXPECT_TRUE(Contains(said, "Программа запущена")) << said;
  EXPECT_TRUE(fs::is_directory(agent.Path() + "reports/checks"));
  EXPECT_EQ(process.Stop(SIGINT, 2000), 0);
}

// Each set-up mistake is one line on standard error per failed cycle, with
// the kind, the time and the server's or the socket's words; a mended one
// is one line of recovery.
TEST(HeadlessAgent, EveryFailureAndRecoveryIsOneLineOnStandardError) {
  TestFtpServer server;
  fs::create_directories(server.Root().Path() + "scale");
  server.Root().Write("p1.txt", "price one");
  const std::string refusing = std::to_string(RefusingLoopbackPort());
  const struct {
    const char* Name;
    std::string Port;
    const char* Password;
    bool TillMissing;
    const char* Kind;
    const char* Words;
  } cases[] = {
      {"wrong password", server.PortText(), "wrong", false, "Чеки, ",
       ": Сервер не принял вход: 530 "},
      {"server down", refusing, "pass", false, "Весы, ", ": Сервер недоступен: "},
      {"till folder missing", server.PortText(), "pass", true, "Прайс, ",
       ": Файл p1.txt не записан в папку "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TempDir agent;
    const std::string program = agent.Path() + "quorvel";
    fs::copy_file("/proc/self/exe", program);
    fs::permissions(program, fs::perms::owner_all);
    fs::create_directories(agent.Path() + "scales");
    if (!c.TillMissing) fs::create_directories(agent.Path() + "till");
    agent.Write("Quorvel.ini",
                AgentSettings(c.Port, c.Password, agent.Path() + "till", agent.Path() + "scales"));
    TempDir output;
    AgentProcess process(program, output.Path() + "stderr.txt", AgentEnvironment("100"));
    ASSERT_TRUE(process.Started());
    const auto failures = [&] {
      const std::string said = output.Read("stderr.txt");
      size_t lines = 0;
      for (size_t at = said.find(c.Kind); at != std::string::npos; at = said.find(c.Kind, at + 1)) {
        const size_t end = said.find('\n', at);
        if (said.substr(at, end - at).find(c.Words) != std::string::npos) ++lines;
      }
      return lines;
    };
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (failures() < 2 && Clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_GE(failures(), 2u) << output.Read("stderr.txt");
    if (c.TillMissing) {
      EXPECT_TRUE(server.Root().Exists("p1.txt"));
      fs::create_directories(agent.Path() + "till");
      while (CountOf(output.Read("stderr.txt"), "обмен восстановлен") == 0 &&
             Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      EXPECT_EQ(CountOf(output.Read("stderr.txt"), "обмен восстановлен"), 1u)
          << output.Read("stderr.txt");
      EXPECT_EQ(agent.Read("till/p1.txt"), "price one");
    }
    EXPECT_EQ(process.Stop(SIGTERM, 2000), 0);
  }
}
