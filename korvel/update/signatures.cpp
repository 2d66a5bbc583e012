#include "korvel/update/signatures.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

#include "korvel/res/strings.h"

namespace {

std::string Format(const std::string& pattern, const std::string& arg) {
    std::vector<char> text(pattern.size() + arg.size() + 1);
    std::snprintf(text.data(), text.size(), pattern.c_str(), arg.c_str());
    return text.data();
}

}  // namespace

std::string SignatureRefusal(signing::Check result, const std::string& name) {
    using signing::Check;
    switch (result) {
        case Check::Ok:
            return {};
        case Check::Missing:
            return Format(res::LoadString(res::IDS_SIGNATURE_MISSING), name);
        case Check::Expired:
            return Format(res::LoadString(res::IDS_SIGNATURE_EXPIRED), name);
        case Check::KeysUnsafe:
            return Format(res::LoadString(res::IDS_SIGNATURE_KEYS_UNSAFE), name);
        case Check::Malformed:
        case Check::UnknownKey:
        case Check::BadSignature:
        case Check::WrongFile:
        case Check::NoTimestamp:
            break;
    }
    return Format(res::LoadString(res::IDS_SIGNATURE_INVALID), name);
}

std::string CheckFileSignature(const signing::TrustedKeys& keys, const std::string& path,
                               const std::string& signature, const std::string& name,
                               std::int64_t now) {
    return SignatureRefusal(signing::VerifyFile(keys, path, signature, name, now).result, name);
}

std::int64_t ReadAcceptedListTime(const std::string& downloadDir) {
    std::ifstream in(downloadDir + "/" + kAcceptedListFile);
    long long seconds = 0;
    if (!(in >> seconds) || seconds < 0)
        return 0;
    return seconds;
}

bool KeepAcceptedListTime(const std::string& downloadDir, std::int64_t timestamp) {
    ::mkdir(downloadDir.c_str(), 0755);
    const std::string path = downloadDir + "/" + kAcceptedListFile;
    const std::string part = path + ".part";
    {
        std::ofstream out(part, std::ios::trunc);
        if (!(out << timestamp << '\n') || !out.flush())
            return false;
    }
    return std::rename(part.c_str(), path.c_str()) == 0;
}

std::string CheckUpdateListSignature(const signing::TrustedKeys& keys, const std::string& text,
                                     const std::string& signature, const std::string& listUrl,
                                     const std::string& downloadDir, std::int64_t now) {
    const std::string name = signing::ExpectedFileName(listUrl);
    const signing::Verdict verdict = signing::VerifyBytes(keys, text, signature, name, now);
    if (verdict.result != signing::Check::Ok)
        return SignatureRefusal(verdict.result, name);
    const std::int64_t newest = ReadAcceptedListTime(downloadDir);
    if (verdict.timestamp < newest)
        return Format(res::LoadString(res::IDS_SIGNATURE_OLDER_LIST), name);
    // A time that cannot be kept only weakens the guard for the next run.
    if (verdict.timestamp > newest)
        KeepAcceptedListTime(downloadDir, verdict.timestamp);
    return {};
}
