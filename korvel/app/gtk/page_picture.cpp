#include "korvel/app/gtk/page_picture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace gtkui {

namespace {

constexpr unsigned char kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};

// The file's bytes, when it is a regular file of at most limit bytes.
bool ReadSmallFile(const std::string& path, std::size_t limit, std::vector<unsigned char>& bytes) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
              static_cast<unsigned long long>(st.st_size) <= limit;
    if (ok) {
        bytes.resize(static_cast<std::size_t>(st.st_size));
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
            if (n <= 0)
                break;
            done += static_cast<std::size_t>(n);
        }
        // A file that changed size while it was read is not used.
        unsigned char extra = 0;
        ok = done == bytes.size() && ::read(fd, &extra, 1) == 0;
    }
    ::close(fd);
    return ok;
}

std::uint32_t BigEndian32(const unsigned char* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

// Signature, the header chunk first with the expected size, and the end
// chunk last: checked before the decoder is given the bytes, so that a file
// claiming a huge picture costs nothing, and a cut-off file (which the
// decoder would give as a partly blank picture) is not used.
bool PngFrameFits(const std::vector<unsigned char>& bytes, int width, int height) {
    static constexpr unsigned char kEnd[12] = {0,   0,   0,    0,    'I',  'E',
                                               'N', 'D', 0xae, 0x42, 0x60, 0x82};
    if (bytes.size() < 8 + 25 + sizeof kEnd || std::memcmp(bytes.data(), kPngSignature, 8) != 0 ||
        std::memcmp(bytes.data() + bytes.size() - sizeof kEnd, kEnd, sizeof kEnd) != 0)
        return false;
    const unsigned char* ihdr = bytes.data() + 8;
    return BigEndian32(ihdr) == 13 && std::memcmp(ihdr + 4, "IHDR", 4) == 0 &&
           BigEndian32(ihdr + 8) == static_cast<std::uint32_t>(width) &&
           BigEndian32(ihdr + 12) == static_cast<std::uint32_t>(height);
}

}  // namespace

std::string PagePicturePath(const std::string& folder,
                            std::initializer_list<std::string_view> page) {
    GChecksum* sum = g_checksum_new(G_CHECKSUM_SHA256);
    for (std::string_view part : page) {
        const std::string length = std::to_string(part.size()) + ":";
        g_checksum_update(sum, reinterpret_cast<const guchar*>(length.data()),
                          static_cast<gssize>(length.size()));
        g_checksum_update(sum, reinterpret_cast<const guchar*>(part.data()),
                          static_cast<gssize>(part.size()));
    }
    const std::string hex = g_checksum_get_string(sum);
    g_checksum_free(sum);
    return folder + "/page-" + hex.substr(0, 32) + ".png";
}

std::string PagePictureFolder() {
    return std::string(g_get_user_cache_dir()) + "/korvel";
}

GdkPixbuf* LoadPagePicture(const std::string& path, int width, int height) {
    std::vector<unsigned char> bytes;
    if (!ReadSmallFile(path, kMaxPagePictureBytes, bytes) || !PngFrameFits(bytes, width, height))
        return nullptr;
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("png", nullptr);
    if (!loader)
        return nullptr;
    GdkPixbuf* picture = nullptr;
    const bool written = gdk_pixbuf_loader_write(loader, bytes.data(), bytes.size(), nullptr);
    if (gdk_pixbuf_loader_close(loader, nullptr) && written) {
        picture = gdk_pixbuf_loader_get_pixbuf(loader);
        if (picture && gdk_pixbuf_get_width(picture) == width &&
            gdk_pixbuf_get_height(picture) == height && gdk_pixbuf_get_has_alpha(picture) &&
            gdk_pixbuf_get_n_channels(picture) == 4 && gdk_pixbuf_get_bits_per_sample(picture) == 8)
            g_object_ref(picture);
        else
            picture = nullptr;
    }
    g_object_unref(loader);
    return picture;
}

bool SavePagePicture(const std::string& path, GdkPixbuf* picture) {
    if (!picture)
        return false;
    gchar* folder = g_path_get_dirname(path.c_str());
    const bool haveFolder = g_mkdir_with_parents(folder, 0700) == 0;
    g_free(folder);
    if (!haveFolder)
        return false;
    gchar* buffer = nullptr;
    gsize size = 0;
    // Speed over size: the picture is written while the window runs.
    if (!gdk_pixbuf_save_to_buffer(picture, &buffer, &size, "png", nullptr, "compression", "1",
                                   nullptr))
        return false;
    const bool ok = g_file_set_contents(path.c_str(), buffer, static_cast<gssize>(size), nullptr);
    g_free(buffer);
    return ok;
}

bool SamePixels(GdkPixbuf* a, GdkPixbuf* b) {
    if (!a || !b)
        return false;
    const int width = gdk_pixbuf_get_width(a), height = gdk_pixbuf_get_height(a);
    const int channels = gdk_pixbuf_get_n_channels(a);
    if (width != gdk_pixbuf_get_width(b) || height != gdk_pixbuf_get_height(b) ||
        channels != gdk_pixbuf_get_n_channels(b) || gdk_pixbuf_get_bits_per_sample(a) != 8 ||
        gdk_pixbuf_get_bits_per_sample(b) != 8)
        return false;
    const guchar* pa = gdk_pixbuf_read_pixels(a);
    const guchar* pb = gdk_pixbuf_read_pixels(b);
    const int sa = gdk_pixbuf_get_rowstride(a), sb = gdk_pixbuf_get_rowstride(b);
    const std::size_t row = static_cast<std::size_t>(width) * channels;
    for (int y = 0; y < height; ++y) {
        if (std::memcmp(pa + static_cast<std::ptrdiff_t>(y) * sa,
                        pb + static_cast<std::ptrdiff_t>(y) * sb, row) != 0)
            return false;
    }
    return true;
}

}  // namespace gtkui
