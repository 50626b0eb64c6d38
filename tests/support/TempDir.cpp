#include "support/TempDir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace fs = std::filesystem;

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "quorvel-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  FPath = pattern + "/";
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(FPath, ignored);
}

void TempDir::Write(const std::string& name, const std::string& bytes) const {
  const fs::path path = FPath + name;
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string TempDir::Read(const std::string& name) const {
  std::ifstream in(FPath + name, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + FPath + name);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool TempDir::Exists(const std::string& name) const { return fs::exists(FPath + name); }
