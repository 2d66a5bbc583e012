// The window's page as it last rendered, kept between runs in the user's
// cache folder so that the next start can show it until the live page has
// painted. The file is named after a digest of the bytes the page is made
// of; what is read back is checked like any untrusted input and, when it is
// not a picture of the expected size, simply not used.
#pragma once

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <initializer_list>
#include <string>
#include <string_view>

namespace gtkui {

// Largest picture file read back.
inline constexpr std::size_t kMaxPagePictureBytes = 4 * 1024 * 1024;

// The file for a page made of these bytes, in the folder: "page-HEX.png",
// HEX a digest of the parts and their lengths.
std::string PagePicturePath(const std::string& folder,
                            std::initializer_list<std::string_view> page);

// The program's folder in the user's cache folder.
std::string PagePictureFolder();

// The picture in the file when it is a PNG of exactly width x height with
// an alpha channel and no larger than kMaxPagePictureBytes; null otherwise
// (missing, unreadable, not a regular file, another size or format, damaged).
GdkPixbuf* LoadPagePicture(const std::string& path, int width, int height);

// Writes the picture as PNG in place of the file, through a temporary file
// beside it, making the folder when needed. False when it could not.
bool SavePagePicture(const std::string& path, GdkPixbuf* picture);

// The pictures hold the same pixels.
bool SamePixels(GdkPixbuf* a, GdkPixbuf* b);

}  // namespace gtkui
