#include "support/FtpServer.h"

#include <winsock2.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <stdexcept>

// Under Wine the server is started on the Linux side by the server broker
// (tests/windows/serverbroker.py), which the test run starts first and names
// in QUORVEL_SERVER_BROKER_FILE. The server lives as long as the connection
// to the broker that asked for it; FPid holds the server's Linux process id.

namespace {

using Clock = std::chrono::steady_clock;

std::mutex ConnectionsLock;
std::map<pid_t, SOCKET> Connections;

int BrokerPort() {
  const char* File = std::getenv("QUORVEL_SERVER_BROKER_FILE");
  if (File == nullptr) throw std::runtime_error("QUORVEL_SERVER_BROKER_FILE is not set");
  std::ifstream In(File);
  int Port = 0;
  if (!(In >> Port) || Port <= 0) throw std::runtime_error(std::string("no broker in ") + File);
  return Port;
}

SOCKET ConnectBroker() {
  WSADATA Data;
  WSAStartup(MAKEWORD(2, 2), &Data);
  const SOCKET Broker = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in Address{};
  Address.sin_family = AF_INET;
  Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  Address.sin_port = htons(static_cast<u_short>(BrokerPort()));
  if (Broker == INVALID_SOCKET ||
      connect(Broker, reinterpret_cast<sockaddr*>(&Address), sizeof Address) != 0) {
    if (Broker != INVALID_SOCKET) closesocket(Broker);
    WSACleanup();
    throw std::runtime_error("cannot reach the server broker");
  }
  return Broker;
}

void SendLine(SOCKET Broker, const std::string& Line) {
  const std::string Text = Line + "\n";
  send(Broker, Text.data(), static_cast<int>(Text.size()), 0);
}

// One line from the broker, without its end; empty when none comes in time.
std::string ReadLine(SOCKET Broker, int Ms) {
  const auto Deadline = Clock::now() + std::chrono::milliseconds(Ms);
  std::string Text;
  while (Text.empty() || Text.back() != '\n') {
    const auto Left =
        std::chrono::duration_cast<std::chrono::microseconds>(Deadline - Clock::now()).count();
    if (Left <= 0) return {};
    fd_set Ready;
    FD_ZERO(&Ready);
    FD_SET(Broker, &Ready);
    timeval Wait{static_cast<long>(Left / 1000000), static_cast<long>(Left % 1000000)};
    if (select(0, &Ready, nullptr, nullptr, &Wait) <= 0) return {};
    char Byte = 0;
    if (recv(Broker, &Byte, 1, 0) != 1) return {};
    Text += Byte;
  }
  Text.pop_back();
  return Text;
}

void Disconnect(SOCKET Broker) {
  closesocket(Broker);
  WSACleanup();
}

}  // namespace

TestFtpServer::TestFtpServer(Options options) : FOptions(std::move(options)) {
  std::string Request = "START\t" + FOptions.Script + "\t" + FRoot.Path() + "\t--user\t" +
                        FOptions.User + "\t--password\t" + FOptions.Password + "\t--port\t" +
                        std::to_string(FOptions.Port);
  for (const std::string& Arg : FOptions.ExtraArgs) Request += "\t" + Arg;
  const SOCKET Broker = ConnectBroker();
  SendLine(Broker, Request);
  const std::string Reply = ReadLine(Broker, FOptions.StartTimeoutMs);
  int Pid = 0;
  if (std::sscanf(Reply.c_str(), "PORT %d PID %d", &FPort, &Pid) != 2 || FPort <= 0) {
    Disconnect(Broker);
    FPort = 0;
    throw std::runtime_error("the FTP server did not start listening (port " +
                             std::to_string(FOptions.Port) + "): " + Reply);
  }
  FPid = Pid;
  const std::lock_guard Guard(ConnectionsLock);
  Connections[FPid] = Broker;
}

TestFtpServer::~TestFtpServer() { Stop(); }

void TestFtpServer::Stop() {
  if (FPid <= 0) return;
  SOCKET Broker = INVALID_SOCKET;
  {
    const std::lock_guard Guard(ConnectionsLock);
    Broker = Connections[FPid];
    Connections.erase(FPid);
  }
  // Answered once the server is gone, so its root is free again.
  SendLine(Broker, "STOP");
  ReadLine(Broker, 15000);
  Disconnect(Broker);
  FPid = -1;
}
