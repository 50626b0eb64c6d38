#pragma once

#include <string>

// A fresh folder below the system's temporary folder, removed with all its
// content when the object goes. Path() ends in the path separator.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return FPath; }

  // Helpers for arranging and checking files below the folder; `name` is
  // relative to it and may contain sub-folders, which are created.
  void Write(const std::string& name, const std::string& bytes) const;
  std::string Read(const std::string& name) const;
  bool Exists(const std::string& name) const;

 private:
  std::string FPath;
};
