// Moves 256 MiB over a loopback connection, sent with SendStreamRaw and
// received with RecvStreamRaw, and prints the size, the time, the rate and
// whether the bytes arrived exactly.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>

#include "net/blcksock.h"
#include "net/socketapi.h"
#include "platform/memstream.h"

namespace {

constexpr size_t TransferSize = size_t{256} * 1024 * 1024;
constexpr int ReceiveTimeout = 10000;

std::string PatternBytes(size_t Size) {
  std::string Bytes(Size, '\0');
  uint32_t State = 0x2545F491;
  for (char& B : Bytes) {
    State ^= State << 13;
    State ^= State >> 17;
    State ^= State << 5;
    B = static_cast<char>(State);
  }
  return Bytes;
}

// A listener on 127.0.0.1 at a free port; the socket class has no listening
// side, so the bench builds one from the OS layer.
TSocketHandle ListenOnLoopback(uint16_t& Port) {
  TVarSin Sin;
  if (ResolveAddress("127.0.0.1", "0", TSocketFamily::SF_IP4, true, false, Sin) != 0)
    return INVALID_SOCKET_HANDLE;
  const TSocketHandle Listener =
      SocketApi::Socket(Sin.Family, SocketApi::SOCK_STREAM_TYPE, SocketApi::IPPROTO_TCP_PROTOCOL);
  if (Listener == INVALID_SOCKET_HANDLE || SocketApi::Bind(Listener, Sin) != 0 ||
      SocketApi::Listen(Listener, 1) != 0 || SocketApi::GetSockName(Listener, Sin) != 0)
    return INVALID_SOCKET_HANDLE;
  Port = Sin.Port;
  return Listener;
}

// One transfer over a fresh connection. A pre-sized target stream is
// overwritten in place, which shows the socket's own rate; an empty one grows
// as a download's does, which adds the cost of the memory growing.
bool RunTransfer(const std::string& Data, bool Presized) {
  uint16_t Port = 0;
  const TSocketHandle Listener = ListenOnLoopback(Port);
  if (Listener == INVALID_SOCKET_HANDLE) {
    std::fprintf(stderr, "cannot listen on 127.0.0.1\n");
    return false;
  }
  TTCPBlockSocket Receiver;
  Receiver.Connect("127.0.0.1", std::to_string(Port));
  TVarSin Remote;
  const TSocketHandle Accepted = SocketApi::Accept(Listener, Remote);
  SocketApi::Close(Listener);
  if (Receiver.LastError() != 0 || Accepted == INVALID_SOCKET_HANDLE) {
    std::fprintf(stderr, "cannot connect over loopback: %s\n", Receiver.LastErrorDesc().c_str());
    return false;
  }
  TTCPBlockSocket Sender;
  Sender.SetSocket(Accepted);

  TMemoryStream Source;
  Source.Assign(Data);
  TMemoryStream Target;
  if (Presized) Target.Assign(std::string(Data.size(), '\0'));
  int SendError = 0;

  const auto Start = std::chrono::steady_clock::now();
  std::thread SendSide([&] {
    Sender.SendStreamRaw(Source);
    SendError = Sender.LastError();
    Sender.CloseSocket();
  });
  Receiver.RecvStreamRaw(Target, ReceiveTimeout);
  const auto End = std::chrono::steady_clock::now();
  SendSide.join();

  const double Seconds = std::chrono::duration<double>(End - Start).count();
  const bool Exact = SendError == 0 && Receiver.LastError() == WSAECONNRESET &&
                     Target.Position() == Target.Size() && Target.Bytes() == Data;
  std::printf("%s target stream\n", Presized ? "pre-sized" : "growing");
  const auto Bytes = static_cast<double>(Data.size());
  std::printf("  size: %zu bytes (%.0f MiB)\n", Data.size(), Bytes / 1048576.0);
  std::printf("  seconds: %.3f\n", Seconds);
  std::printf("  rate: %.1f MB/s (%.1f MiB/s)\n", Bytes / Seconds / 1e6,
              Bytes / Seconds / 1048576.0);
  std::printf("  received: %lld bytes, ended with %d %s\n",
              static_cast<long long>(Target.Position()), Receiver.LastError(),
              Receiver.LastErrorDesc().c_str());
  std::printf("  exact: %s\n", Exact ? "yes" : "no");
  return Exact;
}

}  // namespace

int main() {
  if (!LoadSocketLibrary()) {
    std::fprintf(stderr, "%s\n", SocketLibraryLoadErrorText);
    return 1;
  }
  const std::string Data = PatternBytes(TransferSize);
  const bool Exact = RunTransfer(Data, true) && RunTransfer(Data, false);
  FreeSocketLibrary();
  return Exact ? 0 : 1;
}
