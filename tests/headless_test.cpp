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
#include "support/TempDir.h"
#include "support/WorkerHarness.h"
#include "ui/ExchangeJournal.h"

// The headless agent as a black box. This test program doubles as the agent:
// started with QUORVEL_RUN_AS_AGENT set, it runs start-up and RunHeadless as
// the program does without a display; the quorvel program of the same build,
// when built, is run the same way. The test copies the agent into a fresh
// folder beside a Quorvel.ini with auto-start on, lets it run against the
// real FTP server without DISPLAY and stops it with SIGTERM.

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  if (std::getenv("QUORVEL_RUN_AS_AGENT") != nullptr) {
    // Only when port 21 was taken: the journals then go to the test
    // server's port.
    if (const char* port = std::getenv("QUORVEL_JOURNAL_PORT"))
      SetJournalUploadPortForTesting(port);
    StartUp();
    return RunHeadless();
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

namespace {

using Clock = std::chrono::steady_clock;

// The agent's environment: the journal port only when port 21 was taken.
std::vector<std::string> AgentEnvironment(const std::string& JournalPort) {
  std::vector<std::string> env = {"QUORVEL_RUN_AS_AGENT=1"};
  if (!JournalPort.empty()) env.push_back("QUORVEL_JOURNAL_PORT=" + JournalPort);
  return env;
}

// Port 21 when this test may take it, else a free one.
std::unique_ptr<TestFtpServer> StartServer() {
  try {
    TestFtpServer::Options options;
    options.Port = 21;
    return std::make_unique<TestFtpServer>(options);
  } catch (const std::exception&) {
    return std::make_unique<TestFtpServer>();
  }
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
// of the same build when it has been built (it sends its journals to port
// 21 only, so it needs that port).
struct AgentCase {
  const char* Name;
  std::string Program;
  bool NeedsPort21;
};

void PrintTo(const AgentCase& Case, std::ostream* Out) { *Out << Case.Name; }

class HeadlessAgentRun : public ::testing::TestWithParam<AgentCase> {};

TEST_P(HeadlessAgentRun, MovesEverythingInOneCycleAndEndsAtOnceOnSigterm) {
  if (!fs::exists(GetParam().Program)) GTEST_SKIP() << GetParam().Program << " is not built";
  const std::unique_ptr<TestFtpServer> server = StartServer();
  if (GetParam().NeedsPort21 && server->Port() != 21) GTEST_SKIP() << "port 21 is taken";
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
  agent.Write("Quorvel.ini", "[main]\r\nserver=127.0.0.1\r\nport=" + server->PortText() +
                                 "\r\nuser=user\r\npass=pass\r\nkassaPath=" + agent.Path() +
                                 "till\r\nScalePath=" + agent.Path() +
                                 "scales\r\nAutoStartThread=1\r\n");
  TempDir output;
  const std::string errors = output.Path() + "stderr.txt";

  AgentProcess process(program, errors,
                       AgentEnvironment(server->Port() == 21 ? "" : server->PortText()));
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
    ::testing::Values(AgentCase{"ThisTestProgram", "/proc/self/exe", false},
                      AgentCase{"TheQuorvelProgram",
                                (fs::canonical("/proc/self/exe").parent_path().parent_path() /
                                 "app" / "quorvel")
                                    .string(),
                                true}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(HeadlessAgent, WithoutAutoStartItWaitsAndStopsOnSigint) {
  TempDir agent;
  const std::string program = agent.Path() + "quorvel";
  fs::copy_file("/proc/self/exe", program);
  fs::permissions(program, fs::perms::owner_all);
  TempDir output;
  AgentProcess process(program, output.Path() + "stderr.txt", AgentEnvironment(""));
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
