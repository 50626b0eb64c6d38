#include "support/TempDir.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

// Paths are UTF-8 text here; on Windows a path made from plain char would be
// read in the ANSI code page instead.
fs::path PathOf(const std::string& Utf8) {
  return fs::path(std::u8string(Utf8.begin(), Utf8.end()));
}

std::string TextOf(const fs::path& Path) {
  const std::u8string Utf8 = Path.u8string();
  return {Utf8.begin(), Utf8.end()};
}

}  // namespace

TempDir::TempDir() {
  // create_directory tells a folder it made from one that was there, so a
  // random name taken by someone else is simply passed over.
  std::random_device seed;
  std::mt19937_64 random(seed());
  constexpr int kAttempts = 100;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    const fs::path candidate =
        fs::temp_directory_path() / ("quorvel-" + std::to_string(random() % 1000000000));
    if (fs::create_directory(candidate)) {
      // Private, as mkdtemp makes it.
      fs::permissions(candidate, fs::perms::owner_all);
      FPath = TextOf(candidate) + static_cast<char>(fs::path::preferred_separator);
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(PathOf(FPath), ignored);
}

void TempDir::Write(const std::string& name, const std::string& bytes) const {
  const fs::path path = PathOf(FPath + name);
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + FPath + name);
}

std::string TempDir::Read(const std::string& name) const {
  std::ifstream in(PathOf(FPath + name), std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + FPath + name);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool TempDir::Exists(const std::string& name) const { return fs::exists(PathOf(FPath + name)); }
