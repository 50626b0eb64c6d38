#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "settings/ProfileConventions.h"

// One INI file, read and changed in memory the way the Windows private-profile
// functions treat it, so a file written on a Windows till reads back with the
// values Windows itself would read:
// - "[name]" lines open sections, "key=value" lines below them hold values;
//   lines starting with ";" and lines without "=" are no keys;
// - section and key names match without regard to the case of ASCII letters;
//   of duplicates, the first section and its first such key count;
// - blanks around names and values are ignored, and one pair of matching
//   quotes around a whole value is dropped; a key with nothing after "=" has
//   an empty value.
// A write changes the bytes of one line, or adds lines, in the file's own
// encoding and line-end style; every other byte stays as it was.
class TProfileFile {
 public:
  // A new, empty file in the platform's encoding for new files.
  TProfileFile();
  // An existing file: UTF-16LE or UTF-8 by its byte-order mark, else ANSI
  // where the platform reads such files so, else UTF-8 when the bytes are
  // valid UTF-8, else ANSI.
  explicit TProfileFile(std::string_view Bytes);

  // The value (UTF-8) of Key in Section, or nothing when either is missing.
  std::optional<std::string> ReadString(std::string_view Section, std::string_view Key) const;

  // Replaces the value of Key, or adds the key at the end of its section, or
  // the section at the end of the file. The value is written as it is, with
  // characters the encoding lacks replaced by "?".
  void WriteString(std::string_view Section, std::string_view Key, std::string_view Value);

  TProfileEncoding Encoding() const { return FEncoding; }
  // The whole file as it is to be stored.
  std::string Bytes() const;

 private:
  struct TLine {
    std::string Raw;   // the line's bytes in the file, without its line end
    std::string End;   // the line end's bytes; empty for a last line without one
    std::string Text;  // the line as UTF-8
  };

  std::optional<size_t> FindSection(std::string_view Section) const;
  // The line index after the last line of the section starting at Header.
  size_t SectionEnd(size_t Header) const;
  TLine MakeLine(std::string_view Text) const;
  void InsertLine(size_t Index, std::string_view Text);

  TProfileEncoding FEncoding = TProfileEncoding::Utf8;
  std::string FLineEnd;  // as UTF-8: "\r\n", "\n" or "\r"
  std::vector<TLine> FLines;
};
