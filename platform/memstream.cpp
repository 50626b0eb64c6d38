#include "platform/memstream.h"

#include <algorithm>
#include <utility>

void TMemoryStream::SetPosition(int64_t position) {
  FPosition = std::clamp<int64_t>(position, 0, Size());
}

void TMemoryStream::Write(std::string_view data) {
  const auto pos = static_cast<size_t>(FPosition);
  const size_t overlap = std::min(data.size(), FBytes.size() - pos);
  FBytes.replace(pos, overlap, data.substr(0, overlap));
  FBytes.append(data.substr(overlap));
  FPosition += static_cast<int64_t>(data.size());
}

std::string TMemoryStream::Read(size_t count) {
  const auto pos = static_cast<size_t>(FPosition);
  std::string out = FBytes.substr(pos, count);
  FPosition += static_cast<int64_t>(out.size());
  return out;
}

void TMemoryStream::Assign(std::string bytes) {
  FBytes = std::move(bytes);
  FPosition = 0;
}

void TMemoryStream::Clear() { Assign({}); }
