// The passive-mode replies: ParseRemote ("PASV") and ParseRemoteEPSV
// ("EPSV"), on any reply line and on well-formed replies built from the
// input. A reply line reaches them as UTF-8 decoded from code page 1251, one
// character per byte the server sent, so the readings below work on the
// server's bytes.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ftp/ftpsend.h"
#include "fuzz/FuzzCheck.h"
#include "platform/codepage.h"

namespace {

const std::string kTargetHost = "ftp.example.test";

TFTPSend& Session() {
  static TFTPSend session;
  session.SetTargetHost(kTargetHost);
  return session;
}

std::string_view TrimControls(std::string_view Text) {
  while (!Text.empty() && static_cast<unsigned char>(Text.front()) <= ' ') Text.remove_prefix(1);
  while (!Text.empty() && static_cast<unsigned char>(Text.back()) <= ' ') Text.remove_suffix(1);
  return Text;
}

// One optional sign and decimal digits within 32 signed bits; 0 otherwise.
int64_t DecimalOrZero(std::string_view Text) {
  const bool negative = Text.starts_with('-');
  if (negative || Text.starts_with('+')) Text.remove_prefix(1);
  if (Text.empty()) return 0;
  int64_t value = 0;
  for (const char c : Text) {
    if (c < '0' || c > '9') return 0;
    value = std::min<int64_t>(value * 10 + (c - '0'), int64_t{1} << 40);
  }
  if (negative) value = -value;
  return value >= INT32_MIN && value <= INT32_MAX ? value : 0;
}

bool IsDecimalText(std::string_view Text) {
  if (Text.starts_with('-')) Text.remove_prefix(1);
  return !Text.empty() && Text.find_first_not_of("0123456789") == std::string_view::npos;
}

struct TDataAddress {
  std::string IP;
  std::string Port;
};

// "PASV": the text in the parentheses, or after the last blank; four fields
// for the address, two decimal numbers for the port.
TDataAddress ReadPasv(std::string_view Line) {
  Line = TrimControls(Line);
  std::string_view inner;
  if (Line.find('(') != std::string_view::npos && Line.find(')') != std::string_view::npos) {
    inner = Line.substr(Line.find('(') + 1);
    inner = inner.substr(0, inner.find(')'));
  } else {
    const size_t blank = Line.rfind(' ');
    inner = blank == std::string_view::npos ? Line : Line.substr(blank + 1);
  }
  std::vector<std::string_view> fields;
  for (size_t start = 0;;) {
    const size_t comma = inner.find(',', start);
    fields.push_back(TrimControls(inner.substr(start, comma - start)));
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  fields.resize(std::max<size_t>(fields.size(), 6));
  const std::string ip = std::string(fields[0]) + "." + std::string(fields[1]) + "." +
                         std::string(fields[2]) + "." + std::string(fields[3]);
  return {ip, std::to_string(DecimalOrZero(fields[4]) * 256 + DecimalOrZero(fields[5]))};
}

// "EPSV": inside the parentheses, trimmed, without its last character, the
// digits at the end.
std::string ReadEpsvPort(std::string_view Line) {
  if (const size_t open = Line.find('('); open != std::string_view::npos)
    Line.remove_prefix(open + 1);
  Line = TrimControls(Line.substr(0, Line.find(')')));
  if (!Line.empty()) Line.remove_suffix(1);
  size_t digits = Line.size();
  while (digits > 0 && Line[digits - 1] >= '0' && Line[digits - 1] <= '9') --digits;
  return std::string(Line.substr(digits));
}

std::string WithoutParentheses(std::string_view Text) {
  std::string result;
  for (const char c : Text) {
    if (c != '(' && c != ')') result += c;
  }
  return result;
}

// Well-formed replies around six numbers taken from the input, with blanks
// around the fields and free text before and after.
void CheckWellFormed(const uint8_t* Data, size_t Size) {
  if (Size < 7) return;
  TFTPSend& session = Session();
  const std::string text = Cp1251ToUtf8(
      WithoutParentheses(std::string_view(reinterpret_cast<const char*>(Data) + 7, Size - 7)));
  const uint8_t blanks = Data[6];
  std::string fields;
  for (int i = 0; i < 6; ++i) {
    if (i > 0) fields += ',';
    if (blanks & (1 << i)) fields += ' ';
    fields += std::to_string(Data[i]);
  }
  const std::string ip = std::to_string(Data[0]) + "." + std::to_string(Data[1]) + "." +
                         std::to_string(Data[2]) + "." + std::to_string(Data[3]);
  const std::string port = std::to_string(Data[4] * 256 + Data[5]);

  session.ParseRemote("227 " + text + " (" + fields + (blanks & 0x40 ? " )" : ")") + text);
  FUZZ_CHECK(session.DataIP() == ip && session.DataPort() == port);

  std::string bare = fields;
  std::erase(bare, ' ');
  session.ParseRemote("227 " + text + " " + bare + (blanks & 0x80 ? "\r" : ""));
  FUZZ_CHECK(session.DataIP() == ip && session.DataPort() == port);

  const std::string epsvPort = std::to_string(Data[4] * 256 + Data[5]);
  session.ParseRemoteEPSV("229 " + text + " (|||" + epsvPort + "|)" + text);
  FUZZ_CHECK(session.DataIP() == kTargetHost && session.DataPort() == epsvPort);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string bytes(reinterpret_cast<const char*>(Data), Size);
  const std::string line = Cp1251ToUtf8(bytes);
  TFTPSend& session = Session();

  const TDataAddress expected = ReadPasv(bytes);
  session.ParseRemote(line);
  FUZZ_CHECK(session.DataIP() == Cp1251ToUtf8(expected.IP));
  FUZZ_CHECK(session.DataPort() == expected.Port);

  session.ParseRemoteEPSV(line);
  FUZZ_CHECK(session.DataIP() == kTargetHost);
  FUZZ_CHECK(session.DataPort() == ReadEpsvPort(bytes));

  // Bytes that are not UTF-8 never come from the session, but must not
  // break either reading.
  session.ParseRemote(bytes);
  FUZZ_CHECK(IsDecimalText(session.DataPort()));
  session.ParseRemoteEPSV(bytes);
  FUZZ_CHECK(session.DataPort().find_first_not_of("0123456789") == std::string::npos);

  CheckWellFormed(Data, Size);
  return 0;
}
