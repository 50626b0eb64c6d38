#include "support/LoopbackPeer.h"

// The peer's own sender thread, the same on every platform; the socket calls
// live in the platform's file.

void LoopbackPeer::SendLater(std::vector<std::string> Pieces, std::chrono::milliseconds Gap,
                             bool CloseAfter) {
  WaitSent();
  FSender = std::thread([this, Pieces = std::move(Pieces), Gap, CloseAfter] {
    for (const std::string& Piece : Pieces) {
      std::this_thread::sleep_for(Gap);
      Send(Piece);
    }
    if (CloseAfter) Close();
  });
}

void LoopbackPeer::WaitSent() {
  if (FSender.joinable()) FSender.join();
}
