#include "platform/files.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>

#include "platform/errors.h"
#include "platform/paths.h"
#include "platform/tempnames.h"
#include "platform/wintext.h"

namespace {

[[noreturn]] void RaiseFileError(const char* What, const std::string& Path, DWORD Error) {
  throw EFileError(std::string(What) + " \"" + Path + "\": " + WindowsErrorText(Error));
}

// A handle that is closed when it goes.
class THandle {
 public:
  explicit THandle(HANDLE Handle) : FHandle(Handle) {}
  ~THandle() {
    if (Valid()) CloseHandle(FHandle);
  }
  THandle(const THandle&) = delete;
  THandle& operator=(const THandle&) = delete;

  bool Valid() const { return FHandle != INVALID_HANDLE_VALUE; }
  HANDLE Get() const { return FHandle; }
  void Reset(HANDLE Handle) {
    if (Valid()) CloseHandle(FHandle);
    FHandle = Handle;
  }
  // Closes now; a failed close can mean the data never reached the disk.
  bool Close() {
    const HANDLE Handle = FHandle;
    FHandle = INVALID_HANDLE_VALUE;
    return CloseHandle(Handle) != 0;
  }

 private:
  HANDLE FHandle;
};

bool WriteAll(HANDLE File, std::string_view Bytes) {
  while (!Bytes.empty()) {
    constexpr size_t kMaxChunk = 1 << 30;
    const DWORD Chunk = static_cast<DWORD>(std::min(Bytes.size(), kMaxChunk));
    DWORD Written = 0;
    if (!WriteFile(File, Bytes.data(), Chunk, &Written, nullptr)) return false;
    if (Written == 0) {
      SetLastError(ERROR_DISK_FULL);
      return false;
    }
    Bytes.remove_prefix(Written);
  }
  return true;
}

// A new file under a temporary name beside Path, removed when the object goes
// unless it was kept under its real name.
class TTempFile {
 public:
  explicit TTempFile(const std::string& Path) {
    // A name can still be taken by the leftover of an earlier process that
    // had the same id.
    constexpr int kAttempts = 100;
    for (int Attempt = 0; Attempt < kAttempts && !FFile.Valid(); ++Attempt) {
      FName = TemporaryNameFor(Path);
      FFile.Reset(CreateFileW(Widen(FName).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
      if (!FFile.Valid() && GetLastError() != ERROR_FILE_EXISTS) break;
    }
    FCreated = FFile.Valid();
  }
  ~TTempFile() {
    if (FFile.Valid()) FFile.Close();
    if (FCreated) DeleteFileW(Widen(FName).c_str());
  }
  TTempFile(const TTempFile&) = delete;
  TTempFile& operator=(const TTempFile&) = delete;

  bool Valid() const { return FFile.Valid(); }
  HANDLE Handle() const { return FFile.Get(); }
  const std::string& Name() const { return FName; }

  // Puts the content on the disk and closes the file.
  bool Finish() { return FlushFileBuffers(FFile.Get()) && FFile.Close(); }
  void Keep() { FCreated = false; }

 private:
  std::string FName;
  THandle FFile{INVALID_HANDLE_VALUE};
  bool FCreated = false;
};

DWORD Attributes(const std::string& Path) { return GetFileAttributesW(Widen(Path).c_str()); }

bool IsFolder(DWORD Attributes) {
  return Attributes != INVALID_FILE_ATTRIBUTES && (Attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Writes Bytes into a temporary file beside Path, flushes it and renames it
// over Path; the rename itself is on the disk when this returns.
void PutInPlace(const std::string& Path, std::string_view Bytes) {
  TTempFile Temp(Path);
  if (!Temp.Valid()) RaiseFileError("Cannot create file", Temp.Name(), GetLastError());
  if (!WriteAll(Temp.Handle(), Bytes)) {
    RaiseFileError("Cannot write file", Temp.Name(), GetLastError());
  }
  if (!Temp.Finish()) RaiseFileError("Cannot write file", Temp.Name(), GetLastError());
  if (!MoveFileExW(Widen(Temp.Name()).c_str(), Widen(Path).c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    RaiseFileError("Cannot replace file", Path, GetLastError());
  }
  Temp.Keep();
}

// A move to another volume: the copy takes a temporary name beside To and
// gets its real name only when it is complete and on the disk, and the
// source goes last, so a cut at any step leaves no partial file under To.
bool CopyAcross(const std::string& From, const std::string& To) {
  const std::string Temp = TemporaryNameFor(To);
  if (!CopyFileW(Widen(From).c_str(), Widen(Temp).c_str(), TRUE)) return false;
  THandle Copy(CreateFileW(Widen(Temp).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
  const bool Flushed = Copy.Valid() && FlushFileBuffers(Copy.Get()) && Copy.Close();
  if (!Flushed || !MoveFileExW(Widen(Temp).c_str(), Widen(To).c_str(), MOVEFILE_WRITE_THROUGH)) {
    DeleteFileW(Widen(Temp).c_str());
    return false;
  }
  if (DeleteFileW(Widen(From).c_str())) return true;
  // The source stays, so the move did not happen: take the copy back.
  DeleteFileW(Widen(To).c_str());
  return false;
}

// Volume serial and file index: what names one file or folder, whatever path
// leads there.
struct TFileIdentity {
  DWORD Volume = 0;
  uint64_t Index = 0;
  friend bool operator==(const TFileIdentity&, const TFileIdentity&) = default;
};

std::optional<TFileIdentity> IdentityOf(const std::string& Path) {
  // Backup semantics let a folder be opened; no access is asked for.
  THandle Handle(CreateFileW(Widen(Path).c_str(), 0,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION Info{};
  if (!Handle.Valid() || !GetFileInformationByHandle(Handle.Get(), &Info)) return std::nullopt;
  return TFileIdentity{Info.dwVolumeSerialNumber,
                       static_cast<uint64_t>(Info.nFileIndexHigh) << 32 | Info.nFileIndexLow};
}

}  // namespace

std::vector<std::string> FindFiles(const std::string& Folder, const std::string& Mask) {
  std::vector<std::string> Names;
  WIN32_FIND_DATAW Entry{};
  const std::string Pattern = Folder.empty() ? Mask : IncludeTrailingPathDelimiter(Folder) + Mask;
  const HANDLE Search = FindFirstFileW(Widen(Pattern).c_str(), &Entry);
  if (Search == INVALID_HANDLE_VALUE) return Names;
  do {
    if (!IsFolder(Entry.dwFileAttributes)) Names.push_back(Narrow(Entry.cFileName));
  } while (FindNextFileW(Search, &Entry));
  FindClose(Search);
  return Names;
}

bool MoveFileNoReplace(const std::string& From, const std::string& To) {
  // Without flags the move is a rename that refuses an existing target.
  if (MoveFileExW(Widen(From).c_str(), Widen(To).c_str(), 0)) return true;
  return GetLastError() == ERROR_NOT_SAME_DEVICE && CopyAcross(From, To);
}

bool DeleteLocalFile(const std::string& Path) { return DeleteFileW(Widen(Path).c_str()) != 0; }

bool FileExists(const std::string& Path) {
  const DWORD Found = Attributes(Path);
  return Found != INVALID_FILE_ATTRIBUTES && !IsFolder(Found);
}

bool SameFolder(const std::string& A, const std::string& B) {
  const std::optional<TFileIdentity> First = IdentityOf(A);
  const std::optional<TFileIdentity> Second = IdentityOf(B);
  if (!First || !Second) return SamePath(A, B);
  return *First == *Second;
}

std::optional<TFileState> GetFileState(const std::string& Path) {
  WIN32_FILE_ATTRIBUTE_DATA Info{};
  if (!GetFileAttributesExW(Widen(Path).c_str(), GetFileExInfoStandard, &Info)) return std::nullopt;
  // File times count 100 ns steps since 1601; in nanoseconds from there
  // they would overflow, so they are counted from 1970 as on Linux.
  constexpr int64_t kTicksFrom1601To1970 = 116444736000000000;
  const uint64_t Ticks = static_cast<uint64_t>(Info.ftLastWriteTime.dwHighDateTime) << 32 |
                         Info.ftLastWriteTime.dwLowDateTime;
  return TFileState{static_cast<uint64_t>(Info.nFileSizeHigh) << 32 | Info.nFileSizeLow,
                    (static_cast<int64_t>(Ticks) - kTicksFrom1601To1970) * 100};
}

std::string LoadFileBytes(const std::string& Path) {
  THandle File(CreateFileW(Widen(Path).c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!File.Valid()) RaiseFileError("Cannot open file", Path, GetLastError());
  // Only files on a disk are read: a pipe or device under a file's name could
  // block the caller for good.
  if (GetFileType(File.Get()) != FILE_TYPE_DISK) {
    RaiseFileError("Cannot open file", Path, ERROR_INVALID_PARAMETER);
  }
  std::string Bytes;
  std::unique_ptr<char[]> Chunk(new char[65536]);
  for (;;) {
    DWORD Count = 0;
    if (!ReadFile(File.Get(), Chunk.get(), 65536, &Count, nullptr)) {
      RaiseFileError("Cannot read file", Path, GetLastError());
    }
    if (Count == 0) return Bytes;
    Bytes.append(Chunk.get(), Count);
  }
}

void SaveFileBytes(const std::string& Path, std::string_view Bytes, TNewFileAccess) {
  // A replace would go through a read-only file without a word; refuse it as
  // writing it in place would. The new file gets the folder's inherited
  // security, which on Windows already keeps other users' hands off a
  // profile folder.
  const DWORD Existing = Attributes(Path);
  if (Existing != INVALID_FILE_ATTRIBUTES && (Existing & FILE_ATTRIBUTE_READONLY) != 0) {
    RaiseFileError("Cannot write file", Path, ERROR_ACCESS_DENIED);
  }
  PutInPlace(Path, Bytes);
}

void ReplaceFileBytes(const std::string& Path, std::string_view Bytes) { PutInPlace(Path, Bytes); }

bool ForceDirectories(const std::string& Path) {
  if (Path.empty()) return false;
  // Each step may fail because the folder exists (or is a drive); only the
  // end counts.
  for (size_t End = Path.find_first_of("\\/", 1);; End = Path.find_first_of("\\/", End + 1)) {
    CreateDirectoryW(Widen(Path.substr(0, End)).c_str(), nullptr);
    if (End == std::string::npos) break;
  }
  return IsFolder(Attributes(Path));
}

std::string ExecutableDirectory() {
  std::wstring Path(32768, L'\0');
  const DWORD Length = GetModuleFileNameW(nullptr, Path.data(), static_cast<DWORD>(Path.size()));
  if (Length == 0 || Length >= Path.size()) {
    RaiseFileError("Cannot read the program's path", "GetModuleFileNameW", GetLastError());
  }
  Path.resize(Length);
  // Up to and including the last backslash or drive colon.
  return Narrow(Path.substr(0, Path.find_last_of(L"\\:") + 1));
}
