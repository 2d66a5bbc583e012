#include "common/signing/minisig.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "common/signing/base64.h"
#include "common/signing/crypto.h"
#include "common/signing/minisig_format.h"
#include "tests/support/temp_dir.h"

namespace {

using signing::Check;
using testing_support::TempDir;

constexpr std::int64_t kNow = 1'800'000'000;

// A publisher key made in the test, with its trusted keys list.
struct TestKey {
    signing::SecretKey secret;
    signing::TrustedKeys trusted;
    explicit TestKey(unsigned char idByte) {
        EXPECT_TRUE(signing::Ed25519Generate(secret.seed, secret.publicKey));
        secret.keyId.fill(idByte);
        trusted.state = signing::KeysState::Loaded;
        trusted.keys.push_back({secret.keyId, secret.publicKey});
    }
};

// A signature of data with any trusted comment, as a publisher would make it.
signing::Minisig MakeSig(const signing::SecretKey& key, std::string_view data,
                         const std::string& comment, bool prehashed = true) {
    signing::Minisig sig;
    sig.prehashed = prehashed;
    sig.keyId = key.keyId;
    sig.trustedComment = comment;
    signing::Digest digest{};
    EXPECT_TRUE(signing::Blake2b512(data, digest));
    const std::string_view message =
        prehashed ? std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size())
                  : data;
    EXPECT_TRUE(signing::Ed25519Sign(key.seed.data(),
                                     reinterpret_cast<const unsigned char*>(message.data()),
                                     message.size(), sig.signature));
    std::string global(sig.signature.begin(), sig.signature.end());
    global += comment;
    EXPECT_TRUE(signing::Ed25519Sign(key.seed.data(),
                                     reinterpret_cast<const unsigned char*>(global.data()),
                                     global.size(), sig.globalSignature));
    return sig;
}

std::string Text(const signing::Minisig& sig) {
    return signing::FormatMinisig(sig, "test signature");
}

// Replaces the first occurrence of from in s.
std::string Replace(std::string s, const std::string& from, const std::string& to) {
    const std::size_t at = s.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? s : s.replace(at, from.size(), to);
}

std::string ReplaceAll(std::string s, const std::string& from, const std::string& to) {
    for (std::size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
    return s;
}

// The signature line's last data character with one of its unused low bits
// set: the same bytes by a lax decoder, a different text.
std::string WithPaddingBitSet(std::string text) {
    const std::size_t at = text.find("=\ntrusted comment") - 1;
    static const std::string alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    text[at] = alphabet[alphabet.find(text[at]) | 1];
    return text;
}

// The signature line with its raw bytes changed by edit.
std::string EditSignatureLine(const std::string& text, std::size_t rawSize,
                              const std::function<std::string(std::string)>& edit) {
    const std::size_t begin = text.find('\n') + 1;
    const std::size_t end = text.find('\n', begin);
    std::string raw(74, '\0');
    EXPECT_TRUE(signing::DecodeBase64Exact(text.substr(begin, end - begin),
                                           reinterpret_cast<unsigned char*>(raw.data()), 74));
    raw = edit(raw);
    raw.resize(rawSize, 'x');
    return text.substr(0, begin) +
           signing::EncodeBase64(reinterpret_cast<const unsigned char*>(raw.data()), raw.size()) +
           text.substr(end);
}

TEST(Minisig, VerifiesWhatThePublisherSignedAndRefusesEveryAlteration) {
    const TestKey key(0x11);
    const TestKey other(0x22);
    const std::string data = "1.0.3 http://h/p/a103.dat 0123 17 http\n";
    const std::string name = "list.txt";
    const std::string comment = "timestamp:1700000000\tfile:list.txt\thashed";
    const std::string good = Text(MakeSig(key.secret, data, comment));
    signing::Minisig impostor = MakeSig(other.secret, data, comment);
    impostor.keyId = key.secret.keyId;  // another key claiming the trusted key's id

    signing::TrustedKeys unsafe;
    unsafe.state = signing::KeysState::Unsafe;
    signing::TrustedKeys both = key.trusted;
    both.keys.push_back(other.trusted.keys[0]);

    struct Case {
        const char* what;
        std::string sig;
        Check expected;
        std::string data;
        const signing::TrustedKeys* keys;
    } cases[] = {
        {"prehashed", good, Check::Ok, data, &key.trusted},
        {"legacy", Text(MakeSig(key.secret, data, comment, false)), Check::Ok, data, &key.trusted},
        {"second of two trusted keys", Text(MakeSig(other.secret, data, comment)), Check::Ok, data,
         &both},
        {"line ends CR LF", ReplaceAll(good, "\n", "\r\n"), Check::Ok, data, &key.trusted},
        {"empty lines after the signature", good + "\n\n", Check::Ok, data, &key.trusted},
        {"no signature", "", Check::Missing, data, &key.trusted},
        {"keys file unsafe", good, Check::KeysUnsafe, data, &unsafe},
        {"data altered", good, Check::BadSignature, data + " ", &key.trusted},
        {"legacy, data altered", Text(MakeSig(key.secret, data, comment, false)),
         Check::BadSignature, data + " ", &key.trusted},
        {"trusted comment altered", Replace(good, "1700000000", "1700000001"), Check::BadSignature,
         data, &key.trusted},
        {"trusted comment extended", Replace(good, "\thashed", "\thashed "), Check::BadSignature,
         data, &key.trusted},
        {"signature bit flipped",
         EditSignatureLine(good, 74, [](std::string r) { return r[40] ^= 1, r; }),
         Check::BadSignature, data, &key.trusted},
        {"prehashed marked legacy",
         EditSignatureLine(good, 74, [](std::string r) { return r[1] = 'd', r; }),
         Check::BadSignature, data, &key.trusted},
        {"another key under the trusted key's id", Text(impostor), Check::BadSignature, data,
         &key.trusted},
        {"untrusted key", Text(MakeSig(other.secret, data, comment)), Check::UnknownKey, data,
         &key.trusted},
        {"key id altered", EditSignatureLine(good, 74, [](std::string r) { return r[5] ^= 1, r; }),
         Check::UnknownKey, data, &key.trusted},
        {"unknown algorithm",
         EditSignatureLine(good, 74, [](std::string r) { return r[1] = 'X', r; }), Check::Malformed,
         data, &key.trusted},
        {"signature line one byte short",
         EditSignatureLine(good, 73, [](std::string r) { return r; }), Check::Malformed, data,
         &key.trusted},
        {"signature line one byte long",
         EditSignatureLine(good, 75, [](std::string r) { return r; }), Check::Malformed, data,
         &key.trusted},
        {"character outside base64", std::string(good).replace(60, 1, "*"), Check::Malformed, data,
         &key.trusted},
        {"unused base64 bits set", WithPaddingBitSet(good), Check::Malformed, data, &key.trusted},
        {"blank before the signature line", Replace(good, "\n", "\n "), Check::Malformed, data,
         &key.trusted},
        {"global signature cut", Replace(good, "==\n", "\n"), Check::Malformed, data, &key.trusted},
        {"no trusted comment prefix", Replace(good, "\ntrusted comment: ", "\ntrusted comment:"),
         Check::Malformed, data, &key.trusted},
        {"no untrusted comment", good.substr(good.find('\n') + 1), Check::Malformed, data,
         &key.trusted},
        {"text after the signature", good + "more\n", Check::Malformed, data, &key.trusted},
    };
    for (const auto& c : cases) {
        const signing::Verdict v = signing::VerifyBytes(*c.keys, c.data, c.sig, name, kNow);
        EXPECT_EQ(v.result, c.expected) << c.what << "\n" << c.sig;
        EXPECT_EQ(v.timestamp, c.expected == Check::Ok ? 1700000000 : 0) << c.what;
    }
}

TEST(Minisig, TrustedCommentRules) {
    const TestKey key(0x33);
    const std::string data = "patch bytes";
    const std::string now = std::to_string(kNow);
    struct Case {
        std::string comment;
        Check expected;
    } cases[] = {
        {"timestamp:5\tfile:a103.dat\thashed", Check::Ok},
        {"timestamp:5 file:a103.dat", Check::Ok},
        {"  file:a103.dat \t\t timestamp:5  ", Check::Ok},
        {"timestamp:5\tfile:a103.dat\tsigner:team other words", Check::Ok},
        {"timestamp:5\tfile:a103.dat\texpires:" + now, Check::Ok},
        {"timestamp:5\tfile:a103.dat\texpires:" + std::to_string(kNow - 1), Check::Expired},
        {"timestamp:5\tfile:a103.dat\texpires:soon", Check::Expired},
        {"timestamp:5\tfile:a103.dat\texpires:", Check::Expired},
        {"timestamp:5\tfile:a103.dat\texpires:" + now + "\texpires:" + now, Check::Expired},
        {"timestamp:5", Check::WrongFile},
        {"timestamp:5\tfile:a104.dat", Check::WrongFile},
        {"timestamp:5\tfile:A103.dat", Check::WrongFile},
        {"timestamp:5\tfile:dir/a103.dat", Check::WrongFile},
        {"timestamp:5\tfile:", Check::WrongFile},
        {"timestamp:5\tfile:a103.dat\tfile:a103.dat", Check::WrongFile},
        {"timestamp:5\tfile:a103.dat.torrent", Check::WrongFile},
        {"timestamp:5\tfile:a103.dat\x0b", Check::WrongFile},
        {"file:a103.dat", Check::NoTimestamp},
        {"time:5\tfile:a103.dat", Check::NoTimestamp},
        {"timestamp:-5\tfile:a103.dat", Check::NoTimestamp},
        {"timestamp:+5\tfile:a103.dat", Check::NoTimestamp},
        {"timestamp:5x\tfile:a103.dat", Check::NoTimestamp},
        {"timestamp:99999999999999999999\tfile:a103.dat", Check::NoTimestamp},
        {"timestamp:5\ttimestamp:6\tfile:a103.dat", Check::NoTimestamp},
    };
    for (const auto& c : cases) {
        const std::string sig = Text(MakeSig(key.secret, data, c.comment));
        const signing::Verdict v = signing::VerifyBytes(key.trusted, data, sig, "a103.dat", kNow);
        EXPECT_EQ(v.result, c.expected) << c.comment;
    }
    // Without an expected name nothing can match.
    const std::string sig = Text(MakeSig(key.secret, data, "timestamp:5\tfile:"));
    EXPECT_EQ(signing::VerifyBytes(key.trusted, data, sig, "", kNow).result, Check::WrongFile);
}

TEST(Minisig, VerifiesFilesAcrossReadBlocksAndRefusesMissingOnes) {
    const TestKey key(0x44);
    const TempDir dir;
    // Larger than one read block, not a multiple of it.
    const std::string data = testing_support::RandomBytes((3 << 20) + 17, 7);
    const std::string path = dir.Write("a103.dat", data);
    const std::string comment = "timestamp:9\tfile:a103.dat";
    for (const bool prehashed : {true, false}) {
        const std::string sig = Text(MakeSig(key.secret, data, comment, prehashed));
        EXPECT_EQ(signing::VerifyFile(key.trusted, path, sig, "a103.dat", kNow).result, Check::Ok)
            << prehashed;
        std::string altered = data;
        altered[(3 << 20) + 5] ^= 0x40;
        const std::string alteredPath = dir.Write("x/a103.dat", altered);
        EXPECT_EQ(signing::VerifyFile(key.trusted, alteredPath, sig, "a103.dat", kNow).result,
                  Check::BadSignature)
            << prehashed;
        EXPECT_EQ(signing::VerifyFile(key.trusted, dir.Sub("none"), sig, "a103.dat", kNow).result,
                  Check::BadSignature)
            << prehashed;
    }
}

TEST(Minisig, SignFileMakesPrehashedSignaturesWithTheFilesName) {
    const TempDir dir;
    std::string error;
    ASSERT_TRUE(signing::GenerateKeyPair(dir.Sub("pub"), error)) << error;
    signing::TrustedKeys keys;
    ASSERT_TRUE(signing::ParseTrustedKeysText(testing_support::ReadFile(dir.Sub("pub.pub")),
                                              keys.keys, error));
    keys.state = signing::KeysState::Loaded;
    const std::string file = dir.Write("p/a103.dat", "patch");
    const std::int64_t before = std::time(nullptr);
    ASSERT_TRUE(signing::SignFile(dir.Sub("pub.key"), file, 2, error)) << error;
    const std::string sigText = testing_support::ReadFile(file + ".minisig");
    signing::Minisig sig;
    ASSERT_TRUE(signing::ParseMinisig(sigText, sig));
    EXPECT_TRUE(sig.prehashed);
    const signing::CommentFields fields = signing::ParseTrustedComment(sig.trustedComment);
    ASSERT_TRUE(fields.timestamp && fields.expires);
    EXPECT_GE(*fields.timestamp, before);
    EXPECT_EQ(*fields.expires, *fields.timestamp + 2 * 86400);
    EXPECT_TRUE(sig.trustedComment.ends_with("\thashed")) << sig.trustedComment;

    const signing::Verdict v = signing::VerifyFile(keys, file, sigText, "a103.dat", before);
    EXPECT_EQ(v.result, Check::Ok);
    EXPECT_EQ(v.timestamp, *fields.timestamp);
    EXPECT_EQ(signing::VerifyFile(keys, file, sigText, "a103.dat", *fields.expires + 1).result,
              Check::Expired);

    // Names that cannot stand as one word of the trusted comment are refused.
    const std::string blank = dir.Write("a 103.dat", "patch");
    EXPECT_FALSE(signing::SignFile(dir.Sub("pub.key"), blank, std::nullopt, error));
    EXPECT_FALSE(signing::SignFile(dir.Sub("pub.key"), file, 0, error));
    // Key pairs are never written over.
    EXPECT_FALSE(signing::GenerateKeyPair(dir.Sub("pub"), error));
}

TEST(Minisig, SecretKeyFiles) {
    const TempDir dir;
    std::string error;
    ASSERT_TRUE(signing::GenerateKeyPair(dir.Sub("k"), error)) << error;
    const std::string text = testing_support::ReadFile(dir.Sub("k.key"));
    signing::SecretKey key;
    ASSERT_TRUE(signing::ParseSecretKeyFile(text, key, error)) << error;

    const std::size_t begin = text.find('\n') + 1;
    const std::string body = text.substr(begin, text.find('\n', begin) - begin);
    auto withRaw = [&](const std::function<void(unsigned char*)>& edit) {
        unsigned char raw[158];
        EXPECT_TRUE(signing::DecodeBase64Exact(body, raw, sizeof raw));
        edit(raw);
        return text.substr(0, begin) + signing::EncodeBase64(raw, sizeof raw) + "\n";
    };
    struct Case {
        const char* what;
        std::string text;
        const char* errorPart;
    } cases[] = {
        {"encrypted", withRaw([](unsigned char* r) { r[2] = 'S', r[3] = 'c'; }), "encrypted"},
        {"public half damaged", withRaw([](unsigned char* r) { r[100] ^= 1; }), "damaged"},
        {"seed damaged", withRaw([](unsigned char* r) { r[70] ^= 1; }), "damaged"},
        {"public key file", testing_support::ReadFile(dir.Sub("k.pub")), "not a minisign"},
        {"no comment line", body + "\n", "not a minisign"},
    };
    for (const auto& c : cases) {
        error.clear();
        EXPECT_FALSE(signing::ParseSecretKeyFile(c.text, key, error)) << c.what;
        EXPECT_NE(error.find(c.errorPart), std::string::npos) << c.what << ": " << error;
    }
}

TEST(Minisig, ExpectedFileName) {
    const std::pair<const char*, const char*> cases[] = {
        {"http://h/a/list.txt", "list.txt"},
        {"http://h:8080/a/b/a103.dat?x=1#y", "a103.dat"},
        {"/var/game/download/a103.dat", "a103.dat"},
        {"a103.dat", "a103.dat"},
        {"http://h/a/", ""},
        {"dir/name?with=question", "name?with=question"},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(signing::ExpectedFileName(in), out) << in;
}

}  // namespace
