// Hashing, the server's signer, its key file and draft signing.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "crypto_python_oracle.h"
#include "ironpost_crypto.h"
#include "ironpost_plugin_bootstrap.h"

namespace ironpost {
namespace {

using ironpost_test::Lines;
using ironpost_test::PythonAvailable;
using ironpost_test::RunPython;

// The same byte patterns as the Python reference below: every byte value
// appears, zero bytes included, and no period lines up with the 64-byte block.
std::string Pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 167 + 13 + (i >> 8)) & 0xff);
    }
    return bytes;
}

std::string PatternKey(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 29 + 101) & 0xff);
    }
    return bytes;
}

constexpr const char* kPythonReference = R"py(
import hashlib, hmac
def pattern(n): return bytes(((i * 167 + 13 + (i >> 8)) & 0xff) for i in range(n))
def key(n): return bytes(((i * 29 + 101) & 0xff) for i in range(n))
data = pattern(300)
for n in range(301):
    print(hashlib.sha256(data[:n]).hexdigest(),
          hmac.new(key(n % 141), data[:n], hashlib.sha256).hexdigest())
for n in (4095, 4096, 4097, 65535, 65536, 65537, 1000003):
    big = pattern(n)
    print(hashlib.sha256(big).hexdigest(), hmac.new(key(131), big, hashlib.sha256).hexdigest())
)py";

// ---------------------------------------------------------------------------

struct HashVector {
    const char* name;
    std::string data;
    const char* digest;
};

TEST(Sha256KnownAnswers, MatchFips180Vectors) {
    const std::vector<HashVector> vectors = {
        {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"two blocks", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"896 bits",
         "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqr"
         "lmnopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {"one million a", std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const HashVector& vector : vectors) {
        EXPECT_EQ(Sha256Hex(vector.data), vector.digest) << vector.name;
    }
}

struct HmacVector {
    const char* name;
    std::string key;
    std::string message;
    const char* mac;
};

TEST(HmacSha256KnownAnswers, MatchRfc4231Vectors) {
    const std::string long_key(131, '\xaa');
    const std::vector<HmacVector> vectors = {
        {"case 1", std::string(20, '\x0b'), "Hi There",
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {"case 2", "Jefe", "what do ya want for nothing?",
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {"case 3", std::string(20, '\xaa'), std::string(50, '\xdd'),
         "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
        {"case 4",
         "\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10\x11\x12\x13\x14\x15"
         "\x16\x17\x18\x19",
         std::string(50, '\xcd'),
         "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
        {"case 6 (131-byte key)", long_key,
         "Test Using Larger Than Block-Size Key - Hash Key First",
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        {"case 7 (131-byte key, long data)", long_key,
         "This is a test using a larger than block-size key and a larger than block-size data. "
         "The key needs to be hashed before being used by the HMAC algorithm.",
         "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
    };
    for (const HmacVector& vector : vectors) {
        EXPECT_EQ(HmacSha256Hex(vector.key, vector.message), vector.mac) << vector.name;
    }
    // Case 5 publishes only the first 128 bits.
    EXPECT_EQ(HmacSha256Hex(std::string(20, '\x0c'), "Test With Truncation").substr(0, 32),
              "a3b6167473100ee06e0c796c2955552b");
}

// Every length from 0 to 300 walks the padding across one, two and three
// blocks (55/56/63/64 bytes and their multiples), and key lengths 0 to 140
// cover keys shorter than, equal to and longer than the HMAC block.
TEST(HashCrossCheck, MatchesPythonHashlibAtEveryLengthAndForLargeInputs) {
    if (!PythonAvailable()) {
        GTEST_SKIP() << "python3 is not available";
    }
    const std::optional<std::string> output = RunPython(kPythonReference);
    ASSERT_TRUE(output.has_value());
    const std::vector<std::string> lines = Lines(*output);
    const std::vector<std::size_t> large_sizes = {4095, 4096, 4097, 65535, 65536, 65537, 1000003};
    ASSERT_EQ(lines.size(), 301 + large_sizes.size());

    const std::string data = Pattern(300);
    for (std::size_t n = 0; n <= 300; ++n) {
        const std::string message = data.substr(0, n);
        const std::string expected =
            Sha256Hex(message) + " " + HmacSha256Hex(PatternKey(n % 141), message);
        ASSERT_EQ(lines[n], expected) << "length " << n << ", key length " << n % 141;
    }
    for (std::size_t i = 0; i < large_sizes.size(); ++i) {
        const std::string message = Pattern(large_sizes[i]);
        const std::string expected =
            Sha256Hex(message) + " " + HmacSha256Hex(PatternKey(131), message);
        EXPECT_EQ(lines[301 + i], expected) << "length " << large_sizes[i];
    }
}

// ---------------------------------------------------------------------------

struct SignatureVector {
    const char* name;
    std::string key;
    std::string payload;
    const char* signature;
};

// Expected values come from an independent FNV-1a-64 over key "\n" payload.
TEST(SettlementPayloadSignature, IsKeyedFnv1aRenderedAsTwentyThreeCharacters) {
    const std::vector<SignatureVector> vectors = {
        {"plain", "server-key", "payload", "dev-v1:d5df38df33f1ac50"},
        {"key with zero and high bytes", std::string("k\xff\0y", 4), "line=4:text\n",
         "dev-v1:43c225c9945a6a40"},
        {"digest with leading zero digits", "server-key", "payload-16830",
         "dev-v1:00018f347b8292a7"},
    };
    for (const SignatureVector& vector : vectors) {
        const DevelopmentFileSettlementSigner signer(vector.key);
        EXPECT_EQ(signer.SignSettlementPayload(vector.payload), vector.signature) << vector.name;
    }
}

TEST(SettlementPayloadSignature, EnvelopeSignatureIsPrefixedHmacSha256) {
    const DevelopmentFileSettlementSigner signer("Jefe");
    EXPECT_EQ(signer.SignPluginEnvelopePayload("what do ya want for nothing?"),
              "hmac-sha256:5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
}

TEST(SettlementPayloadSignature, NothingIsSignedWithoutKeyOrPayload) {
    const DevelopmentFileSettlementSigner keyless("");
    EXPECT_FALSE(keyless.HasKeyMaterial());
    EXPECT_EQ(keyless.SignSettlementPayload("payload"), "");
    EXPECT_EQ(keyless.SignPluginEnvelopePayload("payload"), "");

    const DevelopmentFileSettlementSigner keyed("server-key");
    EXPECT_EQ(keyed.SignSettlementPayload(""), "");
    EXPECT_EQ(keyed.SignPluginEnvelopePayload(""), "");
}

// ---------------------------------------------------------------------------

class KeyFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/ironpost_keyfile_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        for (const std::string& path : created_) {
            std::remove(path.c_str());
        }
        ::rmdir(dir_.c_str());
    }

    std::string Track(const std::string& name) {
        created_.push_back(dir_ + "/" + name);
        return created_.back();
    }

    std::string WriteFile(const std::string& name, const std::string& content) {
        const std::string path = Track(name);
        std::ofstream file(path, std::ios::binary);
        file << content;
        return path;
    }

    std::string dir_;
    std::vector<std::string> created_;
};

// The key material is observed through the envelope signature, which is
// HMAC under exactly those bytes.
void ExpectKeyMaterial(const DevelopmentFileSettlementSigner& signer, const std::string& key,
                       const std::string& context) {
    ASSERT_TRUE(signer.HasKeyMaterial()) << context;
    EXPECT_EQ(signer.SignPluginEnvelopePayload("probe"),
              "hmac-sha256:" + HmacSha256Hex(key, "probe"))
        << context;
}

struct KeyFileCase {
    const char* name;
    std::string content;
    std::optional<std::string> key;
};

TEST_F(KeyFileTest, KeyIsTheFileBytesLessOneTrailingLineBreak) {
    const std::vector<KeyFileCase> cases = {
        {"bare key", "secret", std::string("secret")},
        {"line feed", "secret\n", std::string("secret")},
        {"carriage return and line feed", "secret\r\n", std::string("secret")},
        {"two line feeds keep one", "secret\n\n", std::string("secret\n")},
        {"lone carriage return stays", "secret\r", std::string("secret\r")},
        {"only one carriage return goes", "secret\r\r\n", std::string("secret\r")},
        {"spaces are key bytes", " secret \n", std::string(" secret ")},
        {"zero and high bytes", std::string("se\0cr\xff\n", 7), std::string("se\0cr\xff", 6)},
        {"a file of two line feeds is a one-byte key", "\n\n", std::string("\n")},
        {"empty file", "", std::nullopt},
        {"only a line feed", "\n", std::nullopt},
        {"only carriage return and line feed", "\r\n", std::nullopt},
    };
    int index = 0;
    for (const KeyFileCase& c : cases) {
        const std::string path = WriteFile("key" + std::to_string(index++), c.content);
        const DevelopmentFileSettlementSigner signer = LoadDevelopmentFileSettlementSigner(path);
        if (c.key) {
            ExpectKeyMaterial(signer, *c.key, c.name);
        } else {
            EXPECT_FALSE(signer.HasKeyMaterial()) << c.name;
            EXPECT_EQ(signer.SignSettlementPayload("payload"), "") << c.name;
        }
    }
}

TEST_F(KeyFileTest, UnusableFilesYieldNoKey) {
    EXPECT_FALSE(LoadDevelopmentFileSettlementSigner(dir_ + "/missing.key").HasKeyMaterial());
    EXPECT_FALSE(LoadDevelopmentFileSettlementSigner(dir_).HasKeyMaterial()) << "directory";
    EXPECT_FALSE(LoadDevelopmentFileSettlementSigner("").HasKeyMaterial()) << "empty path";
}

// A FIFO would block the game thread forever on open and a character device
// like /dev/zero would never end; neither may be read.
TEST_F(KeyFileTest, SpecialFilesAreRefusedWithoutBlocking) {
    const std::string fifo = Track("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(LoadDevelopmentFileSettlementSigner(fifo).HasKeyMaterial());
    EXPECT_FALSE(LoadDevelopmentFileSettlementSigner("/dev/zero").HasKeyMaterial());
}

TEST_F(KeyFileTest, OversizedFilesAreRefused) {
    const std::string at_limit(kMaxServerKeyFileBytes, 'k');
    ExpectKeyMaterial(LoadDevelopmentFileSettlementSigner(WriteFile("limit", at_limit)), at_limit,
                      "file at the limit");
    EXPECT_FALSE(
        LoadDevelopmentFileSettlementSigner(WriteFile("over", at_limit + "k")).HasKeyMaterial());
}

TEST_F(KeyFileTest, SymlinkToKeyFileIsFollowed) {
    const std::string target = WriteFile("target", "linked-key\n");
    const std::string link = Track("link");
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    ExpectKeyMaterial(LoadDevelopmentFileSettlementSigner(link), "linked-key", "symlink");
}

// ---------------------------------------------------------------------------

class RecordingSigner : public SettlementSigner {
  public:
    explicit RecordingSigner(std::string signature) : signature_(std::move(signature)) {}
    std::string SignSettlementPayload(const std::string& payload) const override {
        payloads_.push_back(payload);
        return signature_;
    }
    mutable std::vector<std::string> payloads_;

  private:
    std::string signature_;
};

RoundSettlementDraft CompleteDraft() {
    RoundSettlementDraft draft;
    draft.server_id = "srv";
    draft.session_id = "sess";
    draft.map_name_hash = "map";
    draft.round_number = 3;
    draft.previous_round_hash = "prev";
    draft.roster_root = "roster";
    draft.config_hash = "cfg";
    draft.reward_entries.push_back({2, "STEAM_0:0:1", 1, 40, 100});
    draft.server_signature = "stale";
    return draft;
}

TEST(SignSettlementDraft, SignsTheCanonicalPayloadAndChangesOnlyTheSignature) {
    const RoundSettlementDraft draft = CompleteDraft();
    const RecordingSigner signer("dev-v1:0000000000000001");
    const std::optional<RoundSettlementDraft> signed_draft = SignSettlementDraft(draft, signer);
    ASSERT_TRUE(signed_draft.has_value());
    ASSERT_EQ(signer.payloads_.size(), 1u);
    EXPECT_EQ(signer.payloads_[0], BuildSettlementSigningPayload(draft));
    EXPECT_EQ(signed_draft->server_signature, "dev-v1:0000000000000001");

    // Every other field is part of the payload, so an unchanged payload means
    // an unchanged draft.
    EXPECT_EQ(BuildSettlementSigningPayload(*signed_draft), BuildSettlementSigningPayload(draft));
}

// The expected signature is an independent FNV-1a-64 over "server-key\n" and
// the hand-written payload of this draft.
TEST(SignSettlementDraft, ServerSignerSignsWithItsKey) {
    const RoundSettlementDraft draft = CompleteDraft();
    const std::optional<RoundSettlementDraft> signed_draft =
        SignSettlementDraft(draft, DevelopmentFileSettlementSigner("server-key"));
    ASSERT_TRUE(signed_draft.has_value());
    EXPECT_EQ(signed_draft->server_signature, "dev-v1:06a97f13298ed6f4");
    EXPECT_FALSE(SignSettlementDraft(draft, DevelopmentFileSettlementSigner()).has_value());
}

TEST(SignSettlementDraft, IncompleteDraftsAreNeverSigned) {
    struct Case {
        const char* name;
        void (*spoil)(RoundSettlementDraft&);
    };
    const std::vector<Case> cases = {
        {"server_id", [](RoundSettlementDraft& d) { d.server_id.clear(); }},
        {"session_id", [](RoundSettlementDraft& d) { d.session_id.clear(); }},
        {"map_name_hash", [](RoundSettlementDraft& d) { d.map_name_hash.clear(); }},
        {"previous_round_hash", [](RoundSettlementDraft& d) { d.previous_round_hash.clear(); }},
        {"roster_root", [](RoundSettlementDraft& d) { d.roster_root.clear(); }},
        {"config_hash", [](RoundSettlementDraft& d) { d.config_hash.clear(); }},
        {"round_number 0", [](RoundSettlementDraft& d) { d.round_number = 0; }},
    };
    for (const Case& c : cases) {
        RoundSettlementDraft draft = CompleteDraft();
        c.spoil(draft);
        const RecordingSigner signer("dev-v1:0000000000000001");
        EXPECT_FALSE(SignSettlementDraft(draft, signer).has_value()) << c.name;
        EXPECT_TRUE(signer.payloads_.empty()) << c.name << ": signer was asked";
    }
}

TEST(SignSettlementDraft, EmptySignatureMeansNoSignedDraft) {
    const RecordingSigner signer("");
    EXPECT_FALSE(SignSettlementDraft(CompleteDraft(), signer).has_value());
    EXPECT_EQ(signer.payloads_.size(), 1u);
}

}  // namespace
}  // namespace ironpost
