#include "settings/ProfileFile.h"

#include <utility>

#include "platform/ansicodepage.h"
#include "platform/codepage.h"

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16LEBom = "\xFF\xFE";
constexpr char32_t kReplacement = 0xFFFD;

std::string_view BomOf(TProfileEncoding Encoding) {
  switch (Encoding) {
    case TProfileEncoding::Utf8Bom: return kUtf8Bom;
    case TProfileEncoding::Utf16LE: return kUtf16LEBom;
    default: return {};
  }
}

char32_t Utf16Unit(std::string_view Bytes, size_t Pos) {
  return static_cast<unsigned char>(Bytes[Pos]) |
         static_cast<char32_t>(static_cast<unsigned char>(Bytes[Pos + 1])) << 8;
}

std::string Utf16LEToUtf8(std::string_view Bytes) {
  std::string Text;
  for (size_t Pos = 0; Pos + 1 < Bytes.size(); Pos += 2) {
    char32_t Unit = Utf16Unit(Bytes, Pos);
    if (Unit >= 0xD800 && Unit <= 0xDBFF && Pos + 3 < Bytes.size()) {
      const char32_t Low = Utf16Unit(Bytes, Pos + 2);
      if (Low >= 0xDC00 && Low <= 0xDFFF) {
        AppendUtf8(Text, 0x10000 + ((Unit - 0xD800) << 10) + (Low - 0xDC00));
        Pos += 2;
        continue;
      }
    }
    if (Unit >= 0xD800 && Unit <= 0xDFFF) Unit = kReplacement;
    AppendUtf8(Text, Unit);
  }
  return Text;
}

void AppendUtf16LEUnit(std::string& Bytes, char32_t Unit) {
  Bytes += static_cast<char>(Unit & 0xFF);
  Bytes += static_cast<char>(Unit >> 8);
}

std::string Utf8ToUtf16LE(std::string_view Text) {
  std::string Bytes;
  size_t Pos = 0;
  while (Pos < Text.size()) {
    const long Decoded = DecodeUtf8(Text, Pos);
    const char32_t Code = Decoded < 0 ? kReplacement : static_cast<char32_t>(Decoded);
    if (Code >= 0x10000) {
      AppendUtf16LEUnit(Bytes, 0xD800 + ((Code - 0x10000) >> 10));
      AppendUtf16LEUnit(Bytes, 0xDC00 + ((Code - 0x10000) & 0x3FF));
    } else {
      AppendUtf16LEUnit(Bytes, Code);
    }
  }
  return Bytes;
}

// Malformed sequences of a file marked as UTF-8 read as U+FFFD.
std::string SanitizeUtf8(std::string_view Bytes) {
  if (IsValidUtf8(Bytes)) return std::string(Bytes);
  std::string Text;
  size_t Pos = 0;
  while (Pos < Bytes.size()) {
    const long Decoded = DecodeUtf8(Bytes, Pos);
    AppendUtf8(Text, Decoded < 0 ? kReplacement : static_cast<char32_t>(Decoded));
  }
  return Text;
}

std::string Decode(TProfileEncoding Encoding, std::string_view Bytes) {
  switch (Encoding) {
    case TProfileEncoding::Utf16LE: return Utf16LEToUtf8(Bytes);
    case TProfileEncoding::Ansi: return AnsiToUtf8(Bytes);
    default: return SanitizeUtf8(Bytes);
  }
}

std::string Encode(TProfileEncoding Encoding, std::string_view Text) {
  switch (Encoding) {
    case TProfileEncoding::Utf16LE: return Utf8ToUtf16LE(Text);
    case TProfileEncoding::Ansi: return Utf8ToAnsi(Text);
    default: return std::string(Text);
  }
}

std::string_view Trim(std::string_view Text) {
  const size_t First = Text.find_first_not_of(" \t");
  if (First == std::string_view::npos) return {};
  return Text.substr(First, Text.find_last_not_of(" \t") - First + 1);
}

bool SameName(std::string_view A, std::string_view B) {
  const auto Fold = [](char C) { return C >= 'A' && C <= 'Z' ? static_cast<char>(C + 32) : C; };
  if (A.size() != B.size()) return false;
  for (size_t I = 0; I < A.size(); ++I) {
    if (Fold(A[I]) != Fold(B[I])) return false;
  }
  return true;
}

// The name of a section header line.
std::optional<std::string_view> SectionName(std::string_view Text) {
  Text = Trim(Text);
  if (Text.empty() || Text.front() != '[') return std::nullopt;
  Text.remove_prefix(1);
  return Trim(Text.substr(0, Text.find(']')));
}

struct TKeyLine {
  std::string_view Key;
  std::string_view Value;
};

std::optional<TKeyLine> ParseKeyLine(std::string_view Text) {
  Text = Trim(Text);
  if (Text.empty() || Text.front() == ';' || Text.front() == '[') return std::nullopt;
  const size_t Equals = Text.find('=');
  if (Equals == std::string_view::npos) return std::nullopt;
  const std::string_view Key = Trim(Text.substr(0, Equals));
  if (Key.empty()) return std::nullopt;
  std::string_view Value = Trim(Text.substr(Equals + 1));
  if (Value.size() >= 2 && (Value.front() == '"' || Value.front() == '\'') &&
      Value.back() == Value.front()) {
    Value = Value.substr(1, Value.size() - 2);
  }
  return TKeyLine{Key, Value};
}

}  // namespace

TProfileFile::TProfileFile()
    : FEncoding(PlatformProfileConventions().NewFileEncoding),
      FLineEnd(PlatformProfileConventions().NewFileLineEnd) {}

TProfileFile::TProfileFile(std::string_view Bytes) {
  if (Bytes.substr(0, kUtf16LEBom.size()) == kUtf16LEBom) {
    FEncoding = TProfileEncoding::Utf16LE;
  } else if (Bytes.substr(0, kUtf8Bom.size()) == kUtf8Bom) {
    FEncoding = TProfileEncoding::Utf8Bom;
  } else if (PlatformProfileConventions().BomlessIsAnsi || !IsValidUtf8(Bytes)) {
    FEncoding = TProfileEncoding::Ansi;
  }
  Bytes.remove_prefix(BomOf(FEncoding).size());

  // Lines end in LF, CR LF or a lone CR, counted in code units.
  const size_t Width = FEncoding == TProfileEncoding::Utf16LE ? 2 : 1;
  const auto UnitAt = [&](size_t Pos) -> char32_t {
    if (Pos + Width > Bytes.size()) return 0;
    return Width == 2 ? Utf16Unit(Bytes, Pos) : static_cast<unsigned char>(Bytes[Pos]);
  };
  size_t Start = 0;
  for (size_t Pos = 0; Pos + Width <= Bytes.size(); Pos += Width) {
    const char32_t Unit = UnitAt(Pos);
    if (Unit != '\n' && Unit != '\r') continue;
    const size_t EndSize = Unit == '\r' && UnitAt(Pos + Width) == '\n' ? 2 * Width : Width;
    const std::string_view Raw = Bytes.substr(Start, Pos - Start);
    FLines.push_back(
        {std::string(Raw), std::string(Bytes.substr(Pos, EndSize)), Decode(FEncoding, Raw)});
    Pos += EndSize - Width;
    Start = Pos + Width;
  }
  if (Start < Bytes.size()) {
    const std::string_view Raw = Bytes.substr(Start);
    FLines.push_back({std::string(Raw), {}, Decode(FEncoding, Raw)});
  }
  // A file that has no line end yet gets the platform's own.
  FLineEnd = FLines.empty() || FLines.front().End.empty()
                 ? std::string(PlatformProfileConventions().NewFileLineEnd)
                 : Decode(FEncoding, FLines.front().End);
}

std::optional<std::string> TProfileFile::ReadString(std::string_view Section,
                                                    std::string_view Key) const {
  const std::optional<size_t> Header = FindSection(Section);
  if (!Header) return std::nullopt;
  for (size_t I = *Header + 1; I < SectionEnd(*Header); ++I) {
    const std::optional<TKeyLine> Line = ParseKeyLine(FLines[I].Text);
    if (Line && SameName(Line->Key, Key)) return std::string(Line->Value);
  }
  return std::nullopt;
}

void TProfileFile::WriteString(std::string_view Section, std::string_view Key,
                               std::string_view Value) {
  const std::optional<size_t> Header = FindSection(Section);
  if (!Header) {
    InsertLine(FLines.size(), "[" + std::string(Section) + "]");
    InsertLine(FLines.size(), std::string(Key) + "=" + std::string(Value));
    return;
  }
  const size_t End = SectionEnd(*Header);
  size_t LastFilled = *Header;
  for (size_t I = *Header + 1; I < End; ++I) {
    TLine& Line = FLines[I];
    const std::optional<TKeyLine> Parsed = ParseKeyLine(Line.Text);
    if (Parsed && SameName(Parsed->Key, Key)) {
      TLine Changed = MakeLine(std::string(Parsed->Key) + "=" + std::string(Value));
      Line.Raw = std::move(Changed.Raw);
      Line.Text = std::move(Changed.Text);
      return;
    }
    if (!Trim(Line.Text).empty()) LastFilled = I;
  }
  // A new key goes right below the section's last line that holds anything,
  // so blank lines before the next section stay where they are.
  InsertLine(LastFilled + 1, std::string(Key) + "=" + std::string(Value));
}

std::string TProfileFile::Bytes() const {
  std::string Bytes(BomOf(FEncoding));
  for (const TLine& Line : FLines) Bytes += Line.Raw + Line.End;
  return Bytes;
}

std::optional<size_t> TProfileFile::FindSection(std::string_view Section) const {
  for (size_t I = 0; I < FLines.size(); ++I) {
    const std::optional<std::string_view> Name = SectionName(FLines[I].Text);
    if (Name && SameName(*Name, Section)) return I;
  }
  return std::nullopt;
}

size_t TProfileFile::SectionEnd(size_t Header) const {
  size_t End = Header + 1;
  while (End < FLines.size() && !SectionName(FLines[End].Text)) ++End;
  return End;
}

TProfileFile::TLine TProfileFile::MakeLine(std::string_view Text) const {
  std::string Raw = Encode(FEncoding, Text);
  // Decoded again, so the line reads as what the file now holds.
  std::string Stored = Decode(FEncoding, Raw);
  return {std::move(Raw), Encode(FEncoding, FLineEnd), std::move(Stored)};
}

void TProfileFile::InsertLine(size_t Index, std::string_view Text) {
  // The line above may have been the file's last one, without a line end.
  if (Index > 0 && FLines[Index - 1].End.empty()) {
    TLine& Last = FLines[Index - 1];
    // A UTF-16 file may end in half a code unit, which reads as nothing;
    // left before a line end it would shift every unit after it.
    if (FEncoding == TProfileEncoding::Utf16LE) Last.Raw.resize(Last.Raw.size() / 2 * 2);
    Last.End = Encode(FEncoding, FLineEnd);
  }
  FLines.insert(FLines.begin() + static_cast<std::ptrdiff_t>(Index), MakeLine(Text));
}
