#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// An in-memory byte stream with a position, the transfer buffer of an FTP
// session: downloads are appended at the position, uploads read from it.
class TMemoryStream {
 public:
  const std::string& Bytes() const { return FBytes; }
  int64_t Size() const { return static_cast<int64_t>(FBytes.size()); }
  int64_t Position() const { return FPosition; }
  // Positions past the end are clamped to the end.
  void SetPosition(int64_t position);

  // Writes at the position (overwriting, then growing) and moves past it.
  void Write(std::string_view data);
  // Reads up to `count` bytes from the position and moves past them.
  std::string Read(size_t count);

  // Replaces the content; the position goes to 0.
  void Assign(std::string bytes);
  // Empties the stream; the position goes to 0.
  void Clear();

 private:
  std::string FBytes;
  int64_t FPosition = 0;
};
