#include "korvel/update/patch_file.h"

#include <bzlib.h>
#include <fcntl.h>
#include <lzo/lzo1x.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <new>

#include "korvel/res/app_message_box.h"
#include "korvel/update/bzip2_blocks.h"
#include "platform/codepage.h"

void FreeBytes::operator()(unsigned char* p) const {
    std::free(p);
}

ByteBuffer AllocateBytes(std::size_t size) {
    constexpr std::size_t kHugePage = 2u << 20;
    if (size < kHugePage)
        return ByteBuffer(static_cast<unsigned char*>(std::malloc(size ? size : 1)));
    const std::size_t rounded = (size + kHugePage - 1) / kHugePage * kHugePage;
    void* p = std::aligned_alloc(kHugePage, rounded);
    if (p)
        ::madvise(p, rounded, MADV_HUGEPAGE);
    return ByteBuffer(static_cast<unsigned char*>(p));
}

namespace {

const char* const kGameRunningHint = "失败!\n请确认更新时游戏不在运行。";

std::string CannotOpenPatchText(const std::string& fileName) {
    return "打开更新数据文件[" + fileName + "]" + kGameRunningHint;
}
std::string CannotOpenTargetText(const std::string& target) {
    return "打开要更新的文件[" + target + "]" + kGameRunningHint;
}
std::string CannotAddText(const std::string& target) {
    return "增添文件[" + target + "]" + kGameRunningHint;
}
std::string BadSectionText(const std::string& fileName) {
    return fileName + "含有不合法的数据节!";
}

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Closes now; false when the close reports an error.
    bool Close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

  private:
    int fd_;
};

// Reads up to size bytes at offset; gives the number read (short only at
// the end of the file or on an error).
std::size_t ReadAt(int fd, unsigned char* buf, std::size_t size, off_t offset) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, buf + done, size - done, offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

bool WriteAt(int fd, const char* data, std::size_t size, off_t offset) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(fd, data + done, size - done, offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool InitLzo() {
    static const bool ok = lzo_init() == LZO_E_OK;
    return ok;
}

std::string NoMemoryText(const std::string& fileName, std::uint64_t bytes) {
    return fileName + "内存不足! 解压需要" + std::to_string(bytes) + "字节内存";
}

std::atomic<std::uint64_t> g_patchMemoryLimit{0};

// Memory the block-parallel bzip2 decoding may take besides the two
// buffers: a tenth of them, but never less than this.
constexpr std::uint64_t kMinBzip2DecodeRoom = 24u << 20;

// Decodes on every core when the stream allows it: true when the body is
// complete and checked; false leaves the verdict to the one-call decode.
bool UnpackBzip2Blocks(const unsigned char* packed, std::size_t packedSize, unsigned char* out,
                       std::size_t room, std::uint32_t unpacked) {
    if (packedSize < 4 || packed[3] < '1' || packed[3] > '9')
        return false;
    const unsigned level = packed[3] - '0';
    const std::uint64_t extra =
        std::max<std::uint64_t>((packedSize + std::uint64_t{unpacked}) / 10, kMinBzip2DecodeRoom);
    unsigned threads = Bzip2DecodeThreads();
    while (threads > 1 && Bzip2DecodeFootprint(level, threads) > extra)
        --threads;
    if (threads < 2)
        return false;
    return DecodeBzip2Blocks(packed, packedSize, out, room, unpacked, threads, extra);
}

bool UnpackBzip2(const unsigned char* packed, std::size_t packedSize, LoadedPatch& patch,
                 const std::string& fileName, std::string& error) {
    const std::uint32_t unpacked = patch.header.unpackedSize;
    // The library counts in unsigned int: the slack shrinks near 4 GiB.
    const std::uint64_t room =
        std::min<std::uint64_t>(std::uint64_t{unpacked} + kBzip2Slack, UINT_MAX);
    unsigned int produced = static_cast<unsigned int>(room);
    patch.body = AllocateBytes(produced);
    if (!patch.body) {
        error = NoMemoryText(fileName, packedSize + room);
        return false;
    }
    if (UnpackBzip2Blocks(packed, packedSize, patch.body.get(), produced, unpacked)) {
        patch.bodySize = unpacked;
        return true;
    }
    const int rc =
        BZ2_bzBuffToBuffDecompress(reinterpret_cast<char*>(patch.body.get()), &produced,
                                   const_cast<char*>(reinterpret_cast<const char*>(packed)),
                                   static_cast<unsigned int>(packedSize), 0, 0);
    if (rc != BZ_OK) {
        error = fileName + "解压错误!";
        return false;
    }
    if (produced != unpacked) {
        error = fileName + "解压错误! 长度不匹配";
        return false;
    }
    patch.bodySize = produced;
    return true;
}

bool UnpackLzo(const unsigned char* packed, std::size_t packedSize, LoadedPatch& patch,
               const std::string& fileName, std::string& error) {
    const std::uint64_t unpacked = patch.header.unpackedSize;
    error = fileName + "解压缩错误!";
    if (!InitLzo())
        return false;
    lzo_uint produced = unpacked + kLzoSlack;
    patch.body = AllocateBytes(produced);
    if (!patch.body) {
        error = NoMemoryText(fileName, packedSize + produced);
        return false;
    }
    const int rc = lzo1x_decompress_safe(packed, packedSize, patch.body.get(), &produced, nullptr);
    // Data after the end-of-stream marker is ignored; an overrun of either
    // buffer or a broken stream is an error whatever length came out.
    if ((rc != LZO_E_OK && rc != LZO_E_INPUT_NOT_CONSUMED) || produced != unpacked)
        return false;
    patch.bodySize = produced;
    error.clear();
    return true;
}

// Whether name, below gameDir, stays inside the game folder once symbolic
// links on its way are followed. Components that do not exist yet cannot
// lead anywhere; a link that cannot be resolved (dangling, looping) could
// make a new file appear wherever it points, so it is refused.
bool ResolvesInside(const std::string& gameDir, std::string_view name) {
    std::string root;
    std::string path = gameDir;
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = name.find('/', start);
        const std::string_view part = name.substr(start, slash - start);
        path.append(part);
        if (!part.empty() && part != ".") {
            struct stat st;
            if (::lstat(path.c_str(), &st) != 0)
                return true;  // nothing exists beyond
            if (S_ISLNK(st.st_mode)) {
                if (root.empty()) {
                    char* real = ::realpath(gameDir.c_str(), nullptr);
                    if (!real)
                        return false;
                    root = real;
                    std::free(real);
                    if (root.back() != '/')
                        root.push_back('/');
                }
                char* real = ::realpath(path.c_str(), nullptr);
                if (!real)
                    return false;
                const std::string resolved = std::string(real) + "/";
                std::free(real);
                if (!resolved.starts_with(root))
                    return false;
            }
        }
        if (slash == std::string_view::npos)
            return true;
        path.push_back('/');
        start = slash + 1;
    }
}

// Clears what keeps the owner from writing the file; a missing file is fine.
void MakeOwnerWritable(const std::string& target) {
    struct stat st;
    if (::stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR))
        ::chmod(target.c_str(), (st.st_mode & 07777) | S_IWUSR);
}

// Creates every folder on target's way after its first "/"; folders that
// exist already make the creation fail harmlessly.
void CreateParentFolders(const std::string& target) {
    std::size_t slash = platform::FindCharMb(target, '/');
    if (slash == std::string::npos)
        return;
    while ((slash = platform::FindCharMb(target, '/', slash + 1)) != std::string::npos)
        ::mkdir(target.substr(0, slash).c_str(), 0777);
}

bool ApplyModify(const std::string& target, const PatchSection& section) {
    Fd fd(::open(target.c_str(), O_WRONLY | O_CLOEXEC));
    if (!fd.valid())
        return false;
    PatchRunReader runs(section.data);
    PatchRun run;
    off_t pos = 0;
    while (runs.Next(run)) {
        pos += run.skip;
        if (!WriteAt(fd.get(), run.bytes.data(), run.bytes.size(), pos))
            return false;
        pos += static_cast<off_t>(run.bytes.size());
    }
    if (::ftruncate(fd.get(), section.finalSize) != 0)
        return false;
    return fd.Close();
}

bool ApplyAdd(const std::string& target, const PatchSection& section) {
    CreateParentFolders(target);
    Fd fd(::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!fd.valid())
        return false;
    if (!WriteAt(fd.get(), section.data.data(), section.data.size(), 0))
        return false;
    return fd.Close();
}

}  // namespace

bool LoadPatchFile(const std::string& downloadDir, const std::string& fileName,
                   const std::uint32_t* expectedVersion, LoadedPatch& patch, std::string& error) {
    error.clear();
    const std::string path = downloadDir + "/" + fileName;
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || S_ISDIR(st.st_mode)) {
        error = CannotOpenPatchText(fileName);
        return false;
    }
    // Lengths in this format are 32-bit: only the low 32 bits of the file's
    // length count.
    const std::uint32_t fileLength = static_cast<std::uint32_t>(st.st_size);

    unsigned char header[kPatchHeaderSize];
    if (ReadAt(fd.get(), header, sizeof header, 0) != sizeof header)
        return false;
    patch.header.magic = LoadLe32(header);
    patch.header.version = LoadLe32(header + 4);
    patch.header.unpackedSize = LoadLe32(header + 8);
    if (patch.header.magic != kPatchMagicLzo && patch.header.magic != kPatchMagicBzip2) {
        error = fileName + "不是合法的更新文件!";
        return false;
    }
    if (expectedVersion && patch.header.version != *expectedVersion) {
        error = fileName + "版本号错误!";
        return false;
    }
    if (fileLength < kPatchHeaderSize)
        return false;

    patch.packedSize = fileLength - kPatchHeaderSize;
    const std::uint64_t unpacked = patch.header.unpackedSize;
    const bool lzo = patch.header.magic == kPatchMagicLzo;
    if (lzo && unpacked > kMaxLzoExpansion * patch.packedSize) {
        error = fileName + "解压缩错误!";
        return false;
    }
    const std::uint64_t needed = patch.packedSize + unpacked + (lzo ? kLzoSlack : kBzip2Slack);
    if (needed > PatchMemoryLimit()) {
        error = NoMemoryText(fileName, needed);
        return false;
    }
    const ByteBuffer packed = AllocateBytes(patch.packedSize);
    if (!packed) {
        error = NoMemoryText(fileName, needed);
        return false;
    }
    if (ReadAt(fd.get(), packed.get(), patch.packedSize, kPatchHeaderSize) != patch.packedSize)
        return false;
    fd.Close();

    if (lzo)
        return UnpackLzo(packed.get(), patch.packedSize, patch, fileName, error);
    return UnpackBzip2(packed.get(), patch.packedSize, patch, fileName, error);
}

std::uint64_t PatchMemoryLimit() {
    if (const std::uint64_t limit = g_patchMemoryLimit)
        return limit;
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0)
        return UINT64_MAX;
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
}

void SetPatchMemoryLimit(std::uint64_t bytes) {
    g_patchMemoryLimit = bytes;
}

bool ApplyPatchBody(std::string_view body, const std::string& fileName, const std::string& gameDir,
                    std::string& error) {
    error.clear();
    PatchBodyReader reader(body);
    for (;;) {
        PatchSection section;
        const BodyStep step = reader.Next(section);
        if (step == BodyStep::End)
            return true;
        if (step == BodyStep::Malformed || !IsPlainRelativeName(section.name) ||
            (section.tag == kSectionModify && !CheckModifyRuns(section.data)) ||
            !ResolvesInside(gameDir, section.name)) {
            error = BadSectionText(fileName);
            return false;
        }

        const std::string target = gameDir + std::string(section.name);
        MakeOwnerWritable(target);
        if (section.tag == kSectionModify) {
            if (!ApplyModify(target, section)) {
                error = CannotOpenTargetText(target);
                return false;
            }
        } else if (!ApplyAdd(target, section)) {
            error = CannotAddText(target);
            return false;
        }
    }
}

bool ApplyPatchFile(const std::string& fileName, std::uint32_t expectedVersion,
                    const std::string& downloadDir, const std::string& gameDir) {
    LoadedPatch patch;
    std::string error;
    if (LoadPatchFile(downloadDir, fileName, &expectedVersion, patch, error) &&
        ApplyPatchBody(patch.Body(), fileName, gameDir, error))
        return true;
    if (!error.empty())
        AppMessageBox(error, platform::MbButtons::Ok, platform::MbIcon::Error);
    return false;
}
