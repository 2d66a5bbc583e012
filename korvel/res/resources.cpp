#include "korvel/res/resources.h"

#include <cctype>
#include <charconv>

namespace res {

namespace {

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) !=
            std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

bool StartsWith(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && EqualsNoCase(s.substr(0, prefix.size()), prefix);
}

}  // namespace

std::string_view FindResource(std::string_view type, unsigned id) {
    for (std::size_t i = 0; i < kEmbeddedResourceCount; ++i) {
        const EmbeddedResource& r = kEmbeddedResources[i];
        if (r.id == id && EqualsNoCase(r.type, type))
            return {reinterpret_cast<const char*>(r.data), r.size};
    }
    return {};
}

bool ParseResourceUri(std::string_view uri, std::string& type, unsigned& id) {
    if (!StartsWith(uri, "res:"))
        return false;
    uri.remove_prefix(4);
    // "res:/T/#N", "res://T/#N" and "res:///T/#N" name the same resource.
    std::size_t slashes = 0;
    while (slashes < uri.size() && uri[slashes] == '/')
        ++slashes;
    if (slashes == 0 || slashes > 3)
        return false;
    uri.remove_prefix(slashes);

    const std::size_t hash = uri.find('#');
    if (hash == std::string_view::npos)
        return false;
    std::string_view typePart = uri.substr(0, hash);
    if (!typePart.empty() && typePart.back() == '/')
        typePart.remove_suffix(1);
    if (typePart.empty() || typePart.find('/') != std::string_view::npos)
        return false;

    const std::string_view idPart = uri.substr(hash + 1);
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(idPart.data(), idPart.data() + idPart.size(), value);
    if (idPart.empty() || ec != std::errc() || end != idPart.data() + idPart.size())
        return false;

    type.assign(typePart);
    id = value;
    return true;
}

std::string ResourceMediaType(std::string_view type, std::string_view bytes) {
    if (EqualsNoCase(type, kTypeHtml))
        return "text/html";
    if (bytes.substr(0, 8) == std::string_view("\x89PNG\r\n\x1a\n", 8))
        return "image/png";
    if (bytes.substr(0, 2) == "BM")
        return "image/bmp";
    if (bytes.substr(0, 3) == "\xff\xd8\xff")
        return "image/jpeg";
    if (bytes.substr(0, 4) == "GIF8")
        return "image/gif";
    return "application/octet-stream";
}

}  // namespace res
