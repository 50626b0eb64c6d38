#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Temporary files of a save live beside their target as
// ".<name>.<pid>-<N>.tmp": hidden on Linux, never ending in the target's
// extension (so enumerations by mask pass them by), and recognisable, so the
// leftovers of a save cut short by a power cut can be cleared away.

// The process id in the names.
uint32_t CurrentProcessId();

std::string TemporaryNameFor(const std::string& Path);  // unique per call, beside Path
bool IsTemporaryName(std::string_view Name);            // matches the pattern above
void RemoveTemporaryLeftovers(
    const std::string& Folder);  // deletes only pattern matches, only in Folder
