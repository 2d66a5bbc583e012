#include "korvel/update/md5.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace {

using testing_support::RandomBytes;

using testing_support::PtyChild;
using testing_support::RunProgram;
using testing_support::TempDir;

// The digest text md5sum prints for the file.
std::string Md5sum(const std::string& path) {
    const auto r = RunProgram({"md5sum", "-b", path});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return r.out.substr(0, 32);
}

std::string Upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'f')
            c = static_cast<char>(c - 'a' + 'A');
    return s;
}

TEST(CheckFileMd5, AgreesWithMd5sumAcrossBlockBoundaries) {
    TempDir dir;
    const std::size_t sizes[] = {1, 55, 64, 4095, 4096, 65535, 65536, 65537, 131073, (3 << 20) + 7};
    for (std::size_t size : sizes) {
        const std::string path = dir.Write("f" + std::to_string(size), RandomBytes(size, size));
        const std::string expected = Md5sum(path);
        ASSERT_EQ(expected.size(), 32u);
        EXPECT_EQ(CheckFileMd5(path, expected), 1) << size;
        EXPECT_EQ(CheckFileMd5(path, Upper(expected)), 1) << size;
        EXPECT_EQ(Md5Hex(RandomBytes(size, size).data(), size), expected) << size;

        // Any single changed byte, last one included, changes the digest.
        std::string changed = RandomBytes(size, size);
        changed.back() ^= 0x01;
        testing_support::WriteFile(path, changed);
        EXPECT_EQ(CheckFileMd5(path, expected), 0) << size;
    }
}

TEST(CheckFileMd5, ExpectedTextMustBeExactlyTheDigest) {
    TempDir dir;
    const std::string path = dir.Write("a.dat", "hello patch\n");
    const std::string digest = Md5sum(path);
    std::string mixed = digest;
    for (std::size_t i = 0; i < mixed.size(); i += 2)
        mixed[i] = Upper(mixed.substr(i, 1))[0];

    struct Case {
        std::string expected;
        int result;
    } cases[] = {
        {digest, 1},
        {Upper(digest), 1},
        {mixed, 1},
        {digest + "\r", 0},
        {digest + " ", 0},
        {digest + "\n", 0},
        {" " + digest, 0},
        {digest.substr(0, 31), 0},
        {digest + "0", 0},
        {"", 0},
        {std::string(digest).replace(0, 1, "g"), 0},
        {std::string(digest.c_str(), 16) + std::string(1, '\0') + digest.substr(17), 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CheckFileMd5(path, c.expected), c.result) << c.expected;
}

TEST(CheckFileMd5, UnusableFilesNeverMatch) {
    TempDir dir;
    const std::string empty = dir.Write("empty", "");
    EXPECT_EQ(CheckFileMd5(empty, "d41d8cd98f00b204e9800998ecf8427e"), 0);
    EXPECT_EQ(CheckFileMd5(dir.Sub("missing"), "d41d8cd98f00b204e9800998ecf8427e"), 0);
    EXPECT_EQ(CheckFileMd5(dir.path(), "d41d8cd98f00b204e9800998ecf8427e"), 0);  // a folder

    const std::string locked = dir.Write("locked", "x");
    ASSERT_EQ(::chmod(locked.c_str(), 0), 0);
    if (::geteuid() != 0) {
        EXPECT_EQ(CheckFileMd5(locked, Md5Hex("x", 1)), 0);
    }
}

TEST(CheckFileMd5, FileOpenForWritingElsewhereIsRefused) {
    TempDir dir;
    const std::string path = dir.Write("busy.dat", "content");
    const std::string digest = Md5Hex("content", 7);
    {
        PtyChild writer({"sh", "-c", "exec 3>>\"$1\"; echo ready; exec sleep 60", "sh", path});
        ASSERT_TRUE(writer.WaitFor("ready"));
        EXPECT_EQ(CheckFileMd5(path, digest), 0);
    }
    // Another reader is no obstacle, and the writer's end frees the file.
    PtyChild reader({"sh", "-c", "exec 3<\"$1\"; echo ready; exec sleep 60", "sh", path});
    ASSERT_TRUE(reader.WaitFor("ready"));
    EXPECT_EQ(CheckFileMd5(path, digest), 1);
}

TEST(Md5Stream, AgreesWithTheWholeDigestWhateverThePieces) {
    constexpr std::size_t kChunk = Md5Stream::kChunkSize;
    const std::size_t beyondTheQueue = (Md5Stream::kMaxQueued + 3) * kChunk + 5;
    const std::string bytes = RandomBytes(beyondTheQueue, 3);
    struct Case {
        std::size_t size, piece;
    } cases[] = {
        {0, 1024},
        {1, 1024},
        {kChunk - 1, 1024},
        {kChunk, 1024},
        {kChunk + 1, 4093},
        {3 * kChunk, kChunk + 1},
        {beyondTheQueue, 65539},
        {beyondTheQueue, beyondTheQueue},
    };
    for (const auto& c : cases) {
        Md5Stream stream;
        for (std::size_t at = 0; at < c.size; at += c.piece)
            stream.Add(bytes.data() + at, std::min(c.piece, c.size - at));
        EXPECT_EQ(stream.size(), c.size);
        EXPECT_EQ(stream.Finish(), Md5Hex(bytes.data(), c.size)) << c.size << "/" << c.piece;
        EXPECT_EQ(stream.Finish(), Md5Hex(bytes.data(), c.size)) << "asked twice";
    }
}

// The check after a download, from the digest taken while writing, answers
// what reading the file answers.
TEST(CheckWrittenFileMd5, AnswersAsReadingTheFileWould) {
    TempDir dir;
    const std::string content = "written bytes";
    const std::string digest = Md5Hex(content.data(), content.size());
    const std::string other = Md5Hex("other", 5);
    struct Case {
        const char* what;
        std::string path;
        std::string hashed;    // the bytes the digest was taken of
        std::string hashText;  // "" : the digest could not be taken
        std::string expected;
        int result;
    } cases[] = {
        {"same bytes", dir.Write("a", content), content, digest, digest, 1},
        {"upper-case text", dir.Write("b", content), content, digest, Upper(digest), 1},
        {"other digest expected", dir.Write("c", content), content, digest, other, 0},
        {"line end after the text", dir.Write("d", content), content, digest, digest + "\n", 0},
        {"empty file", dir.Write("e", ""), "", Md5Hex("", 0), Md5Hex("", 0), 0},
        {"missing file", dir.Sub("missing"), content, digest, digest, 0},
        {"a folder", dir.path(), content, digest, digest, 0},
        {"file changed length since: read", dir.Write("f", content + "!"), content, digest, digest,
         0},
        {"file changed length since, right now", dir.Write("g", content), "x", Md5Hex("x", 1),
         digest, 1},
        {"no digest taken: read", dir.Write("h", content), content, "", digest, 1},
        {"no digest taken, wrong file", dir.Write("i", "other"), content, "", digest, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CheckWrittenFileMd5(c.path, c.hashed.size(), c.hashText, c.expected), c.result)
            << c.what;
        EXPECT_EQ(CheckFileMd5(c.path, c.expected), c.result) << c.what;
    }

    const std::string path = dir.Write("busy.dat", content);
    PtyChild writer({"sh", "-c", "exec 3>>\"$1\"; echo ready; exec sleep 60", "sh", path});
    ASSERT_TRUE(writer.WaitFor("ready"));
    EXPECT_EQ(CheckWrittenFileMd5(path, content.size(), digest, digest), 0);
}

}  // namespace
