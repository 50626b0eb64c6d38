#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Directory listings: the text of a LIST reply turned into entries by a table
// of line layouts (masks), with EPLF lines recognised first. Texts are UTF-8,
// decoded from the server's bytes through code page 1251.

// Days since 30 December 1899, the time of day as the fraction.
using TDateTime = double;

class TFTPListRec {
 public:
  virtual ~TFTPListRec() = default;
  virtual void Assign(const TFTPListRec& Value);

  const std::string& FileName() const { return FFileName; }
  void SetFileName(std::string Value) { FFileName = std::move(Value); }
  bool Directory() const { return FDirectory; }
  void SetDirectory(bool Value) { FDirectory = Value; }
  bool Readable() const { return FReadable; }
  void SetReadable(bool Value) { FReadable = Value; }
  int32_t FileSize() const { return FFileSize; }
  void SetFileSize(int32_t Value) { FFileSize = Value; }
  TDateTime FileTime() const { return FFileTime; }
  void SetFileTime(TDateTime Value) { FFileTime = Value; }
  const std::string& OriginalLine() const { return FOriginalLine; }
  void SetOriginalLine(std::string Value) { FOriginalLine = std::move(Value); }
  const std::string& Mask() const;
  void SetMask(const std::string& Value);
  // The parser hands every entry of one mask the same text.
  void SetMask(std::shared_ptr<const std::string> Value) { FMask = std::move(Value); }
  const std::string& Permission() const { return FPermission; }
  void SetPermission(const std::string& Value) { FPermission = Value; }

 private:
  std::string FFileName;
  bool FDirectory = false;
  bool FReadable = false;
  int32_t FFileSize = 0;
  TDateTime FFileTime = 0;
  std::string FOriginalLine;
  std::shared_ptr<const std::string> FMask;
  std::string FPermission;
};

struct TMaskProgram;
struct TMatchLine;
struct TLocalTime;

class TFTPList {
 public:
  TFTPList();
  virtual ~TFTPList();
  TFTPList(const TFTPList&) = delete;
  TFTPList& operator=(const TFTPList&) = delete;

  // The entry at 0..Count()-1; nullptr at or beyond Count().
  virtual TFTPListRec* Items(int Index) const;
  virtual bool ParseEplfLine(const std::string& Value);
  virtual void ClearFields();
  // 0 no match, 1 match, 2 match that went on into the next line.
  virtual int MatchMask(const std::string& Value, const std::string& NextValue,
                        const std::string& Mask);
  virtual bool CheckFields();
  // A date or hour that passes CheckFields without existing (31 April,
  // 29 February of a common year, hour 24, "13:00PM") runs on into the
  // following days: 1 May, 1 March, the next day's 00:00 and 01:00.
  virtual void FillEntry(TFTPListRec& Value);
  virtual void Clear();
  virtual int Count() const;
  virtual void Assign(const TFTPList& Value);
  // Parses all of Lines, appending to the entries and UnparsedLines.
  virtual void ParseLines();

  // Lines := the bytes of a listing as text, cut at CR LF, LF or CR (a line
  // end at the very end opens no further line). A byte-order mark selects
  // its Unicode encoding; other bytes are code page 1251 text. False when
  // the lines alone would take more than MaxMemory.
  bool LoadListing(std::string_view Bytes);

  // The most memory that Lines, the entries and UnparsedLines of one listing
  // may take together (96 MiB, as the allocator counts it: room for a
  // Unix-style listing of 16 MiB). LoadListing or ParseLines that would pass
  // it empties the list instead and sets MemoryExceeded, so that a listing
  // of millions of tiny lines cannot grow a session without bound; Clear
  // resets it. Tests lower it.
  int64_t MaxMemory() const { return FMaxMemory; }
  void SetMaxMemory(int64_t Value) { FMaxMemory = Value; }
  bool MemoryExceeded() const { return FMemoryExceeded; }

  std::vector<std::string>& Lines() { return FLines; }
  const std::vector<std::string>& Masks() const { return FMasks; }
  const std::vector<std::string>& UnparsedLines() const { return FUnparsedLines; }

 protected:
  std::vector<std::unique_ptr<TFTPListRec>> FList;
  std::vector<std::string> FLines;
  std::vector<std::string> FMasks;
  std::vector<std::string> FUnparsedLines;
  // What one mask match collected from one line.
  std::string Monthnames, BlockSize, DirFlagValue, FileName, VMSFileName, Day, Month, ThreeMonth,
      YearTime, Year, Hours, HoursModif, Minutes, Seconds, Size, Permissions, DirFlag;

 private:
  static std::vector<TMaskProgram> CompileMasks(const std::vector<std::string>& Masks);
  static TMaskProgram CompileMask(const std::string& Mask);
  // MatchMask with a compiled mask. With StopAtRefusedField a character
  // that CheckFields would refuse in its field ends the match at once
  // (result 0), sparing the rest of a layout that cannot be accepted.
  int RunMask(const TMaskProgram& Program, const TMatchLine& Value, std::string_view NextValue,
              bool StopAtRefusedField);
  void FillEntryAt(TFTPListRec& Value, const TLocalTime& Present);
  // Memory held by the entries and unparsed lines with their containers,
  // and LinesHeld for Lines.
  int64_t HeldMemory(int64_t LinesHeld) const;
  void ClearForExceededMemory();

  std::vector<TMaskProgram> FPrograms;
  int64_t FMaxMemory = int64_t{96} * 1024 * 1024;
  // Heap memory of the entries and unparsed lines, their containers aside.
  int64_t FItemsHeld = 0;
  bool FMemoryExceeded = false;
};

// Month number 1..12 of a three-letter month name, 0 when no table row and
// no regional month name matches. Texts compare as code page 1251 text with
// the ASCII and all Cyrillic letters upper-cased; the regional names (the
// LC_TIME locale's on Unix) are read once, on first use.
int MonthNumber(const std::string& Value);

// Time of day (fraction of a day) of h:mm or h:mm:ss, one or two digits a
// part, blanks around allowed, anything beyond two characters after the
// last ":" ignored; -1 when it is not a time of day.
double TimeFromText(const std::string& Value);
