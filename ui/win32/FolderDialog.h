#pragma once

#include <windows.h>

#include <optional>
#include <string>

// The shell's folder dialog, modal to Owner: only file-system folders, no
// button for new folders, starting at the root of the shell namespace with
// nothing selected, centred on the monitor nearest Owner. The chosen
// folder's path, or nothing when the user cancelled.
std::optional<std::string> BrowseForFolder(HWND Owner, const std::string& Instruction);
