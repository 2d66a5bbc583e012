#include "korvel/net/signature_fetch.h"

#include "korvel/net/http_url.h"
#include "korvel/net/simple_http.h"
#include "korvel/net/zr_session.h"
#include "korvel/update/run_state.h"

namespace {

constexpr const char* kSignatureSuffix = ".minisig";

}  // namespace

std::string FetchDocumentSignature(const std::string& documentUrl, bool wholeAddress) {
    const std::string url = documentUrl + kSignatureSuffix;
    std::string host, port, path;
    NetModel::SplitHttpUrl(url, host, port, path);
    NetModel::CommHttp http(host, port, {15, 0}, {60, 0});
    if (!http.Execute(NetModel::BuildGetRequest(wholeAddress ? url : path, host)))
        return {};
    std::string text = http.GetContent();
    return text.size() <= kMaxSignatureBytes ? text : std::string();
}

std::string FetchFileSignature(const std::string& fileUrl) {
    CZRSession session;
    const auto stopping = [] { return QuitRequested.load(); };
    if (!session.OpenRequest(fileUrl + kSignatureSuffix, stopping) || session.StatusCode() != 200)
        return {};
    std::string text;
    char block[4096];
    for (;;) {
        const long n = session.Read(block, sizeof block);
        if (n < 0 || QuitRequested)
            return {};
        if (n == 0)
            break;
        text.append(block, static_cast<std::size_t>(n));
        if (text.size() > kMaxSignatureBytes)
            return {};
    }
    return text;
}
