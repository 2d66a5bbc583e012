#include "korvel/net/simple_http.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "korvel/net/socket_errors.h"
#include "platform/paths.h"

namespace NetModel {

TimeValue TickTime() {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count();
    return {static_cast<std::int32_t>(ms / 1000), static_cast<std::int32_t>((ms % 1000) * 1000)};
}

TimeValue Subtract(TimeValue a, TimeValue b) {
    TimeValue r{a.tv_sec - b.tv_sec, a.tv_usec - b.tv_usec};
    if (r.tv_usec < 0) {
        r.tv_sec -= 1;
        r.tv_usec += 1000000;
    }
    return r;
}

bool IsGreater(TimeValue a, TimeValue b) {
    return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_usec > b.tv_usec;
}

bool IsZero(TimeValue t) {
    return t.tv_sec == 0 && t.tv_usec == 0;
}

std::string BuildGetRequest(const std::string& target, const std::string& host) {
    return "GET " + target + " HTTP/1.1\r\nHost: " + host +
           "\r\nAccept-Encoding: gzip\r\nConnection: Close\r\n\r\n";
}

SimpleHttp::SimpleHttp(std::string host, std::string port, TimeValue connectTimeout,
                       TimeValue transferTimeout)
    : m_host(std::move(host)),
      m_port(std::move(port)),
      m_connectTimeout(connectTimeout),
      m_timeLeft(connectTimeout),
      m_transferTimeout(transferTimeout) {}

bool SimpleHttp::Execute(const std::string& request) {
    m_request = request;
    Connect();
    if (m_socket == -1)
        return m_ok;
    if (!IsZero(m_transferTimeout))
        m_timeLeft = m_transferTimeout;
    Send();
    if (m_socket == -1)
        return m_ok;
    Receive();
    if (m_socket == -1)
        return m_ok;
    Close();
    CheckStatus();
    return m_ok;
}

void SimpleHttp::CheckStatus() {
    const std::size_t lf = m_response.find('\n');
    // A match must begin at or before the first line feed.
    if (m_response.rfind("200 OK", lf) != std::string::npos) {
        m_ok = true;
        return;
    }
    m_ok = false;
    const std::size_t blank = m_response.find(' ');
    if (lf != std::string::npos && blank != std::string::npos && blank + 1 < lf)
        m_error = m_response.substr(blank, lf - 1 - blank);
}

namespace {

// Decodes a gzip body through a temporary file and zlib's gzip reader, which
// passes data without a gzip header through unchanged. Empty on any failure.
std::string GunzipThroughTempFile(const std::string& body) {
    std::string path = platform::TempFolder() + "gpXXXXXX";
    const int fd = ::mkstemp(path.data());
    if (fd < 0)
        return {};
    std::size_t written = 0;
    while (written < body.size()) {
        const ssize_t n = ::write(fd, body.data() + written, body.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        written += static_cast<std::size_t>(n);
    }
    const bool closed = (::close(fd) == 0);
    if (written != body.size() || !closed) {
        ::unlink(path.c_str());
        return {};
    }

    std::string decoded;
    gzFile gz = ::gzopen(path.c_str(), "rb");
    if (!gz) {
        ::unlink(path.c_str());
        return {};
    }
    char buf[4096];
    for (;;) {
        const int n = ::gzread(gz, buf, sizeof buf);
        if (n == 0)
            break;
        if (n < 0 || decoded.size() + static_cast<std::size_t>(n) > SimpleHttp::kMaxResponseBytes) {
            decoded.clear();
            break;
        }
        decoded.append(buf, static_cast<std::size_t>(n));
    }
    // A stream cut off in the middle is a damaged body, not a short one.
    int err = Z_OK;
    ::gzerror(gz, &err);
    if (err == Z_BUF_ERROR)
        decoded.clear();
    ::gzclose(gz);
    ::unlink(path.c_str());
    return decoded;
}

}  // namespace

std::string SimpleHttp::GetContent() const {
    if (!m_ok)
        return {};
    const std::size_t end = m_response.find("\r\n\r\n");
    if (end == std::string::npos)
        return {};
    const std::string header = m_response.substr(0, end);
    std::string body = m_response.substr(end + 4);
    if (header.find("Content-Encoding: gzip") == std::string::npos)
        return body;
    return GunzipThroughTempFile(body);
}

CommHttp::~CommHttp() {
    if (m_socket != -1)
        Close();
}

void CommHttp::Close() {
    if (m_socket != -1) {
        ::close(m_socket);
        m_socket = -1;
    }
}

void CommHttp::FailWithLastError() {
    m_error += SocketErrorText(LastSocketError());
    Close();
}

bool CommHttp::WaitReady(short events, TimeValue& elapsed) {
    const TimeValue before = TickTime();
    const int timeoutMs = m_timeLeft.tv_sec * 1000 + m_timeLeft.tv_usec / 1000;
    pollfd fd{m_socket, events, 0};
    int rc;
    do {
        rc = ::poll(&fd, 1, timeoutMs);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0)
        SetLastSocketError(SocketErrorFromErrno(errno));
    if (rc <= 0) {  // failed, or the budget ran out during the wait
        FailWithLastError();
        return false;
    }
    elapsed = Subtract(TickTime(), before);
    return true;
}

bool CommHttp::ConsumeBudget(TimeValue elapsed) {
    if (!IsGreater(m_timeLeft, elapsed)) {
        m_error += "Time Out!!!";
        Close();
        return false;
    }
    m_timeLeft = Subtract(m_timeLeft, elapsed);
    return true;
}

bool CommHttp::Connect() {
    m_socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_socket < 0) {
        m_socket = -1;
        SetLastSocketError(SocketErrorFromErrno(errno));
        m_error += SocketErrorText(LastSocketError());
        return false;
    }
    const int flags = ::fcntl(m_socket, F_GETFL, 0);
    if (flags < 0 || ::fcntl(m_socket, F_SETFL, flags | O_NONBLOCK) < 0) {
        SetLastSocketError(SocketErrorFromErrno(errno));
        FailWithLastError();
        return false;
    }

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(std::atoi(m_port.c_str())));
    if (m_host.find_first_not_of(".0123456789") == std::string::npos) {
        addr.sin_addr.s_addr = ::inet_addr(m_host.c_str());
    } else {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        const int rc = ::getaddrinfo(m_host.c_str(), nullptr, &hints, &found);
        if (rc != 0 || !found) {
            SetLastSocketError(rc != 0 ? SocketErrorFromResolver(rc) : 11004);
            FailWithLastError();
            return false;
        }
        addr.sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
        ::freeaddrinfo(found);
    }

    if (::connect(m_socket, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
        return true;
    if (errno != EINPROGRESS) {
        SetLastSocketError(SocketErrorFromErrno(errno));
        FailWithLastError();
        return false;
    }
    SetLastSocketError(10035);  // the connection is on its way ("would block")
    TimeValue elapsed;
    if (!WaitReady(POLLOUT, elapsed))
        return false;

    // Writable also means "the attempt is over": a refused or unreachable
    // peer shows up here and must not pass for a connection.
    int soError = 0;
    socklen_t len = sizeof soError;
    if (::getsockopt(m_socket, SOL_SOCKET, SO_ERROR, &soError, &len) != 0)
        soError = errno;
    if (soError != 0) {
        SetLastSocketError(SocketErrorFromErrno(soError));
        FailWithLastError();
        return false;
    }
    return ConsumeBudget(elapsed);
}

bool CommHttp::Send() {
    // The whole request must go out; a non-blocking socket may take it in
    // parts, so the rest is sent as the socket drains, within the budget.
    std::size_t sent = 0;
    while (sent < m_request.size()) {
        const ssize_t n =
            ::send(m_socket, m_request.data() + sent, m_request.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            SetLastSocketError(10035);
            TimeValue elapsed;
            if (!WaitReady(POLLOUT, elapsed) || !ConsumeBudget(elapsed))
                return false;
            continue;
        }
        SetLastSocketError(n < 0 ? SocketErrorFromErrno(errno) : 10057);
        FailWithLastError();
        return false;
    }
    return true;
}

bool CommHttp::Receive() {
    char buf[4096];
    for (;;) {
        TimeValue elapsed;
        if (!WaitReady(POLLIN, elapsed))
            return false;
        ssize_t n;
        do {
            n = ::recv(m_socket, buf, sizeof buf, 0);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            SetLastSocketError(SocketErrorFromErrno(errno));
            FailWithLastError();
            return false;
        }
        if (n == 0)
            return true;  // the server closed: the response is complete

        if (m_response.size() + static_cast<std::size_t>(n) > kMaxResponseBytes) {
            m_error += "Response too large";
            Close();
            return false;
        }
        m_response.append(buf, static_cast<std::size_t>(n));
        if (!ConsumeBudget(elapsed))
            return false;
    }
}

}  // namespace NetModel
