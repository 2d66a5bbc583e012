// Runs one DownloadPatchFile and prints the seconds it took (for
// bench/http_download.sh).
#include <chrono>
#include <cstdio>

#include "korvel/net/http_download.h"

namespace {

class CountingWindow : public DownloadWindow {
  public:
    void PostStatusText(const std::string&) override { ++texts; }
    void SetDownloadBar(int) override {}
    void ShowMessage(const std::string& text) override {
        std::fprintf(stderr, "%s\n", text.c_str());
    }
    void PostExpansionDone() override {}
    void SetBtState(std::int32_t) override {}
    long texts = 0;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s URL LOCAL_PATH MD5\n", argv[0]);
        return 2;
    }
    CountingWindow window;
    const auto start = std::chrono::steady_clock::now();
    const int result = DownloadPatchFile(window, argv[1], argv[2], argv[3]);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::printf("%.3f\n", took.count());
    std::fprintf(stderr, "result %d, %ld progress texts\n", result, window.texts);
    return result;
}
