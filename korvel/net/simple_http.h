// The updater's own HTTP/1.1 client for small documents: one GET per object,
// read until the server closes, within two time budgets.
#pragma once

#include <cstdint>
#include <string>

namespace NetModel {

// Seconds and microseconds, as a socket wait time-out is given.
struct TimeValue {
    std::int32_t tv_sec = 0;
    std::int32_t tv_usec = 0;
};

// The monotonic millisecond clock as a time value.
TimeValue TickTime();
// Subtracts both parts, borrowing a second when the microseconds go negative.
TimeValue Subtract(TimeValue a, TimeValue b);
// Compares seconds first, then microseconds.
bool IsGreater(TimeValue a, TimeValue b);
bool IsZero(TimeValue t);

// Everything above the transport: state, the request sequence, the status
// check and the body extraction.
class SimpleHttp {
  public:
    // Cap on what one response may hold (and on a decoded body); going over
    // it fails the request.
    static constexpr std::size_t kMaxResponseBytes = 64u << 20;

    SimpleHttp(std::string host, std::string port, TimeValue connectTimeout,
               TimeValue transferTimeout);
    virtual ~SimpleHttp() = default;
    SimpleHttp(const SimpleHttp&) = delete;
    SimpleHttp& operator=(const SimpleHttp&) = delete;

    // Runs the request; gives m_ok.
    bool Execute(const std::string& request);
    // The body, gzip-decoded when the header says "Content-Encoding: gzip";
    // empty when the request failed or the response is malformed.
    std::string GetContent() const;
    std::string GetError() const { return m_error; }

    bool Ok() const { return m_ok; }
    const std::string& Response() const { return m_response; }

  protected:
    virtual bool Connect() = 0;
    virtual bool Send() = 0;
    virtual bool Receive() = 0;
    virtual void Close() = 0;
    void CheckStatus();

    std::string m_host;
    std::string m_port;
    TimeValue m_connectTimeout;
    TimeValue m_timeLeft;
    TimeValue m_transferTimeout;
    std::string m_request;
    std::string m_response;
    int m_socket = -1;
    std::string m_error;
    bool m_ok = false;
};

// The transport on POSIX sockets (IPv4, non-blocking, poll() waits).
class CommHttp : public SimpleHttp {
  public:
    using SimpleHttp::SimpleHttp;
    ~CommHttp() override;

  protected:
    bool Connect() override;
    bool Send() override;
    bool Receive() override;
    void Close() override;

  private:
    // Appends the text of the thread's last socket error, then closes.
    void FailWithLastError();
    // Waits for the socket to become ready within m_timeLeft and gives the
    // time waited. False (error text appended, socket closed) when the wait
    // failed or ran out.
    bool WaitReady(short events, TimeValue& elapsed);
    // Takes the time waited off the budget; "Time Out!!!" and closes when
    // nothing is left.
    bool ConsumeBudget(TimeValue elapsed);
};

// The request text every caller sends.
std::string BuildGetRequest(const std::string& target, const std::string& host);

}  // namespace NetModel
