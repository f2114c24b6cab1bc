// Hashing, the server's signer, its key file and draft signing.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "crypto_python_oracle.h"
#include "ironpost_crypto.h"
#include "ironpost_plugin_bootstrap.h"

namespace ironpost {
namespace {

// The same byte patterns as the Python reference below: every byte value
// appears, zero bytes included, and no period lines up with the 64-byte block.
std::string Pattern(std::size_t size, unsigned mul, unsigned add, bool drift) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * mul + add + (drift ? i >> 8 : 0)) & 0xff);
    }
    return bytes;
}
std::string Data(std::size_t size) {
    return Pattern(size, 167, 13, true);
}
std::string Key(std::size_t size) {
    return Pattern(size, 29, 101, false);
}

constexpr const char* kPythonReference = R"py(
import hashlib, hmac
def data(n): return bytes(((i * 167 + 13 + (i >> 8)) & 0xff) for i in range(n))
def key(n): return bytes(((i * 29 + 101) & 0xff) for i in range(n))
for n in range(301):
    print(hashlib.sha256(data(n)).hexdigest(), hmac.new(key(n % 141), data(n), hashlib.sha256).hexdigest())
for n in (4095, 4096, 4097, 65535, 65536, 65537, 1000003):
    print(hashlib.sha256(data(n)).hexdigest(), hmac.new(key(131), data(n), hashlib.sha256).hexdigest())
)py";

TEST(Sha256KnownAnswers, MatchFips180Vectors) {
    const struct {
        std::string data;
        const char* digest;
    } vectors[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqr"
         "lmnopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        // 55 bytes still take their length in the same block; 56 need a second.
        {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
        {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
        {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"}};
    for (const auto& v : vectors) {
        EXPECT_EQ(Sha256Hex(v.data), v.digest) << "length " << v.data.size();
    }
}

TEST(HmacSha256KnownAnswers, MatchRfc4231Vectors) {
    const std::string long_key(131, '\xaa');
    std::string block_key(64, '\0');  // exactly one block: used as it is, not hashed
    for (std::size_t i = 0; i < block_key.size(); ++i) {
        block_key[i] = static_cast<char>(i);
    }
    const struct {
        std::string key, message;
        const char* mac;
    } vectors[] = {
        {std::string(20, '\x0b'), "Hi There",
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {"Jefe", "what do ya want for nothing?",
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {std::string(20, '\xaa'), std::string(50, '\xdd'),
         "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
        {"\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10\x11\x12\x13\x14\x15"
         "\x16\x17\x18\x19",
         std::string(50, '\xcd'),
         "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
        {long_key, "Test Using Larger Than Block-Size Key - Hash Key First",
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        {long_key,
         "This is a test using a larger than block-size key and a larger than block-size data. "
         "The key needs to be hashed before being used by the HMAC algorithm.",
         "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
        // NIST's keyed-hash example with a key of the block length.
        {block_key, "Sample message for keylen=blocklen",
         "8bb9a1db9806f20df7f77b82138c7914d174d59e13dc4d0169c9057b133e1d62"}};
    for (const auto& v : vectors) {
        EXPECT_EQ(HmacSha256Hex(v.key, v.message), v.mac) << v.message;
    }
    // Case 5 publishes only the first 128 bits.
    EXPECT_EQ(HmacSha256Hex(std::string(20, '\x0c'), "Test With Truncation").substr(0, 32),
              "a3b6167473100ee06e0c796c2955552b");
}

// Lengths 0 to 300 walk the padding across one, two and three blocks, and key
// lengths 0 to 140 cover keys shorter than, equal to and longer than a block.
TEST(HashCrossCheck, MatchesPythonAtEveryLengthAndForLargeInputs) {
    if (!ironpost_test::PythonAvailable()) {
        GTEST_SKIP() << "python3 is not available";
    }
    const std::optional<std::string> output = ironpost_test::RunPython(kPythonReference);
    ASSERT_TRUE(output.has_value());
    const std::vector<std::string> lines = ironpost_test::Lines(*output);
    const std::size_t large[] = {4095, 4096, 4097, 65535, 65536, 65537, 1000003};
    ASSERT_EQ(lines.size(), 301 + std::size(large));
    for (std::size_t n = 0; n <= 300; ++n) {
        ASSERT_EQ(lines[n], Sha256Hex(Data(n)) + " " + HmacSha256Hex(Key(n % 141), Data(n))) << n;
    }
    for (std::size_t i = 0; i < std::size(large); ++i) {
        const std::string data = Data(large[i]);
        EXPECT_EQ(lines[301 + i], Sha256Hex(data) + " " + HmacSha256Hex(Key(131), data)) << i;
    }
}

// The settlement digests come from an independent FNV-1a-64 over key "\n"
// payload; the last one starts with zero digits that must not be dropped.
TEST(Signer, SignsWithItsKeyOnlyWhenThereIsKeyAndPayload) {
    const struct {
        std::string key, payload;
        const char* signature;
    } vectors[] = {{"server-key", "payload", "dev-v1:d5df38df33f1ac50"},
                   {std::string("k\xff\0y", 4), "line=4:text\n", "dev-v1:43c225c9945a6a40"},
                   {"server-key", "payload-16830", "dev-v1:00018f347b8292a7"}};
    for (const auto& v : vectors) {
        EXPECT_EQ(DevelopmentFileSettlementSigner(v.key).SignSettlementPayload(v.payload),
                  v.signature);
    }
    EXPECT_EQ(DevelopmentFileSettlementSigner("Jefe").SignPluginEnvelopePayload(
                  "what do ya want for nothing?"),
              "hmac-sha256:5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");

    const DevelopmentFileSettlementSigner keyless(""), keyed("server-key");
    EXPECT_FALSE(keyless.HasKeyMaterial());
    for (const auto& [signer, payload] : {std::pair{&keyless, "payload"}, {&keyed, ""}}) {
        EXPECT_EQ(signer->SignSettlementPayload(payload), "");
        EXPECT_EQ(signer->SignPluginEnvelopePayload(payload), "");
    }
}

class KeyFile : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/ironpost_keyfile_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string Write(const std::string& name, const std::string& content) {
        std::ofstream(dir_ + "/" + name, std::ios::binary) << content;
        return dir_ + "/" + name;
    }
    std::string dir_;
};

// The key material is observed through the envelope signature, an HMAC under
// exactly those bytes.
std::string KeyOf(const DevelopmentFileSettlementSigner& signer) {
    return signer.SignPluginEnvelopePayload("probe");
}
std::string Expected(const std::optional<std::string>& key) {
    return key ? "hmac-sha256:" + HmacSha256Hex(*key, "probe") : "";
}

TEST_F(KeyFile, KeyIsTheFileBytesLessOneTrailingLineBreak) {
    const struct {
        std::string content;
        std::optional<std::string> key;
    } cases[] = {{"secret", "secret"},
                 {"secret\n", "secret"},
                 {"secret\r\n", "secret"},
                 {"secret\n\n", "secret\n"},
                 {"secret\r", "secret\r"},
                 {"secret\r\r\n", "secret\r"},
                 {" secret \n", " secret "},
                 {std::string("se\0cr\xff\n", 7), std::string("se\0cr\xff", 6)},
                 {"\n\n", "\n"},
                 {"", std::nullopt},
                 {"\n", std::nullopt},
                 {"\r\n", std::nullopt}};
    int index = 0;
    for (const auto& c : cases) {
        const DevelopmentFileSettlementSigner signer =
            LoadDevelopmentFileSettlementSigner(Write(std::to_string(index++), c.content));
        EXPECT_EQ(signer.HasKeyMaterial(), c.key.has_value()) << index;
        EXPECT_EQ(KeyOf(signer), Expected(c.key)) << index;
    }
}

// A FIFO would block the game thread on open and /dev/zero never ends; a
// symbolic link to a regular file is an ordinary key file.
TEST_F(KeyFile, OnlyRegularFilesUpToTheSizeLimitHoldAKey) {
    const std::string fifo = dir_ + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string at_limit(kMaxServerKeyFileBytes, 'k');
    const std::string link = dir_ + "/link";
    ASSERT_EQ(::symlink(Write("target", "linked\n").c_str(), link.c_str()), 0);
    const struct {
        std::string path;
        std::optional<std::string> key;
    } cases[] = {{dir_ + "/missing", std::nullopt},
                 {dir_, std::nullopt},
                 {"", std::nullopt},
                 {fifo, std::nullopt},
                 {"/dev/zero", std::nullopt},
                 {Write("over", at_limit + "k"), std::nullopt},
                 {Write("limit", at_limit), at_limit},
                 {link, "linked"}};
    for (const auto& c : cases) {
        EXPECT_EQ(KeyOf(LoadDevelopmentFileSettlementSigner(c.path)), Expected(c.key)) << c.path;
    }
}

class RecordingSigner : public SettlementSigner {
  public:
    explicit RecordingSigner(std::string signature) : signature_(std::move(signature)) {}
    std::string SignSettlementPayload(const std::string& payload) const override {
        payloads.push_back(payload);
        return signature_;
    }
    mutable std::vector<std::string> payloads;

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

TEST(SignSettlementDraft, SignsTheCanonicalPayloadOfCompleteDraftsOnly) {
    const RoundSettlementDraft draft = CompleteDraft();
    const RecordingSigner signer("dev-v1:0000000000000001");
    const std::optional<RoundSettlementDraft> signed_draft = SignSettlementDraft(draft, signer);
    ASSERT_TRUE(signed_draft.has_value());
    EXPECT_EQ(signer.payloads, std::vector<std::string>{BuildSettlementSigningPayload(draft)});
    EXPECT_EQ(signed_draft->server_signature, "dev-v1:0000000000000001");
    // Every other field is in the payload: an equal payload means an equal draft.
    EXPECT_EQ(BuildSettlementSigningPayload(*signed_draft), signer.payloads[0]);

    // An independent FNV-1a-64 over "server-key\n" and this draft's payload.
    EXPECT_EQ(SignSettlementDraft(draft, DevelopmentFileSettlementSigner("server-key"))
                  .value_or(RoundSettlementDraft{})
                  .server_signature,
              "dev-v1:06a97f13298ed6f4");
    EXPECT_FALSE(SignSettlementDraft(draft, DevelopmentFileSettlementSigner()).has_value());
    EXPECT_FALSE(SignSettlementDraft(draft, RecordingSigner("")).has_value());

    for (std::string RoundSettlementDraft::*field :
         {&RoundSettlementDraft::server_id, &RoundSettlementDraft::session_id,
          &RoundSettlementDraft::map_name_hash, &RoundSettlementDraft::previous_round_hash,
          &RoundSettlementDraft::roster_root, &RoundSettlementDraft::config_hash}) {
        RoundSettlementDraft incomplete = draft;
        (incomplete.*field).clear();
        EXPECT_FALSE(SignSettlementDraft(incomplete, signer).has_value());
    }
    RoundSettlementDraft round_zero = draft;
    round_zero.round_number = 0;
    EXPECT_FALSE(SignSettlementDraft(round_zero, signer).has_value());
    EXPECT_EQ(signer.payloads.size(), 1u) << "an incomplete draft reached the signer";
}

}  // namespace
}  // namespace ironpost
