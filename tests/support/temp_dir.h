// A fresh temporary folder, removed with everything in it at the end of scope.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace tessaly::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

// The whole content of a file, or "" when it cannot be read.
std::string ReadFile(const std::filesystem::path& p);

}  // namespace tessaly::testing
