#include "tests/support/temp_dir.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <thread>

namespace testing_support {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/korvel-test-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    // Make read-only entries removable first.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
    }
    std::filesystem::remove_all(path_, ec);
}

std::string TempDir::Sub(const std::string& relative) const {
    return path_ + "/" + relative;
}

std::string TempDir::Write(const std::string& relative, const std::string& content) const {
    const std::string full = Sub(relative);
    std::filesystem::create_directories(std::filesystem::path(full).parent_path());
    WriteFile(full, content);
    return full;
}

std::string RandomBytes(std::size_t size, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(size, '\0');
    for (char& c : s)
        c = static_cast<char>(gen());
    return s;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

bool HoldsTree(const std::string& dir, const std::string& reference) {
    namespace fs = std::filesystem;
    for (const auto& e : fs::recursive_directory_iterator(reference)) {
        if (!e.is_regular_file())
            continue;
        const std::string rel = fs::relative(e.path(), reference);
        if (ReadFile(e.path()) != ReadFile(dir + "/" + rel))
            return false;
    }
    return true;
}

std::string WaitForFile(const std::string& path) {
    namespace fs = std::filesystem;
    using namespace std::chrono_literals;
    for (int i = 0; i < 200 && !fs::exists(path); ++i)
        std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(50ms);  // let the writer finish its line
    return fs::exists(path) ? ReadFile(path) : "";
}

}  // namespace testing_support
