#pragma once

#include <stdexcept>
#include <string>

// The program's general error class: file errors, refused settings writes and
// the like. Network failures never raise; they report through results.
class EQuorvelError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A local file could not be opened, created, read or written.
class EFileError : public EQuorvelError {
 public:
  using EQuorvelError::EQuorvelError;
};
