// A temporary folder that is removed with everything in it.
#pragma once

#include <string>

namespace testing_support {

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // path() + "/" + relative
    std::string Sub(const std::string& relative) const;
    // Writes a file below the folder, creating its parent folders.
    std::string Write(const std::string& relative, const std::string& content) const;

  private:
    std::string path_;
};

std::string ReadFile(const std::string& path);
// size bytes of repeatable pseudo-random data.
std::string RandomBytes(std::size_t size, unsigned seed);
void WriteFile(const std::string& path, const std::string& content);
// Whether every file below reference is in dir with the same bytes (dir may
// hold more).
bool HoldsTree(const std::string& dir, const std::string& reference);
// The file's content once it exists (a program writes it in the background),
// waiting up to two seconds; empty when it never comes.
std::string WaitForFile(const std::string& path);

}  // namespace testing_support
