// A real temporary folder for tests, removed with everything in it when the object goes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vardenix::fakes {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  // Writes `content` to the file `name` in the folder and answers its path.
  std::string Write(const std::string& name, const std::string& content) const;

 private:
  std::string path_;
};

// Small file helpers for tests.
std::vector<uint8_t> ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
void WriteFileText(const std::string& path, const std::string& text);
bool PathExists(const std::string& path);  // anything, a dangling symlink included
void MakeDirs(const std::string& path);
// Every entry under `root`, relative, sorted ("a", "a/b.txt", ...).
std::vector<std::string> ListTree(const std::string& root);

}  // namespace vardenix::fakes
