#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "ftp/ftpsend.h"
#include "support/FtpServer.h"
#include "support/LoopbackSocketLibrary.h"

// The FTP session against a real server (pyftpdlib on loopback, with "\" as
// a path separator and code page 1251 text, like the Windows servers the
// agent talks to).

using ::testing::Contains;
using ::testing::IsEmpty;

namespace {

// The process-wide socket library, started as program start does.
const auto* const SocketLibrary = ::testing::AddGlobalTestEnvironment(new LoopbackSocketLibrary);

constexpr int TestTimeoutMs = 5000;

class FtpServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ftp.SetTargetHost("127.0.0.1");
    ftp.SetTargetPort(server.PortText());
    ftp.SetUserName("user");
    ftp.SetPassword("pass");
    ftp.SetTimeout(TestTimeoutMs);
    ftp.SetOnStatus([this](TFTPSend*, bool response, const std::string& value) {
      if (!response) sent.push_back(value);
    });
  }

  // Names of the entries of the last listing that are not directories.
  std::vector<std::string> ListedFiles() {
    std::vector<std::string> names;
    for (int i = 0; i < ftp.FtpList().Count(); ++i)
      if (!ftp.FtpList().Items(i)->Directory()) names.push_back(ftp.FtpList().Items(i)->FileName());
    return names;
  }

  TestFtpServer server;
  TFTPSend ftp;
  std::vector<std::string> sent;
};

std::string RandomBytes(size_t count, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(count, '\0');
  for (auto& b : bytes) b = static_cast<char>(random());
  return bytes;
}

}  // namespace

TEST_F(FtpServerTest, LogsOnWithRestartSupportAndLogsOut) {
  ASSERT_TRUE(ftp.Login());
  EXPECT_TRUE(ftp.CanResume());
  EXPECT_TRUE(ftp.Logout());
  EXPECT_EQ(ftp.ResultCode(), 221);
  // A worker's session serves cycle after cycle.
  ASSERT_TRUE(ftp.Login());
  EXPECT_TRUE(ftp.Logout());
}

TEST_F(FtpServerTest, WrongPasswordIsRefused) {
  ftp.SetPassword("wrong");
  EXPECT_FALSE(ftp.Login());
  EXPECT_EQ(ftp.ResultCode(), 530);
}

TEST_F(FtpServerTest, RefusedConnectionFailsLogin) {
  int port;
  {
    TestFtpServer stopped;
    port = stopped.Port();
  }
  ftp.SetTargetPort(std::to_string(port));
  EXPECT_FALSE(ftp.Login());
  EXPECT_EQ(ftp.Sock().LastError(), WSAECONNREFUSED);
  EXPECT_EQ(ftp.ResultCode(), 0);
}

TEST_F(FtpServerTest, ByteExactRoundTripsUnderBackslashPaths) {
  server.Root().Write("reports/checks/.keep", "");
  const std::vector<std::string> contents = {"", "x", RandomBytes(65536, 1), RandomBytes(65537, 2),
                                             RandomBytes(3 * 1024 * 1024 + 7, 3)};
  ASSERT_TRUE(ftp.Login());
  for (size_t i = 0; i < contents.size(); ++i) {
    SCOPED_TRACE(contents[i].size());
    const std::string name = "reports\\checks\\" + std::to_string(i) + ".ch";
    ftp.DataStream().Assign(contents[i]);
    ASSERT_TRUE(ftp.StoreFile(name, false));
    EXPECT_EQ(server.Root().Read("reports/checks/" + std::to_string(i) + ".ch"), contents[i]);

    ftp.DataStream().Assign("stale");
    ASSERT_TRUE(ftp.RetrieveFile(name, false));
    EXPECT_EQ(ftp.DataStream().Bytes(), contents[i]);
    EXPECT_EQ(ftp.DataStream().Position(), 0);

    ASSERT_TRUE(ftp.DeleteFile(name));
    EXPECT_FALSE(server.Root().Exists("reports/checks/" + std::to_string(i) + ".ch"));
  }
  EXPECT_TRUE(ftp.Logout());
}

TEST_F(FtpServerTest, ListsDirectoriesAndFetchesWhatTheyName) {
  server.Root().Write("price1.txt", "p1");
  server.Root().Write("Прайс №2.txt", "p2");
  server.Root().Write("scale/plu.dat", "scale data");
  server.Root().Write("reports/checks/.keep", "");
  ASSERT_TRUE(ftp.Login());

  ASSERT_TRUE(ftp.List("", false));
  EXPECT_THAT(ListedFiles(), ::testing::UnorderedElementsAre("price1.txt", "Прайс №2.txt"));
  EXPECT_THAT(ftp.FtpList().UnparsedLines(), IsEmpty());
  EXPECT_THAT(sent, Contains("LIST"));
  for (const auto& name : ListedFiles()) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(ftp.RetrieveFile(name, false));
    EXPECT_EQ(ftp.DataStream().Bytes(), name == "price1.txt" ? "p1" : "p2");
    EXPECT_TRUE(ftp.DeleteFile(name));
  }
  EXPECT_FALSE(server.Root().Exists("Прайс №2.txt"));

  ASSERT_TRUE(ftp.List("scale\\", false));
  EXPECT_THAT(ListedFiles(), ::testing::ElementsAre("plu.dat"));
  EXPECT_THAT(sent, Contains("LIST scale\\"));
  ASSERT_TRUE(ftp.RetrieveFile("scale\\plu.dat", false));
  EXPECT_EQ(ftp.DataStream().Bytes(), "scale data");

  EXPECT_FALSE(ftp.List("missing\\", false));
  EXPECT_EQ(ftp.FtpList().Count(), 0);
  EXPECT_TRUE(ftp.Logout());
}

TEST_F(FtpServerTest, CyrillicUploadNameArrivesIntact) {
  server.Root().Write("log/.keep", "");
  ASSERT_TRUE(ftp.Login());
  ftp.DataStream().Assign("Загружен файл Чек.ch\r\n");
  ASSERT_TRUE(ftp.StoreFile("log\\Журнал №1", true));
  EXPECT_EQ(server.Root().Read("log/Журнал №1"), "Загружен файл Чек.ch\r\n");
}

TEST_F(FtpServerTest, MissingFilesAreRefused) {
  ASSERT_TRUE(ftp.Login());
  ftp.DataStream().Assign("previous");
  EXPECT_FALSE(ftp.RetrieveFile("nothing.txt", false));
  EXPECT_EQ(ftp.ResultCode(), 550);
  EXPECT_EQ(ftp.DataStream().Size(), 0);
  EXPECT_FALSE(ftp.DeleteFile("nothing.txt"));
  EXPECT_EQ(ftp.ResultCode(), 550);
  EXPECT_EQ(ftp.FileSize("nothing.txt"), -1);
}

TEST_F(FtpServerTest, RestartStoreResumesAndSkipsCompleteFiles) {
  server.Root().Write("log/.keep", "");
  const std::string whole = RandomBytes(300000, 4);
  ASSERT_TRUE(ftp.Login());
  ASSERT_TRUE(ftp.CanResume());

  ftp.DataStream().Assign(whole.substr(0, 100000));
  ASSERT_TRUE(ftp.StoreFile("log\\journal", false));
  EXPECT_EQ(ftp.FileSize("log\\journal"), 100000);

  sent.clear();
  ftp.DataStream().Assign(whole);
  ASSERT_TRUE(ftp.StoreFile("log\\journal", true));
  EXPECT_EQ(server.Root().Read("log/journal"), whole);
  EXPECT_THAT(sent, ::testing::ElementsAre("SIZE log\\journal", "EPSV 1", "TYPE I", "ALLO 200000",
                                           "REST 100000", "STOR log\\journal"));

  sent.clear();
  ASSERT_TRUE(ftp.StoreFile("log\\journal", true));
  EXPECT_THAT(sent, ::testing::ElementsAre("SIZE log\\journal", "EPSV 1", "TYPE I"));
  EXPECT_EQ(server.Root().Read("log/journal"), whole);
  EXPECT_TRUE(ftp.Logout());
}

TEST_F(FtpServerTest, ExplicitPortOption) {
  int port;
  {
    TestFtpServer probe;
    port = probe.Port();
  }
  TestFtpServer::Options options;
  options.Port = port;
  options.User = "till";
  options.Password = "secret";
  TestFtpServer fixed(options);
  EXPECT_EQ(fixed.Port(), port);
  ftp.SetTargetPort(fixed.PortText());
  ftp.SetUserName("till");
  ftp.SetPassword("secret");
  EXPECT_TRUE(ftp.Login());
  EXPECT_TRUE(ftp.Logout());
}
