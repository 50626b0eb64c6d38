#pragma once

#include <string>

// The bare file name of the running executable ("quorvel"), without folder.
std::string ExecutableFileName();
