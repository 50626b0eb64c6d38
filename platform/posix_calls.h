#pragma once

#include <sys/types.h>

// The POSIX calls through which the file layer touches the disk. Tests
// replace single members to make a call fail or to watch the disk between
// two steps of a write; everything else always goes through PosixCalls().
struct TPosixCalls {
  int (*Open)(const char* Path, int Flags, mode_t Mode);
  ssize_t (*Read)(int Fd, void* Buffer, size_t Count);
  ssize_t (*Write)(int Fd, const void* Buffer, size_t Count);
  int (*Fsync)(int Fd);
  int (*Close)(int Fd);
  int (*Rename)(const char* From, const char* To);
  // A rename that fails with EEXIST instead of replacing an existing To.
  int (*RenameNoReplace)(const char* From, const char* To);
  int (*Link)(const char* From, const char* To);
  int (*Unlink)(const char* Path);
};

// The calls in force; members may be swapped by tests.
TPosixCalls& PosixCalls();

// The real system calls.
const TPosixCalls& SystemPosixCalls();
