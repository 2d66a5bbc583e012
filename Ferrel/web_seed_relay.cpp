#include "Ferrel/web_seed_relay.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "Ferrel/relay_http.h"
#include "common/channel/network_interactive.h"

namespace ferrel {

namespace {

using Clock = std::chrono::steady_clock;

// libtorrent's requests are a few hundred bytes.
constexpr std::size_t kMaxRequestHead = 16 * 1024;
// All header lines of one answer, redirects included.
constexpr std::size_t kMaxAnswerHead = 32 * 1024;
constexpr std::size_t kMaxConnections = 32;
// No byte from the web seed for this long ends the transfer.
constexpr auto kStall = std::chrono::seconds(30);
constexpr long kConnectSeconds = 15;
constexpr long kMaxRedirects = 3;
constexpr long kBufferBytes = 64 * 1024;
// A connection libtorrent leaves idle is closed after this; one that does
// not read what it asked for, too.
constexpr int kIdleSeconds = 600;
constexpr int kSendSeconds = 120;
// A dropped source is not asked again.
constexpr const char* kDroppedRetry = "86400";

bool SendAll(int fd, const char* data, std::size_t size, int flags = 0) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL | flags);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;  // gone, or not reading for kSendSeconds
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool SendEmpty(int fd, int status, const std::string& reason, const std::string& retryAfter = "") {
    std::string head = "HTTP/1.1 " + std::to_string(status) + " " + Printable(reason) + "\r\n";
    if (!retryAfter.empty())
        head += "Retry-After: " + retryAfter + "\r\n";
    head += "Content-Length: 0\r\n\r\n";
    return SendAll(fd, head.data(), head.size());
}

enum class HeadRead { Ok, Closed, TooLong };

// One request head, up to its blank line; what follows stays in buffer.
HeadRead ReadHead(int fd, std::string& buffer, std::string& head) {
    for (;;) {
        const std::size_t end = buffer.find("\r\n\r\n");
        if (end != std::string::npos) {
            head = buffer.substr(0, end + 2);
            buffer.erase(0, end + 4);
            return HeadRead::Ok;
        }
        if (buffer.size() > kMaxRequestHead)
            return HeadRead::TooLong;
        char chunk[4096];
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return HeadRead::Closed;
        buffer.append(chunk, static_cast<std::size_t>(n));
    }
}

// One request's transfer from the web seed to libtorrent.
struct Transfer {
    int fd = -1;
    std::int64_t first = 0, last = 0;
    const std::atomic<bool>* stop = nullptr;
    RelayAnswer answer;
    std::size_t headBytes = 0;
    bool judged = false;
    RelayVerdict verdict = RelayVerdict::Unexpected;
    bool headSent = false;
    std::int64_t forwarded = 0;
    bool misbehaved = false;
    std::string why;
    bool downstreamGone = false;
    bool stalled = false;
    bool stopped = false;
    Clock::time_point lastActivity;

    std::int64_t length() const { return last - first + 1; }
};

// Decides on the answer once its headers are complete; sends libtorrent the
// head of a range to come. False when no body is to be passed on.
bool Judge(Transfer& t) {
    t.judged = true;
    t.verdict = JudgeAnswer(t.answer, t.first, t.last);
    if (t.verdict == RelayVerdict::Misbehaved) {
        t.misbehaved = true;
        t.why = "answered another range than asked";
        return false;
    }
    if (t.verdict != RelayVerdict::Forward)
        return false;
    const std::string total =
        t.answer.hasContentRange ? t.answer.rangeTotal : std::to_string(t.length());
    const std::string head = "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " +
                             std::to_string(t.first) + "-" + std::to_string(t.last) + "/" + total +
                             "\r\nContent-Length: " + std::to_string(t.length()) + "\r\n\r\n";
    if (!SendAll(t.fd, head.data(), head.size(), MSG_MORE)) {
        t.downstreamGone = true;
        return false;
    }
    t.headSent = true;
    return true;
}

std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    const std::size_t n = size * count;
    t.headBytes += n;
    if (t.headBytes > kMaxAnswerHead) {
        t.misbehaved = true;
        t.why = "sent headers without end";
        return 0;
    }
    ReadAnswerLine(std::string(data, n), t.answer);
    t.lastActivity = Clock::now();
    return n;
}

std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    const std::size_t n = size * count;
    if (!t.judged && !Judge(t))
        return 0;
    if (!t.headSent)
        return 0;
    if (t.forwarded + static_cast<std::int64_t>(n) > t.length()) {
        t.misbehaved = true;
        t.why = "sent more than asked";
        return 0;
    }
    if (!SendAll(t.fd, data, n)) {
        t.downstreamGone = true;
        return 0;
    }
    t.forwarded += static_cast<std::int64_t>(n);
    t.lastActivity = Clock::now();
    return n;
}

int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto& t = *static_cast<Transfer*>(user);
    if (*t.stop) {
        t.stopped = true;
        return 1;
    }
    if (Clock::now() - t.lastActivity > kStall) {
        t.stalled = true;
        return 1;
    }
    return 0;
}

// Failures that only a web seed that breaks the rules causes.
bool Misbehaving(CURLcode rc, const char* message) {
    switch (rc) {
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_TOO_MANY_REDIRECTS:
        case CURLE_UNSUPPORTED_PROTOCOL:
        case CURLE_BAD_CONTENT_ENCODING:
        case CURLE_FILESIZE_EXCEEDED:
            return true;
        case CURLE_RECV_ERROR:
            // A body whose chunks cannot be framed (a size beyond any file).
            return std::strstr(message, "chunked") != nullptr;
        default:
            return false;
    }
}

}  // namespace

WebSeedRelay::~WebSeedRelay() {
    Stop();
}

bool WebSeedRelay::Start() {
    if (m_port != 0)
        return true;
    if (m_stop)
        return false;
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listener < 0)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t size = sizeof address;
    if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_listener, 16) != 0 ||
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
        ::pipe2(m_wake, O_CLOEXEC) != 0) {
        ::close(m_listener);
        m_listener = -1;
        return false;
    }
    m_port = ntohs(address.sin_port);
    m_acceptor = std::thread([this] { Accept(); });
    return true;
}

void WebSeedRelay::Stop() {
    m_stop = true;
    if (m_wake[1] >= 0) {
        const char byte = 0;
        (void)!::write(m_wake[1], &byte, 1);
    }
    if (m_acceptor.joinable())
        m_acceptor.join();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& c : m_connections)
            if (c->fd >= 0)
                ::shutdown(c->fd, SHUT_RDWR);
    }
    Reap(true);
    for (int* fd : {&m_listener, &m_wake[0], &m_wake[1]})
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
}

std::string WebSeedRelay::Relayed(const std::string& url) {
    if (m_port == 0)
        return url;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const Source& s : m_sources)
        if (s.url == url)
            return s.relayed;
    Source s;
    s.url = url;
    s.relayed = "http://127.0.0.1:" + std::to_string(m_port) + "/" +
                std::to_string(m_sources.size()) + (!url.empty() && url.back() == '/' ? "/" : "");
    m_sources.push_back(s);
    return s.relayed;
}

std::string WebSeedRelay::Original(const std::string& relayed) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const Source& s : m_sources)
        if (s.relayed == relayed)
            return s.url;
    return relayed;
}

bool WebSeedRelay::Dropped(const std::string& relayed) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const Source& s : m_sources)
        if (s.relayed == relayed)
            return s.dropped;
    return false;
}

std::vector<DroppedSource> WebSeedRelay::TakeDropped() {
    std::vector<DroppedSource> out;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (Source& s : m_sources)
        if (s.dropped && !s.told) {
            s.told = true;
            out.push_back({s.relayed, s.url, s.why});
        }
    return out;
}

bool WebSeedRelay::Target(const std::string& path, std::size_t& source, std::string& url) const {
    const std::size_t slash = path.find('/', 1);
    const std::string index = path.substr(1, slash == std::string::npos ? slash : slash - 1);
    std::int64_t i = 0;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!ReadDecimal(index, i) || i >= static_cast<std::int64_t>(m_sources.size()))
        return false;
    source = static_cast<std::size_t>(i);
    url = m_sources[source].url;
    if (slash != std::string::npos) {
        if (url.empty() || url.back() != '/')
            url += '/';
        url += path.substr(slash + 1);
    }
    return true;
}

void WebSeedRelay::Drop(std::size_t source, const std::string& why) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (source < m_sources.size() && !m_sources[source].dropped) {
        m_sources[source].dropped = true;
        m_sources[source].why = why;
    }
}

bool WebSeedRelay::IsDropped(std::size_t source) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return source < m_sources.size() && m_sources[source].dropped;
}

void WebSeedRelay::Accept() {
    while (!m_stop) {
        pollfd fds[2] = {{m_listener, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        const int ready = ::poll(fds, 2, 1000);
        Reap(false);
        if (m_stop)
            break;
        if (ready <= 0 || !(fds[0].revents & POLLIN))
            continue;
        const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        // Only this engine's own libtorrent: anyone else on the machine could
        // take up the connections it needs.
        if (!vellum::PeerOwnedBy(fd, ::geteuid())) {
            ::close(fd);
            continue;
        }
        const timeval idle{kIdleSeconds, 0}, send{kSendSeconds, 0};
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof idle);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &send, sizeof send);
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_connections.size() >= kMaxConnections) {
            ::close(fd);
            continue;
        }
        m_connections.push_back(std::make_unique<Connection>());
        Connection& c = *m_connections.back();
        c.fd = fd;
        c.thread = std::thread([this, &c] {
            Serve(c);
            std::lock_guard<std::mutex> closing(m_mutex);
            ::close(c.fd);
            c.fd = -1;
            c.done = true;
        });
    }
}

void WebSeedRelay::Reap(bool all) {
    std::list<std::unique_ptr<Connection>> ended;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_connections.begin(); it != m_connections.end();) {
            auto next = std::next(it);
            if (all || (*it)->done)
                ended.splice(ended.end(), m_connections, it);
            it = next;
        }
    }
    for (const auto& c : ended)
        if (c->thread.joinable())
            c->thread.join();
}

void WebSeedRelay::Serve(Connection& connection) {
    const int fd = connection.fd;
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> handle(curl_easy_init(), curl_easy_cleanup);
    if (!handle)
        return;
    CURL* curl = handle.get();
    std::string buffer, head;
    while (!m_stop && ReadHead(fd, buffer, head) == HeadRead::Ok) {
        RelayRequest request;
        std::size_t source = 0;
        std::string url;
        if (!ParseRelayRequest(head, request)) {
            SendEmpty(fd, 400, "Bad Request");
            return;
        }
        if (!Target(request.path, source, url)) {
            SendEmpty(fd, 404, "Not Found");
            return;
        }
        if (IsDropped(source)) {
            SendEmpty(fd, 503, "Source dropped", kDroppedRetry);
            return;
        }
        Transfer t;
        t.fd = fd;
        t.first = request.first;
        t.last = request.last;
        t.stop = &m_stop;
        t.lastActivity = Clock::now();
        char message[CURL_ERROR_SIZE] = "";
        const std::string range = std::to_string(t.first) + "-" + std::to_string(t.last);
        // The handle keeps its connection to the web seed from request to
        // request.
        curl_easy_reset(curl);
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
        curl_easy_setopt(curl, CURLOPT_RANGE, range.c_str());
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectSeconds);
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, kBufferBytes);
        curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, message);
        if (!request.userAgent.empty())
            curl_easy_setopt(curl, CURLOPT_USERAGENT, request.userAgent.c_str());
        curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, OnHeader);
        curl_easy_setopt(curl, CURLOPT_HEADERDATA, &t);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnBody);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &t);
        curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, OnProgress);
        curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &t);
        const CURLcode rc = curl_easy_perform(curl);
        if (t.stopped || t.downstreamGone)
            return;
        if (!t.misbehaved && rc != CURLE_OK && Misbehaving(rc, message)) {
            t.misbehaved = true;
            t.why = Printable(message[0] != '\0' ? message : curl_easy_strerror(rc));
        }
        if (t.misbehaved) {
            Drop(source, t.why);
            if (!t.headSent)
                SendEmpty(fd, 502, t.why);
            return;
        }
        if (t.headSent) {
            // A body cut short ends the connection; libtorrent asks again.
            if (rc != CURLE_OK || t.forwarded != t.length())
                return;
            continue;
        }
        if (!t.judged && rc == CURLE_OK)
            t.verdict = JudgeAnswer(t.answer, t.first, t.last);
        if (t.verdict == RelayVerdict::PassError) {
            SendEmpty(fd, t.answer.status, t.answer.reason, t.answer.retryAfter);
            return;
        }
        std::string why;
        if (t.stalled)
            why = "no data for " + std::to_string(kStall.count()) + " s";
        else if (rc != CURLE_OK && !t.judged)
            why = message[0] != '\0' ? message : curl_easy_strerror(rc);
        else if (t.verdict == RelayVerdict::Forward)
            why = "answer shorter than asked";
        else
            why = "unexpected answer " + std::to_string(t.answer.status);
        SendEmpty(fd, 502, why);
        return;
    }
}

}  // namespace ferrel
