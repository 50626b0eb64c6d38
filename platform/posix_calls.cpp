#include "platform/posix_calls.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace {

int SystemOpen(const char* Path, int Flags, mode_t Mode) { return ::open(Path, Flags, Mode); }

int SystemRenameNoReplace(const char* From, const char* To) {
  return ::renameat2(AT_FDCWD, From, AT_FDCWD, To, RENAME_NOREPLACE);
}

constexpr TPosixCalls kSystemCalls = {
    SystemOpen, ::read,  ::write, ::fsync, ::close, ::rename, SystemRenameNoReplace,
    ::link,     ::unlink};

TPosixCalls CurrentCalls = kSystemCalls;

}  // namespace

TPosixCalls& PosixCalls() { return CurrentCalls; }

const TPosixCalls& SystemPosixCalls() { return kSystemCalls; }
