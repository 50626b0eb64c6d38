#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

// An in-memory byte stream with a position, the transfer buffer of an FTP
// session: downloads are appended at the position, uploads read from it.
//
// The storage is one block that grows geometrically (and in place where the
// allocator can remap it), so a download of N bytes costs no copy per packet
// and no second copy of the whole file while it grows; a receive writes
// straight into the block through WriteRoom and CommitWrite.
class TMemoryStream {
 public:
  TMemoryStream() = default;
  TMemoryStream(const TMemoryStream&) = delete;
  TMemoryStream& operator=(const TMemoryStream&) = delete;

  // The content, without a copy; valid until the stream next changes.
  std::string_view Bytes() const { return {FData.get(), FSize}; }
  int64_t Size() const { return static_cast<int64_t>(FSize); }
  int64_t Position() const { return FPosition; }
  // Positions past the end are clamped to the end.
  void SetPosition(int64_t position);

  // Writes at the position (overwriting, then growing) and moves past it.
  void Write(std::string_view data);
  // Up to `count` bytes from the position, without a copy, and moves past
  // them; the view is valid until the stream next changes.
  std::string_view Read(size_t count);

  // Room for `count` bytes at the position, for a receive to fill in place.
  // The room is not initialised; only what CommitWrite takes becomes content.
  char* WriteRoom(size_t count);
  // Takes the first `count` bytes of the room as written: the position moves
  // past them and the size grows to cover them.
  void CommitWrite(size_t count);
  // Makes room for `capacity` bytes in all at once, for content whose size
  // is known before it arrives; false, with the stream unchanged, when that
  // much memory cannot be had.
  bool Reserve(size_t capacity);
  // Cuts the content to `size` bytes (never grows it); the position stays
  // within the content.
  void Truncate(int64_t size);

  // Replaces the content with a copy of the bytes; the position goes to 0.
  void Assign(std::string_view bytes);
  // Empties the stream and gives its storage back; the position goes to 0.
  void Clear();

 private:
  struct TFree {
    void operator()(char* block) const;
  };

  std::unique_ptr<char, TFree> FData;
  size_t FSize = 0;
  size_t FCapacity = 0;
  int64_t FPosition = 0;
};
