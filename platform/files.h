#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Local file-system operations. Enumeration, moves and deletes report through
// results; loading and saving raise EFileError.

// Names of the entries of Folder that match a "*.ext" mask ("*" any run of
// characters, "?" any one), ASCII letters without regard to case; hidden
// entries included, in the platform's order. Folders are included on Linux
// and left out on Windows, where FindFirstFileW tells them at once; callers
// check FileExists. A missing folder gives no names.
std::vector<std::string> FindFiles(const std::string& Folder, const std::string& Mask);

// Renames From to To, failing (false, source left in place) when To exists.
// Across file systems it copies to a temporary name beside To, renames that
// into place and then deletes From, so no partial file appears under To.
bool MoveFileNoReplace(const std::string& From, const std::string& To);

bool DeleteLocalFile(const std::string& Path);

// Present and not a folder.
bool FileExists(const std::string& Path);

// Whether two folder paths name the same existing folder, decided by file
// identity (device and inode; volume serial and file index on Windows), so a
// symbolic link, "//", "/./" or a bind mount are seen through. When either
// cannot be examined the texts are compared by SamePath.
bool SameFolder(const std::string& A, const std::string& B);

// Size and modification time of a file, for telling whether it is still
// changing; nullopt when it cannot be examined.
struct TFileState {
  uint64_t Size = 0;
  int64_t ModifiedNs = 0;  // nanoseconds since the platform's epoch
  friend bool operator==(const TFileState&, const TFileState&) = default;
};
std::optional<TFileState> GetFileState(const std::string& Path);

// The whole file; raises EFileError when it cannot be opened or read.
std::string LoadFileBytes(const std::string& Path);

// Who may use a file that SaveFileBytes creates. A file that is replaced keeps
// the permissions it had.
enum class TNewFileAccess {
  Default,   // as the process's defaults allow
  OwnerOnly  // read and write for the owner only, for files holding secrets
};

// Writes a temporary file beside Path, flushes it and renames it over Path,
// so Path holds the old or the new content, never a part. An existing Path
// that refuses writing is not replaced. Raises EFileError.
void SaveFileBytes(const std::string& Path, std::string_view Bytes,
                   TNewFileAccess Access = TNewFileAccess::Default);

// Writes Bytes into a new file under a temporary name beside Path, flushes
// it and renames it to Path, which then names the new file whatever entry it
// named before (a symbolic link is replaced, not followed). Path shows the
// old entry or the whole new file, never a part; nothing else ever appears
// under Path. Raises EFileError, leaving Path as it was.
void ReplaceFileBytes(const std::string& Path, std::string_view Bytes);

// Creates the folder and every missing parent; false when it cannot.
bool ForceDirectories(const std::string& Path);

// The folder of the running executable, with its trailing separator.
std::string ExecutableDirectory();
