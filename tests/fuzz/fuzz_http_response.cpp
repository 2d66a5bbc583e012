// Runs arbitrary bytes through the updater's HTTP client as a server's whole
// answer (status check, header search, gzip body through a temporary file)
// and checks what its callers rely on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "korvel/net/simple_http.h"

namespace {

void Require(bool condition) {
    if (!condition)
        std::abort();
}

// The transport steps give the fuzzer's bytes as what the server sent.
class ReplayedHttp : public NetModel::SimpleHttp {
  public:
    explicit ReplayedHttp(std::string answer)
        : SimpleHttp("127.0.0.1", "80", {15, 0}, {60, 0}), answer_(std::move(answer)) {}

  protected:
    bool Connect() override {
        m_socket = 0;
        return true;
    }
    bool Send() override { return true; }
    bool Receive() override {
        m_response = answer_;
        return true;
    }
    void Close() override { m_socket = -1; }

  private:
    std::string answer_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string answer(reinterpret_cast<const char*>(data), size);
    ReplayedHttp http(answer);
    const bool ok = http.Execute(NetModel::BuildGetRequest("/list.txt", "127.0.0.1"));
    Require(ok == http.Ok());
    const std::string content = http.GetContent();
    Require(content.size() <= NetModel::SimpleHttp::kMaxResponseBytes);

    const std::size_t lf = answer.find('\n');
    if (!ok) {
        Require(content.empty());
        // The error is a piece of the status line, or nothing.
        const std::string error = http.GetError();
        Require(error.empty() || (lf != std::string::npos && answer.find(error) < lf));
        return 0;
    }
    Require(answer.rfind("200 OK", lf) != std::string::npos);
    const std::size_t end = answer.find("\r\n\r\n");
    if (end == std::string::npos) {
        Require(content.empty());
        return 0;
    }
    if (answer.substr(0, end).find("Content-Encoding: gzip") == std::string::npos)
        Require(content == answer.substr(end + 4));
    return 0;
}
