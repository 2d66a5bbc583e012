#include "Ferrel/seed_fetch.h"

#include <curl/curl.h>
#include <openssl/evp.h>

#include <cctype>
#include <ctime>
#include <memory>

#include "common/signing/minisig.h"

namespace ferrel {

namespace {

struct Sink {
    std::string* body;
    std::size_t maxBytes;
};

std::size_t Write(char* data, std::size_t size, std::size_t count, void* user) {
    auto* sink = static_cast<Sink*>(user);
    const std::size_t n = size * count;
    if (sink->body->size() + n > sink->maxBytes)
        return 0;  // too large: libcurl ends the transfer with a write error
    sink->body->append(data, n);
    return n;
}

int Progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto* cancel = static_cast<const std::atomic<bool>*>(user);
    return cancel != nullptr && *cancel ? 1 : 0;
}

const char* Why(signing::Check result) {
    switch (result) {
        case signing::Check::Ok:
            return "accepted";
        case signing::Check::KeysUnsafe:
            return "the trusted keys file is not safe";
        case signing::Check::Missing:
            return "no signature";
        case signing::Check::Malformed:
            return "malformed signature";
        case signing::Check::UnknownKey:
            return "signed by a key that is not trusted";
        case signing::Check::BadSignature:
            return "wrong signature";
        case signing::Check::WrongFile:
            return "signature for another file";
        case signing::Check::NoTimestamp:
            return "signature without a timestamp";
        case signing::Check::Expired:
            return "signature expired";
    }
    return "signature refused";
}

}  // namespace

bool FetchUrl(const std::string& url, std::size_t maxBytes, std::string& body, std::string& error,
              const std::atomic<bool>* cancel) {
    body.clear();
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
    if (!curl) {
        error = "cannot start an HTTP transfer";
        return false;
    }
    Sink sink{&body, maxBytes};
    char message[CURL_ERROR_SIZE] = "";
    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, 15L);
    curl_easy_setopt(c, CURLOPT_TIMEOUT, 60L);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, message);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, Write);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, Progress);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, const_cast<std::atomic<bool>*>(cancel));
    const CURLcode rc = curl_easy_perform(c);
    if (rc != CURLE_OK) {
        error = url + ": " + (message[0] != '\0' ? message : curl_easy_strerror(rc));
        body.clear();
        return false;
    }
    return true;
}

std::string JoinUrl(const std::string& base, const std::string& name) {
    if (!base.empty() && base.back() == '/')
        return base + name;
    return base + "/" + name;
}

std::string ParseMd5Text(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    std::string digest;
    for (; i < text.size() && !std::isspace(static_cast<unsigned char>(text[i])); ++i) {
        if (!std::isxdigit(static_cast<unsigned char>(text[i])))
            return {};
        digest.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(text[i]))));
    }
    return digest.size() == 32 ? digest : std::string();
}

std::string Md5Hex(const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(data.data(), data.size(), digest, &size, EVP_md5(), nullptr) != 1)
        return {};
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < size; ++i) {
        text.push_back(kHex[digest[i] >> 4]);
        text.push_back(kHex[digest[i] & 15]);
    }
    return text;
}

bool SeedSignatureAccepted(const signing::TrustedKeys& keys, const std::string& seed,
                           const std::string& signature, const std::string& addressOrName,
                           std::string& error) {
    if (!keys.Enforced())
        return true;
    const signing::Verdict verdict = signing::VerifyBytes(
        keys, seed, signature, signing::ExpectedFileName(addressOrName), std::time(nullptr));
    if (verdict.result == signing::Check::Ok)
        return true;
    error = addressOrName + ": " + Why(verdict.result);
    return false;
}

}  // namespace ferrel
