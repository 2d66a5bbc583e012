// One HTTP GET through libcurl, read as a stream of blocks.
#pragma once

#include <functional>
#include <string>

// The download session: agent "REDorozu", the proxy settings of the
// environment (libcurl reads http_proxy and friends), redirects followed.
// The body is pulled with Read() in blocks of the caller's size; what the
// network delivers in larger pieces is buffered, so small reads cost no
// system call each.
class CZRSession {
  public:
    // Polled while waiting for the network: true stops the wait (OpenRequest
    // then fails unless the response arrives within a short grace, Read
    // gives 0).
    using StopCheck = std::function<bool()>;

    CZRSession();
    ~CZRSession();
    CZRSession(const CZRSession&) = delete;
    CZRSession& operator=(const CZRSession&) = delete;

    // Sends the request and waits for the final response header. False when
    // no response came (bad address, connection or protocol failure).
    bool OpenRequest(const std::string& url, StopCheck stop = {});
    long StatusCode() const { return status_; }
    // Whether OpenRequest failed because the stop check ended the wait, not
    // because the request itself failed.
    bool StoppedWaiting() const { return stoppedWaiting_; }
    // The value of a response header (name without regard to case), blanks
    // trimmed; empty when absent.
    std::string Header(const std::string& name) const;
    // Fills out with size bytes of the body, fewer only at its end: > 0 bytes
    // read, 0 the body is over (or the stop check fired), -1 the transfer
    // failed before anything of this block arrived.
    long Read(char* out, std::size_t size);

  private:
    static std::size_t OnHeader(char* data, std::size_t size, std::size_t n, void* self);
    static std::size_t OnBody(char* data, std::size_t size, std::size_t n, void* self);
    // Drives the transfer one step; waits up to waitMs for the network when
    // nothing is buffered.
    void Pump(int waitMs);

    StopCheck stop_;
    void* easy_ = nullptr;
    void* multi_ = nullptr;
    bool attached_ = false;
    std::string headerBlock_;  // header lines of the latest response
    bool headersDone_ = false;
    bool transferDone_ = false;
    int transferResult_ = 0;
    long status_ = 0;
    std::string buffer_;
    std::size_t bufferPos_ = 0;
    bool paused_ = false;
    bool stoppedWaiting_ = false;
};
