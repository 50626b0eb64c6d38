#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <system_error>

#include "platform/errors.h"
#include "platform/paths.h"
#include "platform/posix_calls.h"
#include "platform/tempnames.h"

namespace {

[[noreturn]] void RaiseFileError(const char* What, const std::string& Path, int Error) {
  throw EFileError(std::string(What) + " \"" + Path +
                   "\": " + std::system_category().message(Error));
}

size_t NameStart(const std::string& Path) {
  const size_t Slash = Path.rfind('/');
  return Slash == std::string::npos ? 0 : Slash + 1;
}

// A descriptor opened through the seam, closed when it goes.
class TDescriptor {
 public:
  explicit TDescriptor(int Fd) : FFd(Fd) {}
  ~TDescriptor() {
    if (FFd >= 0) PosixCalls().Close(FFd);
  }
  TDescriptor(const TDescriptor&) = delete;
  TDescriptor& operator=(const TDescriptor&) = delete;

  bool Valid() const { return FFd >= 0; }
  int Fd() const { return FFd; }
  void Reset(int Fd) {
    if (FFd >= 0) PosixCalls().Close(FFd);
    FFd = Fd;
  }
  // Closes now; a failed close can mean the data never reached the disk.
  bool Close() {
    const int Fd = FFd;
    FFd = -1;
    return PosixCalls().Close(Fd) == 0;
  }

 private:
  int FFd;
};

bool WriteAll(int Fd, std::string_view Bytes) {
  while (!Bytes.empty()) {
    const ssize_t Written = PosixCalls().Write(Fd, Bytes.data(), Bytes.size());
    if (Written < 0 && errno == EINTR) continue;
    if (Written <= 0) {
      if (Written == 0) errno = ENOSPC;
      return false;
    }
    Bytes.remove_prefix(static_cast<size_t>(Written));
  }
  return true;
}

// Writes Bytes as WriteAll does, asking the kernel after each piece to
// start putting it on the disk. The flush that follows then finds most of
// a big file already written instead of doing all of it alone; the request
// is only a hint, and the flush still decides.
bool WriteWithEarlyWriteback(int Fd, std::string_view Bytes) {
  constexpr size_t Piece = size_t{8} << 20;
  off_t Offset = 0;
  while (!Bytes.empty()) {
    const std::string_view Head = Bytes.substr(0, Piece);
    if (!WriteAll(Fd, Head)) return false;
    ::sync_file_range(Fd, Offset, static_cast<off_t>(Head.size()), SYNC_FILE_RANGE_WRITE);
    Offset += static_cast<off_t>(Head.size());
    Bytes.remove_prefix(Head.size());
  }
  return true;
}

// Reads everything left in Fd into Bytes; false (errno set) on a read error.
bool ReadAll(int Fd, std::string& Bytes) {
  std::array<char, 65536> Chunk{};
  for (;;) {
    const ssize_t Count = PosixCalls().Read(Fd, Chunk.data(), Chunk.size());
    if (Count < 0 && errno == EINTR) continue;
    if (Count < 0) return false;
    if (Count == 0) return true;
    Bytes.append(Chunk.data(), static_cast<size_t>(Count));
  }
}

// A new file under a temporary name (platform/tempnames.h) beside Path.
// Until it is kept, the file is removed when the object goes, so a failed
// write leaves no trace; a write cut short by the end of the process leaves
// a name that the next start removes.
class TTempFile {
 public:
  TTempFile(const std::string& Path, mode_t Mode) : FFile(-1) {
    // A name can still be taken by the leftover of an earlier process that
    // had the same id.
    constexpr int kAttempts = 100;
    for (int Attempt = 0; Attempt < kAttempts && !FFile.Valid(); ++Attempt) {
      FName = TemporaryNameFor(Path);
      FFile.Reset(PosixCalls().Open(FName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, Mode));
      if (!FFile.Valid() && errno != EEXIST) break;
    }
    FCreated = FFile.Valid();
  }
  ~TTempFile() {
    if (!FCreated) return;
    if (FFile.Valid()) FFile.Close();
    PosixCalls().Unlink(FName.c_str());
  }
  TTempFile(const TTempFile&) = delete;
  TTempFile& operator=(const TTempFile&) = delete;

  bool Valid() const { return FFile.Valid(); }
  int Fd() const { return FFile.Fd(); }
  const std::string& Name() const { return FName; }

  // Puts the content on the disk and closes the file.
  bool Finish() { return PosixCalls().Fsync(FFile.Fd()) == 0 && FFile.Close(); }
  // The file now lives under another name; leave it alone.
  void Keep() { FCreated = false; }

 private:
  TDescriptor FFile;
  std::string FName;
  bool FCreated = false;
};

// A symbolic link stays a link: the file it points to gets the new content.
std::string FollowLink(const std::string& Path) {
  struct stat Info {};
  if (::lstat(Path.c_str(), &Info) != 0 || !S_ISLNK(Info.st_mode)) return Path;
  const auto Free = [](char* Text) { std::free(Text); };
  const std::unique_ptr<char, decltype(Free)> Target(::realpath(Path.c_str(), nullptr), Free);
  return Target ? std::string(Target.get()) : Path;
}

// Makes the rename itself durable; a failure here leaves the new content in
// place, so it is not reported.
void SyncFolderOf(const std::string& Path) {
  const size_t Start = NameStart(Path);
  const std::string Folder = Start == 0 ? "." : Path.substr(0, Start);
  TDescriptor Dir(PosixCalls().Open(Folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
  if (Dir.Valid()) PosixCalls().Fsync(Dir.Fd());
}

// A rename replaces a file whatever the file's own permissions, so a file
// that refuses writing would be replaced without a word; ask the file itself
// first, as writing it in place would.
void RequireWritable(const std::string& Path) {
  TDescriptor File(
      PosixCalls().Open(Path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0));
  if (!File.Valid()) RaiseFileError("Cannot write file", Path, errno);
}

// Writes Bytes into a temporary file beside Target, flushes it and renames
// it over Target. With Keep, the new file gets that owner and mode first.
void PutInPlace(const std::string& Target, std::string_view Bytes, mode_t Mode,
                const struct stat* Keep) {
  TTempFile Temp(Target, Mode);
  if (!Temp.Valid()) RaiseFileError("Cannot create file", Temp.Name(), errno);
  if (Keep != nullptr) {
    // Where the process may (as root), the file keeps its owner; otherwise
    // the writer owns the new file, as with any file it creates.
    if (Keep->st_uid != ::geteuid() || Keep->st_gid != ::getegid()) {
      [[maybe_unused]] const int OwnerKept = ::fchown(Temp.Fd(), Keep->st_uid, Keep->st_gid);
    }
    [[maybe_unused]] const int ModeKept = ::fchmod(Temp.Fd(), Keep->st_mode & 07777);
  }
  if (!WriteWithEarlyWriteback(Temp.Fd(), Bytes))
    RaiseFileError("Cannot write file", Temp.Name(), errno);
  if (!Temp.Finish()) RaiseFileError("Cannot write file", Temp.Name(), errno);
  if (PosixCalls().Rename(Temp.Name().c_str(), Target.c_str()) != 0) {
    RaiseFileError("Cannot replace file", Target, errno);
  }
  Temp.Keep();
  SyncFolderOf(Target);
}

bool IsUnsupported(int Error) { return Error == EINVAL || Error == ENOSYS || Error == ENOTSUP; }

// Moves within one file system, never replacing To; errno tells why it failed
// (EXDEV for another file system).
bool RenameWithoutReplace(const std::string& From, const std::string& To) {
  const TPosixCalls& Calls = PosixCalls();
  if (Calls.RenameNoReplace(From.c_str(), To.c_str()) == 0) return true;
  if (!IsUnsupported(errno)) return false;
  // The file system cannot refuse to replace by itself: a hard link can.
  if (Calls.Link(From.c_str(), To.c_str()) == 0) {
    if (Calls.Unlink(From.c_str()) == 0) return true;
    const int Error = errno;
    Calls.Unlink(To.c_str());
    errno = Error;
    return false;
  }
  if (errno == EEXIST || errno == EXDEV) return false;
  // Neither works here (no hard links, or a folder): check first, leaving
  // only a name created in between at risk.
  struct stat Info {};
  if (::lstat(To.c_str(), &Info) == 0) {
    errno = EEXIST;
    return false;
  }
  return Calls.Rename(From.c_str(), To.c_str()) == 0;
}

// A move to another file system: the copy takes a temporary name beside To
// and gets its real name only when complete, and the source goes last.
bool CopyAcross(const std::string& From, const std::string& To) {
  TDescriptor Source(PosixCalls().Open(From.c_str(), O_RDONLY | O_CLOEXEC, 0));
  struct stat Info {};
  if (!Source.Valid() || ::fstat(Source.Fd(), &Info) != 0 || !S_ISREG(Info.st_mode)) {
    return false;
  }
  TTempFile Copy(To, Info.st_mode & 0777);
  if (!Copy.Valid()) return false;
  std::string Bytes;
  if (!ReadAll(Source.Fd(), Bytes) || !WriteAll(Copy.Fd(), Bytes)) return false;
  if (!Copy.Finish() || !RenameWithoutReplace(Copy.Name(), To)) return false;
  Copy.Keep();
  if (PosixCalls().Unlink(From.c_str()) == 0) return true;
  // The source stays, so the move did not happen: take the copy back.
  PosixCalls().Unlink(To.c_str());
  return false;
}

bool MatchesMask(std::string_view Name, std::string_view Mask) {
  const auto Fold = [](char C) { return C >= 'A' && C <= 'Z' ? static_cast<char>(C + 32) : C; };
  size_t N = 0;
  size_t M = 0;
  size_t StarAt = std::string_view::npos;
  size_t Resume = 0;
  while (N < Name.size()) {
    if (M < Mask.size() && Mask[M] == '*') {
      StarAt = M++;
      Resume = N;
    } else if (M < Mask.size() && (Mask[M] == '?' || Fold(Mask[M]) == Fold(Name[N]))) {
      ++M;
      ++N;
    } else if (StarAt != std::string_view::npos) {
      M = StarAt + 1;
      N = ++Resume;
    } else {
      return false;
    }
  }
  while (M < Mask.size() && Mask[M] == '*') ++M;
  return M == Mask.size();
}

}  // namespace

std::vector<std::string> FindFiles(const std::string& Folder, const std::string& Mask) {
  std::vector<std::string> Names;
  const auto CloseDir = [](DIR* Handle) { ::closedir(Handle); };
  const std::unique_ptr<DIR, decltype(CloseDir)> Dir(::opendir(Folder.c_str()), CloseDir);
  if (!Dir) return Names;
  while (const dirent* Entry = ::readdir(Dir.get())) {
    const std::string_view Name = Entry->d_name;
    if (Name == "." || Name == "..") continue;
    if (MatchesMask(Name, Mask)) Names.emplace_back(Name);
  }
  return Names;
}

bool MoveFileNoReplace(const std::string& From, const std::string& To) {
  if (RenameWithoutReplace(From, To)) return true;
  return errno == EXDEV && CopyAcross(From, To);
}

bool DeleteLocalFile(const std::string& Path) { return PosixCalls().Unlink(Path.c_str()) == 0; }

bool FileExists(const std::string& Path) {
  struct stat Info {};
  return ::stat(Path.c_str(), &Info) == 0 && !S_ISDIR(Info.st_mode);
}

bool SameFolder(const std::string& A, const std::string& B) {
  struct stat First {};
  struct stat Second {};
  if (::stat(A.c_str(), &First) != 0 || ::stat(B.c_str(), &Second) != 0) return SamePath(A, B);
  return First.st_dev == Second.st_dev && First.st_ino == Second.st_ino;
}

std::optional<TFileState> GetFileState(const std::string& Path) {
  struct stat Info {};
  if (::stat(Path.c_str(), &Info) != 0) return std::nullopt;
  constexpr int64_t NsPerSecond = 1000000000;
  return TFileState{static_cast<uint64_t>(Info.st_size),
                    static_cast<int64_t>(Info.st_mtim.tv_sec) * NsPerSecond + Info.st_mtim.tv_nsec};
}

std::string LoadFileBytes(const std::string& Path) {
  // Non-blocking, so that a FIFO or device under a file's name cannot hang
  // the caller; only regular files are read.
  TDescriptor File(PosixCalls().Open(Path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK, 0));
  if (!File.Valid()) RaiseFileError("Cannot open file", Path, errno);
  struct stat Info {};
  if (::fstat(File.Fd(), &Info) != 0) RaiseFileError("Cannot open file", Path, errno);
  if (!S_ISREG(Info.st_mode)) RaiseFileError("Cannot open file", Path, EINVAL);
  std::string Bytes;
  if (!ReadAll(File.Fd(), Bytes)) RaiseFileError("Cannot read file", Path, errno);
  return Bytes;
}

void SaveFileBytes(const std::string& Path, std::string_view Bytes, TNewFileAccess Access) {
  const std::string Target = FollowLink(Path);
  struct stat Existing {};
  const bool Replacing = ::stat(Target.c_str(), &Existing) == 0;
  if (Replacing) RequireWritable(Target);
  const mode_t Mode = Replacing || Access == TNewFileAccess::OwnerOnly ? 0600 : 0666;
  PutInPlace(Target, Bytes, Mode, Replacing ? &Existing : nullptr);
}

void ReplaceFileBytes(const std::string& Path, std::string_view Bytes) {
  PutInPlace(Path, Bytes, 0666, nullptr);
}

bool ForceDirectories(const std::string& Path) {
  if (Path.empty()) return false;
  // Each mkdir may fail because the folder exists; only the end counts.
  for (size_t End = Path.find('/', 1);; End = Path.find('/', End + 1)) {
    ::mkdir(Path.substr(0, End).c_str(), 0777);
    if (End == std::string::npos) break;
  }
  struct stat Info {};
  return ::stat(Path.c_str(), &Info) == 0 && S_ISDIR(Info.st_mode);
}

std::string ExecutableDirectory() {
  std::string Target(PATH_MAX, '\0');
  const ssize_t Length = ::readlink("/proc/self/exe", Target.data(), Target.size());
  if (Length <= 0 || static_cast<size_t>(Length) >= Target.size()) {
    RaiseFileError("Cannot read the program's path", "/proc/self/exe", errno);
  }
  Target.resize(static_cast<size_t>(Length));
  return Target.substr(0, NameStart(Target));
}
