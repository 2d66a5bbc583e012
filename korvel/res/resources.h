// Resources built into the updater: the window's page, pictures and icon.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace res {

// Resource ids and their types.
inline constexpr unsigned IDR_MAINFRAME = 128;        // "ICON": the application icon (PNG)
inline constexpr unsigned IDB_BACKGROUND = 129;       // "BITMAP": the window's background (BMP)
inline constexpr unsigned IDR_HTML_PAGE = 140;        // "HTML": the window's page (GBK)
inline constexpr unsigned IDR_PAGE_BACKGROUND = 142;  // "IMG": the page's background (PNG)

inline constexpr const char* kTypeIcon = "ICON";
inline constexpr const char* kTypeBitmap = "BITMAP";
inline constexpr const char* kTypeHtml = "HTML";
inline constexpr const char* kTypeImage = "IMG";

struct EmbeddedResource {
    const char* type;
    unsigned id;
    const unsigned char* data;
    std::size_t size;
};

// The table generated from the resource files at build time.
extern const EmbeddedResource kEmbeddedResources[];
extern const std::size_t kEmbeddedResourceCount;

// The bytes of a resource; empty when there is none. Types compare without
// regard to letter case, as resource types do.
std::string_view FindResource(std::string_view type, unsigned id);

// Splits a resource address of the page, "res:/TYPE/#ID" (also with "//" or
// "///" after the scheme, and with a trailing "/" or none after the type),
// into type and id. False when the address is not of that form.
bool ParseResourceUri(std::string_view uri, std::string& type, unsigned& id);

// The media type a resource is served with.
std::string ResourceMediaType(std::string_view type, std::string_view bytes);

}  // namespace res
