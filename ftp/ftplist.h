#pragma once

#include <cstdint>
#include <memory>
#include <string>
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
  void SetFileName(const std::string& Value) { FFileName = Value; }
  bool Directory() const { return FDirectory; }
  void SetDirectory(bool Value) { FDirectory = Value; }
  bool Readable() const { return FReadable; }
  void SetReadable(bool Value) { FReadable = Value; }
  int32_t FileSize() const { return FFileSize; }
  void SetFileSize(int32_t Value) { FFileSize = Value; }
  TDateTime FileTime() const { return FFileTime; }
  void SetFileTime(TDateTime Value) { FFileTime = Value; }
  const std::string& OriginalLine() const { return FOriginalLine; }
  void SetOriginalLine(const std::string& Value) { FOriginalLine = Value; }
  const std::string& Mask() const { return FMask; }
  void SetMask(const std::string& Value) { FMask = Value; }
  const std::string& Permission() const { return FPermission; }
  void SetPermission(const std::string& Value) { FPermission = Value; }

 private:
  std::string FFileName;
  bool FDirectory = false;
  bool FReadable = false;
  int32_t FFileSize = 0;
  TDateTime FFileTime = 0;
  std::string FOriginalLine;
  std::string FMask;
  std::string FPermission;
};

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
