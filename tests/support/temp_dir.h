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

}  // namespace testing_support
