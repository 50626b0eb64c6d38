#include "platform/memstream.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

namespace {

// Small streams start with this much room, so that a receipt or a reply
// does not grow a byte block several times.
constexpr size_t MinimumCapacity = 4096;

}  // namespace

void TMemoryStream::TFree::operator()(char* block) const { std::free(block); }

void TMemoryStream::SetPosition(int64_t position) {
  FPosition = std::clamp<int64_t>(position, 0, Size());
}

bool TMemoryStream::Reserve(size_t capacity) {
  if (capacity <= FCapacity) return true;
  // realloc keeps the content; for large blocks it remaps the pages instead
  // of copying them, so growing never holds two copies of a file.
  void* grown = std::realloc(FData.get(), capacity);
  if (grown == nullptr) return false;
  static_cast<void>(FData.release());
  FData.reset(static_cast<char*>(grown));
  FCapacity = capacity;
  return true;
}

char* TMemoryStream::WriteRoom(size_t count) {
  const auto pos = static_cast<size_t>(FPosition);
  constexpr size_t Largest = std::numeric_limits<size_t>::max();
  if (count > Largest - pos) throw std::bad_alloc();
  const size_t needed = pos + count;
  if (needed > FCapacity) {
    const size_t doubled = FCapacity > Largest / 2 ? Largest : FCapacity * 2;
    if (!Reserve(std::max({needed, doubled, MinimumCapacity})) && !Reserve(needed))
      throw std::bad_alloc();
  }
  return FData.get() + pos;
}

void TMemoryStream::CommitWrite(size_t count) {
  FPosition += static_cast<int64_t>(count);
  FSize = std::max(FSize, static_cast<size_t>(FPosition));
}

void TMemoryStream::Write(std::string_view data) {
  if (data.empty()) return;
  std::memcpy(WriteRoom(data.size()), data.data(), data.size());
  CommitWrite(data.size());
}

std::string_view TMemoryStream::Read(size_t count) {
  const std::string_view out = Bytes().substr(static_cast<size_t>(FPosition), count);
  FPosition += static_cast<int64_t>(out.size());
  return out;
}

void TMemoryStream::Truncate(int64_t size) {
  FSize = std::min(FSize, static_cast<size_t>(std::max<int64_t>(size, 0)));
  FPosition = std::min(FPosition, Size());
}

void TMemoryStream::Assign(std::string_view bytes) {
  Clear();
  Write(bytes);
  FPosition = 0;
}

void TMemoryStream::Clear() {
  FData.reset();
  FSize = 0;
  FCapacity = 0;
  FPosition = 0;
}
