#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/FtpServer.h"
#include "support/LoopbackPorts.h"
#include "support/TempDir.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

// The program as built beside this test: <build>/app/quorvel.
std::string BuiltProgram() {
  const fs::path Program =
      fs::path(SelfExecutable()).parent_path().parent_path() / "app" / "quorvel";
  if (!fs::exists(Program)) ADD_FAILURE() << Program << " is not built";
  return Program.string();
}

std::set<std::string> Tree(const std::string& Folder) {
  std::set<std::string> Names;
  for (const auto& Entry : fs::recursive_directory_iterator(Folder)) {
    Names.insert(fs::relative(Entry.path(), Folder).string());
  }
  return Names;
}

// A copy of the program in a folder of its own, as on a till.
class InstalledProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(Folder);
    fs::copy_file(BuiltProgram(), Folder + "quorvel");
    // Other users may reach the folder but not change it.
    for (const std::string& Level : {Dir.Path(), Dir.Path() + "Shop Касса/", Folder}) {
      fs::permissions(Level, fs::perms(0755));
    }
  }

  TempDir Dir;
  const std::string Folder = Dir.Path() + "Shop Касса/Agent/";
};

// The program runs until it is stopped (SIGTERM, which ends it with status
// 0); without a display it runs headless and reports its first balloon on
// standard error, after start-up is done.
// Whether the program was built with its window (the ThreadSanitizer
// build is not).
constexpr bool kProgramHasWindow = QUORVEL_HAS_WINDOW;

const std::vector<std::string> kNoDisplay = {"DISPLAY=", "WAYLAND_DISPLAY="};
const std::string kFirstBalloon = "Программа запущена";

ChildResult RunUntilStarted(const std::string& Program) {
  return RunChild({Program}, kNoDisplay, 60, kFirstBalloon);
}

// A socket file such as a compositor that has gone leaves behind: nobody
// listens on it any more.
void LeaveStaleSocket(const std::string& Path) {
  sockaddr_un Address{};
  Address.sun_family = AF_UNIX;
  ASSERT_LT(Path.size(), sizeof Address.sun_path);
  std::memcpy(Address.sun_path, Path.c_str(), Path.size() + 1);
  const int Socket = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_EQ(::bind(Socket, reinterpret_cast<const sockaddr*>(&Address), sizeof Address), 0);
  ::close(Socket);
  ASSERT_TRUE(fs::exists(Path));
}

// An X server of its own (Xvfb) on a free display number, on its local
// socket only; stopped with the object.
class TestXServer {
 public:
  TestXServer() {
    std::array<int, 2> Pipe{};
    if (::pipe2(Pipe.data(), O_CLOEXEC) != 0) return;
    FNumberPipe = Pipe[0];
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_adddup2(&Actions, Pipe[1], 3);
    posix_spawn_file_actions_addopen(&Actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&Actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> Arguments = {"/usr/bin/Xvfb", "-displayfd", "3", "-nolisten",
                                          "tcp",           "-screen",    "0", "640x480x24"};
    std::vector<char*> Argv;
    Argv.reserve(Arguments.size() + 1);
    for (std::string& Argument : Arguments) Argv.push_back(Argument.data());
    Argv.push_back(nullptr);
    const int Spawned = posix_spawn(&FPid, Argv[0], &Actions, nullptr, Argv.data(), environ);
    posix_spawn_file_actions_destroy(&Actions);
    ::close(Pipe[1]);
    if (Spawned != 0) FPid = -1;
    // The server writes its display number once it accepts clients, and
    // may write it again later: it dies when the pipe is closed then.
    pollfd Wait{Pipe[0], POLLIN, 0};
    std::array<char, 16> Number{};
    if (FPid > 0 && ::poll(&Wait, 1, 15000) == 1 &&
        ::read(Pipe[0], Number.data(), Number.size() - 1) > 0) {
      FDisplay = ":" + std::string(Number.data(), std::strcspn(Number.data(), "\n"));
    }
  }
  ~TestXServer() {
    if (FPid > 0) {
      ::kill(FPid, SIGTERM);
      ::waitpid(FPid, nullptr, 0);
    }
    if (FNumberPipe >= 0) ::close(FNumberPipe);
  }
  TestXServer(const TestXServer&) = delete;
  TestXServer& operator=(const TestXServer&) = delete;

  // Empty when the server did not start.
  const std::string& Display() const { return FDisplay; }

 private:
  pid_t FPid = -1;
  int FNumberPipe = -1;
  std::string FDisplay;
};

}  // namespace

// A display that answers keeps the window, also beside one that does not:
// no headless status lines and no word about a display.
TEST_F(InstalledProgram, ShowsItsWindowOnADisplayThatAnswers) {
  if (!kProgramHasWindow) GTEST_SKIP() << "the program is built without its window";
  const std::vector<std::string> Cases[] = {
      {"WAYLAND_DISPLAY=", "XDG_SESSION_TYPE="},
      {"WAYLAND_DISPLAY=wayland-quorvel", "XDG_RUNTIME_DIR=" + Dir.Path(),
       "XDG_SESSION_TYPE=wayland"},
  };
  for (const std::vector<std::string>& Case : Cases) {
    SCOPED_TRACE(Case.front());
    // A server of its own for each case: a bare X server starts over when
    // its last client has gone.
    const TestXServer X;
    ASSERT_FALSE(X.Display().empty());
    std::vector<std::string> Environment = {"DISPLAY=" + X.Display(), "QT_QPA_PLATFORM="};
    Environment.insert(Environment.end(), Case.begin(), Case.end());
    const ChildResult Run = RunChild({Folder + "quorvel"}, Environment, 60, kFirstBalloon);
    EXPECT_NE(Run.Output.find(kFirstBalloon), std::string::npos) << Run.Output;
    EXPECT_EQ(Run.Output.find("Дисплей"), std::string::npos) << Run.Output;
    EXPECT_EQ(Run.Output.find("Состояние:"), std::string::npos) << Run.Output;
  }
}

// A display that is named but that nobody serves (a stale remote session, an
// autostart that runs before X) leaves the program without a window, not
// without its exchange: it says so in one line and works headless.
TEST_F(InstalledProgram, RunsHeadlessWhenTheNamedDisplayDoesNotAnswer) {
  if (!kProgramHasWindow) GTEST_SKIP() << "the program is built without its window";
  TestFtpServer Server;
  fs::create_directories(Server.Root().Path() + "reports/checks");
  TempDir Till;
  Dir.Write("Shop Касса/Agent/Quorvel.ini", "[main]\nserver=127.0.0.1\nport=" + Server.PortText() +
                                                "\nuser=user\npass=pass\nkassaPath=" + Till.Path() +
                                                "\nAutoStartThread=1\n");
  // An X server on loopback TCP whose port is bound but never listens.
  const std::string RefusedX = "127.0.0.1:" + std::to_string(RefusingLoopbackPort() - 6000);
  const std::string StaleSocket = Dir.Path() + "wayland-stale";
  LeaveStaleSocket(StaleSocket);
  const struct {
    const char* Case;
    std::vector<std::string> Environment;
    std::string Names;
  } Cases[] = {
      {"X refused", {"DISPLAY=" + RefusedX, "WAYLAND_DISPLAY="}, RefusedX},
      {"X asked for with an option and refused",
       {"DISPLAY=" + RefusedX, "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM=xcb:nomitshm"},
       RefusedX},
      {"Wayland without its socket",
       {"DISPLAY=", "WAYLAND_DISPLAY=wayland-quorvel", "XDG_RUNTIME_DIR=" + Dir.Path()},
       "wayland-quorvel"},
      {"Wayland socket left behind", {"DISPLAY=", "WAYLAND_DISPLAY=" + StaleSocket}, StaleSocket},
      {"both refused",
       {"DISPLAY=" + RefusedX, "WAYLAND_DISPLAY=wayland-quorvel", "XDG_RUNTIME_DIR=" + Dir.Path()},
       RefusedX + ", wayland-quorvel"},
  };
  int Receipt = 0;
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Case);
    const std::string Name = std::to_string(++Receipt) + ".ch";
    Till.Write("reports/checks/" + Name, "receipt " + Name);
    // Until the server has the receipt and the staged copy is gone.
    // The toolkit's own choice unless the case makes one.
    std::vector<std::string> Environment = {"QT_QPA_PLATFORM=", "XDG_SESSION_TYPE="};
    Environment.insert(Environment.end(), Case.Environment.begin(), Case.Environment.end());
    const ChildResult Run =
        RunChildUntil({Folder + "quorvel"}, Environment, 60, [&](const std::string&) {
          return Server.Root().Exists("reports/checks/" + Name) &&
                 Server.Root().Read("reports/checks/" + Name) == "receipt " + Name &&
                 !fs::exists(Folder + "reports/checks/" + Name);
        });
    EXPECT_EQ(Run.ExitCode, 0) << Run.Output;
    const std::string Reason =
        "Дисплей недоступен (" + Case.Names + "), программа работает без окна\n";
    EXPECT_EQ(Run.Output.find(Reason), 0U) << Run.Output;
    EXPECT_EQ(Run.Output.find(Reason, 1), std::string::npos) << Run.Output;
    EXPECT_NE(Run.Output.find("Состояние: Запущен"), std::string::npos) << Run.Output;
  }
}

// A compositor answers, but the toolkit has no Wayland platform (a package
// of its own on Debian, qt6-wayland) and nothing else to try.
TEST_F(InstalledProgram, RunsHeadlessWhereTheToolkitCannotDrawOnTheWaylandDisplay) {
  if (!kProgramHasWindow) GTEST_SKIP() << "the program is built without its window";
  for (const auto& Library : fs::directory_iterator("/usr/lib")) {
    const fs::path Platforms = Library.path() / "qt6/plugins/platforms";
    if (!fs::is_directory(Platforms)) continue;
    for (const auto& Plugin : fs::directory_iterator(Platforms)) {
      if (Plugin.path().filename().string().find("qwayland") != std::string::npos)
        GTEST_SKIP() << "the toolkit has its Wayland platform here";
    }
  }
  const std::string Compositor = Dir.Path() + "wayland-listening";
  sockaddr_un Address{};
  Address.sun_family = AF_UNIX;
  std::memcpy(Address.sun_path, Compositor.c_str(), Compositor.size() + 1);
  const int Socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(::bind(Socket, reinterpret_cast<const sockaddr*>(&Address), sizeof Address), 0);
  ASSERT_EQ(::listen(Socket, 8), 0);
  const ChildResult Run = RunChild(
      {Folder + "quorvel"},
      {"DISPLAY=", "WAYLAND_DISPLAY=" + Compositor, "QT_QPA_PLATFORM=", "XDG_SESSION_TYPE=wayland"},
      60, kFirstBalloon);
  ::close(Socket);
  EXPECT_EQ(Run.ExitCode, 0) << Run.Output;
  EXPECT_EQ(
      Run.Output.find("Дисплей недоступен (" + Compositor + "), программа работает без окна\n"), 0U)
      << Run.Output;
  EXPECT_NE(Run.Output.find("Состояние: Остановлен"), std::string::npos) << Run.Output;
}

TEST_F(InstalledProgram, CreatesTheStagingFolderButNoSettingsFile) {
  const ChildResult Run = RunUntilStarted(Folder + "quorvel");
  EXPECT_EQ(Run.ExitCode, 0) << Run.Output;
  EXPECT_NE(Run.Output.find(kFirstBalloon), std::string::npos) << Run.Output;
  EXPECT_EQ(Tree(Folder), (std::set<std::string>{"quorvel", "reports", "reports/checks"}));
}

TEST_F(InstalledProgram, ReadsAnExistingSettingsFileWithoutWritingIt) {
  Dir.Write("Shop Касса/Agent/Quorvel.ini",
            "[main]\r\nserver=ftp.shop.local\r\nAutoStartThread=0\r\n");
  const auto Written = fs::last_write_time(Folder + "Quorvel.ini");
  const ChildResult Run = RunUntilStarted(Folder + "quorvel");
  EXPECT_EQ(Run.ExitCode, 0) << Run.Output;
  EXPECT_EQ(Dir.Read("Shop Касса/Agent/Quorvel.ini"),
            "[main]\r\nserver=ftp.shop.local\r\nAutoStartThread=0\r\n");
  EXPECT_EQ(fs::last_write_time(Folder + "Quorvel.ini"), Written);
}

// Tests run as root, whom permission bits do not stop.
TEST_F(InstalledProgram, StartsAndStopsInAFolderItCannotWrite) {
  const ChildResult Run = RunChildAsNobody({Folder + "quorvel"}, kNoDisplay, 60, kFirstBalloon);
  EXPECT_EQ(Run.ExitCode, 0) << Run.Output;
  EXPECT_NE(Run.Output.find(kFirstBalloon), std::string::npos) << Run.Output;
  EXPECT_EQ(Tree(Folder), std::set<std::string>{"quorvel"});
}
