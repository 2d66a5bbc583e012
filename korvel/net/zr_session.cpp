#include "korvel/net/zr_session.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>

#include "platform/codepage.h"

namespace {

constexpr std::size_t kMaxBuffered = 1u << 20;  // pause the transfer beyond this
constexpr long kConnectTimeoutSeconds = 60;
constexpr long kStallSeconds = 60;  // give up when nothing arrives for this long
// After the stop check fires while waiting for the response, an answer that
// is already on its way is still taken (a 404 is then reported as such).
constexpr auto kStopGrace = std::chrono::milliseconds(500);

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string Trim(std::string s) {
    const auto notBlank = [](char c) { return c != ' ' && c != '\t' && c != '\r' && c != '\n'; };
    std::size_t b = 0, e = s.size();
    while (b < e && !notBlank(s[b]))
        ++b;
    while (e > b && !notBlank(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

}  // namespace

CZRSession::CZRSession() {
    GlobalInit();
    easy_ = curl_easy_init();
    multi_ = curl_multi_init();
    if (!easy_)
        return;
    curl_easy_setopt(easy_, CURLOPT_USERAGENT, "REDorozu");
    curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
    // Large socket reads: fewer trips through the transfer loop per block.
    curl_easy_setopt(easy_, CURLOPT_BUFFERSIZE, 512L * 1024);
    // Patch and installer addresses come from a server's list: only web
    // addresses are fetched, on redirects too (libcurl would otherwise speak
    // gopher, telnet, file and others to whatever host the list names).
    curl_easy_setopt(easy_, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy_, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy_, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy_, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_TIME, kStallSeconds);
    curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION, &CZRSession::OnHeader);
    curl_easy_setopt(easy_, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &CZRSession::OnBody);
    curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
}

CZRSession::~CZRSession() {
    if (attached_)
        curl_multi_remove_handle(multi_, easy_);
    if (easy_)
        curl_easy_cleanup(easy_);
    if (multi_)
        curl_multi_cleanup(multi_);
}

std::size_t CZRSession::OnHeader(char* data, std::size_t size, std::size_t n, void* self) {
    auto* s = static_cast<CZRSession*>(self);
    const std::string line(data, size * n);
    if (line.rfind("HTTP/", 0) == 0)
        s->headerBlock_.clear();  // a new response begins
    s->headerBlock_ += line;
    if (line == "\r\n" || line == "\n") {
        long code = 0;
        curl_easy_getinfo(s->easy_, CURLINFO_RESPONSE_CODE, &code);
        // Interim answers and redirects that will be followed are not final.
        const bool interim = code >= 100 && code < 200;
        const bool redirect = code >= 300 && code < 400 && !s->Header("Location").empty();
        if (!interim && !redirect) {
            s->status_ = code;
            s->headersDone_ = true;
        }
    }
    return size * n;
}

std::size_t CZRSession::OnBody(char* data, std::size_t size, std::size_t n, void* self) {
    auto* s = static_cast<CZRSession*>(self);
    if (s->buffer_.size() - s->bufferPos_ >= kMaxBuffered) {
        s->paused_ = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    if (s->bufferPos_ == s->buffer_.size()) {
        s->buffer_.clear();
        s->bufferPos_ = 0;
    }
    s->buffer_.append(data, size * n);
    s->headersDone_ = true;
    return size * n;
}

void CZRSession::Pump(int waitMs) {
    int running = 0;
    curl_multi_perform(multi_, &running);
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi_, &left)) {
        if (msg->msg == CURLMSG_DONE) {
            transferDone_ = true;
            transferResult_ = msg->data.result;
            curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status_);
        }
    }
    if (!transferDone_ && bufferPos_ == buffer_.size() && waitMs > 0)
        curl_multi_poll(multi_, nullptr, 0, waitMs, nullptr);
}

bool CZRSession::OpenRequest(const std::string& url, StopCheck stop) {
    if (!easy_ || !multi_)
        return false;
    stop_ = std::move(stop);
    curl_easy_setopt(easy_, CURLOPT_URL, url.c_str());
    if (curl_multi_add_handle(multi_, easy_) != CURLM_OK)
        return false;
    attached_ = true;
    std::chrono::steady_clock::time_point giveUp{};
    while (!headersDone_ && !transferDone_) {
        if (!stoppedWaiting_ && stop_ && stop_()) {
            stoppedWaiting_ = true;
            giveUp = std::chrono::steady_clock::now() + kStopGrace;
        }
        if (stoppedWaiting_ && std::chrono::steady_clock::now() >= giveUp)
            return false;
        Pump(stoppedWaiting_ ? 10 : 100);
    }
    stoppedWaiting_ = false;  // an answer came after all
    if (transferDone_ && transferResult_ != CURLE_OK && !headersDone_)
        return false;
    return status_ != 0;
}

std::string CZRSession::Header(const std::string& name) const {
    std::size_t pos = 0;
    while (pos < headerBlock_.size()) {
        const std::size_t eol = headerBlock_.find('\n', pos);
        const std::string line =
            headerBlock_.substr(pos, eol == std::string::npos ? std::string::npos : eol - pos);
        pos = (eol == std::string::npos) ? headerBlock_.size() : eol + 1;
        const std::size_t colon = line.find(':');
        if (colon != std::string::npos &&
            platform::EqualsNoCaseMb(Trim(line.substr(0, colon)), name))
            return Trim(line.substr(colon + 1));
    }
    return {};
}

long CZRSession::Read(char* out, std::size_t size) {
    // Like a blocking read of a file: the block is filled unless the body
    // ends (or the stop check fires) first.
    std::size_t filled = 0;
    while (filled < size) {
        if (bufferPos_ == buffer_.size()) {
            if (paused_) {
                paused_ = false;
                curl_easy_pause(easy_, CURLPAUSE_CONT);
                continue;
            }
            if (transferDone_) {
                if (transferResult_ != CURLE_OK && filled == 0)
                    return -1;
                break;
            }
            if (stop_ && stop_())
                break;
            Pump(100);
            continue;
        }
        const std::size_t n = std::min(size - filled, buffer_.size() - bufferPos_);
        std::memcpy(out + filled, buffer_.data() + bufferPos_, n);
        bufferPos_ += n;
        filled += n;
    }
    return static_cast<long>(filled);
}
