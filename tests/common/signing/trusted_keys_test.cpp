#include "common/signing/trusted_keys.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "tests/support/temp_dir.h"

namespace {

using signing::KeysState;
using testing_support::TempDir;

// A public key file as "minisign -G" writes it (key id 3E19D1B2C4F2A5E8).
const std::string kPubFile =
    "untrusted comment: minisign public key 3E19D1B2C4F2A5E8\n"
    "RWTopfLEstEZPqpucxtsNABaBhAnUrvneg5Q/gTBAXdeGoZvqF4wT5YX\n";
const std::string kKeyLine = "RWTopfLEstEZPqpucxtsNABaBhAnUrvneg5Q/gTBAXdeGoZvqF4wT5YX";
const std::string kOtherKeyLine = "RWQtnrc+mcC1+gpucxtsNABaBhAnUrvneg5Q/gTBAXdeGoZvqF4wT5YX";

TEST(TrustedKeys, PublicKeyLines) {
    signing::PublicKey key{};
    ASSERT_TRUE(signing::ParsePublicKeyLine(kKeyLine, key));
    const std::array<unsigned char, 8> id{0xe8, 0xa5, 0xf2, 0xc4, 0xb2, 0xd1, 0x19, 0x3e};
    EXPECT_EQ(key.keyId, id);
    EXPECT_EQ(key.key[0], 0xaa);
    EXPECT_EQ(key.key[31], 0x17);
    const std::string refused[] = {
        "",
        kKeyLine.substr(0, 52),      // 39 bytes
        kKeyLine + "AAAA",           // 45 bytes
        "RXT" + kKeyLine.substr(3),  // algorithm "E\x5c"
        kKeyLine.substr(0, 20) + "*" + kKeyLine.substr(21),
        kKeyLine.substr(0, 55) + "=",                                 // padding where data belongs
        "RWTopfLEstEZPqpucxtsNABaBhAnUrvneg5Q/gTBAXdeGoZvqF4wT5YXR",  // one character more
    };
    for (const auto& line : refused)
        EXPECT_FALSE(signing::ParsePublicKeyLine(line, key)) << line;
}

TEST(TrustedKeys, KeysFileText) {
    struct Case {
        const char* what;
        std::string text;
        bool parsed;
        std::size_t keys;
    } cases[] = {
        {"empty", "", true, 0},
        {"comments and blank lines only", "# publisher keys\n\n   \n\t\n", true, 0},
        {"a public key file as it is", kPubFile, true, 1},
        {"two keys with comments", "# 2024\n" + kPubFile + "\n# 2025\n" + kOtherKeyLine + "\n",
         true, 2},
        {"CR LF and surrounding blanks", "  " + kKeyLine + " \r\n\r\n", true, 1},
        {"no final line end", kKeyLine, true, 1},
        {"a damaged key among good ones", kPubFile + kOtherKeyLine.substr(1) + "\n", false, 0},
        {"a stray word", kPubFile + "trusted\n", false, 0},
        {"a signature file",
         "untrusted comment: x\nRUQtnrc+mcC1+sn2w7kBWSkXHgw3D11AXbCgy2DxFbPR"
         "+c3I/ltW3xKIC5I3vFkY6Rr/tsTgpvfVgv8uoKlNyL7ZUbVy5zBBtAA=\n",
         false, 0},
    };
    for (const auto& c : cases) {
        std::vector<signing::PublicKey> keys{{}};
        std::string problem;
        EXPECT_EQ(signing::ParseTrustedKeysText(c.text, keys, problem), c.parsed) << c.what;
        EXPECT_EQ(keys.size(), c.keys) << c.what;
        EXPECT_EQ(problem.empty(), c.parsed) << c.what;
    }
}

TEST(TrustedKeys, FileMustBeSafeOrAbsent) {
    const TempDir dir;
    struct Case {
        const char* what;
        std::function<std::string()> make;  // gives the path to load
        KeysState expected;
        std::size_t keys;
    } cases[] = {
        {"no file", [&] { return dir.Sub("none"); }, KeysState::None, 0},
        {"below a missing folder", [&] { return dir.Sub("none/keys"); }, KeysState::None, 0},
        {"below a file", [&] { return dir.Write("plain", "x") + "/keys"; }, KeysState::None, 0},
        {"no key in it", [&] { return dir.Write("empty", "# none yet\n"); }, KeysState::None, 0},
        {"own file, two keys", [&] { return dir.Write("good", kPubFile + kOtherKeyLine + "\n"); },
         KeysState::Loaded, 2},
        {"through a symbolic link",
         [&] {
             const std::string target = dir.Write("target", kPubFile);
             EXPECT_EQ(symlink(target.c_str(), dir.Sub("link").c_str()), 0);
             return dir.Sub("link");
         },
         KeysState::Loaded, 1},
        {"group writable",
         [&] {
             const std::string p = dir.Write("gw", kPubFile);
             chmod(p.c_str(), 0664);
             return p;
         },
         KeysState::Unsafe, 0},
        {"others writable",
         [&] {
             const std::string p = dir.Write("ow", kPubFile);
             chmod(p.c_str(), 0602);
             return p;
         },
         KeysState::Unsafe, 0},
        {"others writable, no key in it",
         [&] {
             const std::string p = dir.Write("ow-empty", "");
             chmod(p.c_str(), 0666);
             return p;
         },
         KeysState::Unsafe, 0},
        {"a folder", [&] { return dir.Write("folder/x", ""), dir.Sub("folder"); },
         KeysState::Unsafe, 0},
        {"a damaged key", [&] { return dir.Write("damaged", kKeyLine.substr(2) + "\n"); },
         KeysState::Unsafe, 0},
        {"too large", [&] { return dir.Write("large", std::string(2 << 20, '#')); },
         KeysState::Unsafe, 0},
    };
    for (const auto& c : cases) {
        const signing::TrustedKeys keys = signing::LoadTrustedKeys(c.make());
        EXPECT_EQ(keys.state, c.expected) << c.what << ": " << keys.problem;
        EXPECT_EQ(keys.keys.size(), c.keys) << c.what;
        EXPECT_EQ(keys.Enforced(), c.expected != KeysState::None) << c.what;
        EXPECT_EQ(keys.problem.empty(), c.expected != KeysState::Unsafe) << c.what;
    }
}

// Owner and readability can only be set up from the other side: as root a
// file can be given away, as anyone else one can be made unreadable.
TEST(TrustedKeys, ForeignOrUnreadableFileIsUnsafe) {
    const TempDir dir;
    const std::string path = dir.Write("keys", kPubFile);
    if (geteuid() == 0) {
        ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
        const signing::TrustedKeys keys = signing::LoadTrustedKeys(path);
        EXPECT_EQ(keys.state, KeysState::Unsafe);
        EXPECT_NE(keys.problem.find("neither root nor"), std::string::npos) << keys.problem;
    } else {
        ASSERT_EQ(chmod(path.c_str(), 0), 0);
        const signing::TrustedKeys keys = signing::LoadTrustedKeys(path);
        EXPECT_EQ(keys.state, KeysState::Unsafe);
        EXPECT_NE(keys.problem.find("cannot open"), std::string::npos) << keys.problem;
    }
}

}  // namespace
