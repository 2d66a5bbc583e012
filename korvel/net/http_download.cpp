#include "korvel/net/http_download.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <vector>

#include "korvel/net/zr_session.h"
#include "korvel/update/md5.h"
#include "korvel/update/run_state.h"

namespace {

enum class Kind { Patch, Expansion };

std::string Format(const char* pattern, const std::string& arg) {
    std::vector<char> text(arg.size() + std::char_traits<char>::length(pattern) + 1);
    std::snprintf(text.data(), text.size(), pattern, arg.c_str());
    return text.data();
}

// "Content-Length" as the 32-bit number it is kept in; 0 when absent or not
// a number.
std::uint32_t ContentLength32(const std::string& text) {
    if (text.empty() || text[0] < '0' || text[0] > '9')
        return 0;
    return static_cast<std::uint32_t>(std::strtoull(text.c_str(), nullptr, 10));
}

void LowerPendingDownloads() {
    std::lock_guard lock(DownloadLock);
    if (PendingDownloads > 0)
        --PendingDownloads;
}

int Download(Kind kind, DownloadWindow& window, const std::string& url,
             const std::string& localPath, const std::string& expectedMd5) {
    // An installer listed without a digest is not checked at all: no file is
    // taken as already correct, and a complete transfer counts as done.
    const bool checkDigest = (kind == Kind::Patch) || !expectedMd5.empty();

    if (checkDigest && CheckFileMd5(localPath, expectedMd5) == 1) {
        QuitRequested = false;
        if (kind == Kind::Patch)
            LowerPendingDownloads();
        window.SetDownloadBar(100);
        return DOWNLOAD_DONE;
    }
    ::unlink(localPath.c_str());
    window.SetDownloadBar(0);

    // Close-on-exec: a program started meanwhile must not keep the file
    // open for writing, or the check after the transfer refuses it.
    std::FILE* file = std::fopen(localPath.c_str(), "wbe");
    if (!file) {
        const std::string text = Format("打开文件%s失败,放弃下载", localPath);
        window.PostStatusText(text);
        window.ShowMessage(text);
        QuitRequested = true;
        return DOWNLOAD_FAILED;
    }
    // Small blocks are gathered here and written in large pieces.
    std::vector<char> fileBuffer(1u << 18);
    std::setvbuf(file, fileBuffer.data(), _IOFBF, fileBuffer.size());

    const std::size_t blockSize = (kind == Kind::Patch) ? 1024 : 4096;
    bool failed = false;
    bool fileError = false;
    // The digest of what is written, taken beside the transfer, spares the
    // check after it a second pass over the file.
    std::optional<Md5Stream> written;
    if (checkDigest)
        written.emplace();
    {
        CZRSession session;
        if (!session.OpenRequest(url, [] { return QuitRequested.load(); })) {
            // Stopped while no answer had come: the same as a stop before
            // the first block. A request that failed on its own is a failure.
            if (kind == Kind::Patch && session.StoppedWaiting()) {
                std::fclose(file);
                return DOWNLOAD_STOPPED;
            }
            failed = true;
        } else if (session.StatusCode() == 200) {
            if (kind == Kind::Expansion)
                window.SetBtState(1);
            const std::uint32_t contentLength = ContentLength32(session.Header("Content-Length"));
            const std::time_t start = std::time(nullptr);
            std::uint32_t received = 0;
            int reads = 0;
            std::vector<char> block(blockSize);
            while (received < contentLength && !QuitRequested) {
                ++reads;
                const long n = session.Read(block.data(), block.size());
                if (n < 0) {
                    failed = true;
                    break;
                }
                if (n == 0)
                    break;
                if (std::fwrite(block.data(), 1, static_cast<std::size_t>(n), file) !=
                    static_cast<std::size_t>(n)) {
                    fileError = true;
                    break;
                }
                if (written)
                    written->Add(block.data(), static_cast<std::size_t>(n));
                received += static_cast<std::uint32_t>(n);
                std::time_t elapsed = std::time(nullptr) - start;
                if (elapsed <= 0)
                    elapsed = 1;
                if (reads > 8) {
                    char text[160];
                    std::snprintf(text, sizeof text,
                                  "正在下载:%.2f K字节/%.2f K字节  平均速度: %.2f K/秒",
                                  received / 1000.0, contentLength / 1000.0,
                                  (received / 1000.0) / static_cast<double>(elapsed));
                    window.PostStatusText(text);
                    window.SetDownloadBar(
                        static_cast<int>(std::uint64_t{received} * 100 / contentLength));
                    reads = 0;
                }
            }
            if (received != contentLength)
                failed = true;
            if (kind == Kind::Patch && QuitRequested) {
                std::fclose(file);
                return DOWNLOAD_STOPPED;
            }
        } else if (session.StatusCode() == 404) {
            const std::string text = Format("服务器上未找到%s!", localPath);
            window.PostStatusText(text);
            window.ShowMessage(text);
            failed = true;
        } else {
            failed = true;
        }
    }
    const bool closed = std::fclose(file) == 0;
    if (!closed || fileError)
        failed = true;  // e.g. the disk is full

    // Unless a write went wrong, the file holds exactly the bytes hashed.
    auto digestMatches = [&] {
        if (!closed || fileError)
            return CheckFileMd5(localPath, expectedMd5);
        return CheckWrittenFileMd5(localPath, written->size(), written->Finish(), expectedMd5);
    };
    if (checkDigest ? digestMatches() == 0 : failed) {
        const std::string text = Format("文件下载出错,请重新下载:%s!", localPath);
        window.PostStatusText(text);
        window.ShowMessage(text);
        failed = true;
    }

    if (kind == Kind::Expansion) {
        QuitRequested = failed;
        window.PostExpansionDone();
        return failed ? DOWNLOAD_FAILED : DOWNLOAD_DONE;
    }
    if (failed) {
        QuitRequested = true;
        return DOWNLOAD_FAILED;
    }
    QuitRequested = false;
    LowerPendingDownloads();
    return DOWNLOAD_DONE;
}

}  // namespace

int DownloadPatchFile(DownloadWindow& window, const std::string& url, const std::string& localPath,
                      const std::string& expectedMd5) {
    return Download(Kind::Patch, window, url, localPath, expectedMd5);
}

int DownloadExpansionFile(DownloadWindow& window, const std::string& url,
                          const std::string& localPath) {
    return Download(Kind::Expansion, window, url, localPath, InstallerMd5);
}
