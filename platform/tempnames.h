#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Names of the temporary files through which every save of this program
// goes: ".<name>.<pid>-<N>.tmp" beside the target, hidden and never ending in
// the target's own extension, so that no enumeration by mask picks one up.
// A save cut short by the end of the process leaves such a file behind; the
// program removes them when it starts.

// The id of the running process.
uint32_t CurrentProcessId();

// A name beside Path that no other call of this process gives, for a
// temporary file of a save to Path.
std::string TemporaryNameFor(const std::string& Path);

// Whether a bare name has the shape TemporaryNameFor gives.
bool IsTemporaryName(std::string_view Name);

// Deletes the entries of Folder (not below it) that have a temporary name;
// other entries are left alone, and what cannot be deleted stays.
void RemoveTemporaryLeftovers(const std::string& Folder);
