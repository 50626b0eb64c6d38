#pragma once

#include <string>
#include <string_view>
#include <vector>

// Local file-system operations. Enumeration, moves and deletes report through
// results; loading and saving raise EFileError.

// Names of the entries of Folder that match a "*.ext" mask ("*" any run of
// characters, "?" any one), ASCII letters without regard to case; folders
// and hidden entries included, in the platform's order. A missing folder
// gives no names.
std::vector<std::string> FindFiles(const std::string& Folder, const std::string& Mask);

// Renames From to To, failing (false, source left in place) when To exists.
// Across file systems it copies to a temporary name beside To, renames that
// into place and then deletes From, so no partial file appears under To.
bool MoveFileNoReplace(const std::string& From, const std::string& To);

bool DeleteLocalFile(const std::string& Path);

// Present and not a folder.
bool FileExists(const std::string& Path);

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

// Creates the folder and every missing parent; false when it cannot.
bool ForceDirectories(const std::string& Path);

// The folder of the running executable, with its trailing separator.
std::string ExecutableDirectory();
