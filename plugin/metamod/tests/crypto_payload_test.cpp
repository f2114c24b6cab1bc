// The settlement signing payload and the intake request, byte for byte. The
// expected texts are written out by hand; the backend checks every byte.

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "ironpost_crypto.h"

namespace ironpost {
namespace {

// A draft that exercises every rendering rule: quotes, backslashes and control
// bytes in strings, UTF-8 and 0x7f bytes, negative and extreme slots, zero and
// maximal amounts, empty strings, and two entries where order matters.
RoundSettlementDraft RichDraft() {
    RoundSettlementDraft draft;
    draft.server_id = "srv-1";
    draft.session_id = "sess\"q";
    draft.map_name_hash = "map#de_dust2";
    draft.round_number = 12;
    draft.previous_round_hash = "prev";
    draft.roster_root = "roster";
    draft.config_hash = "cfg";
    draft.server_signature = "dev-v1:0123456789abcdef";
    draft.reward_entries = {{3, "STEAM_0:1:2", 1, 0, 100}, {-1, "ST\x1f\\x", 0, 57, 0}};
    draft.weapon_spend_entries = {{4, "STEAM_0:0:9", "ak47", 0, 12}};
    draft.zolt_transfer_entries = {
        {7, -2, 5, "A\xc3\xa9", "B\tb\n", std::numeric_limits<std::uint64_t>::max(),
         PlayerRole::CounterTerrorist, "n\x01\x7f"},
        {8, 0, std::numeric_limits<std::int32_t>::min(), "x", "", 1, PlayerRole::Terrorist, ""}};
    draft.combat_stats_entries = {{"STEAM_0:1:2", 1, 2, 0, 30, 11, 4}};
    draft.rival_stats_entries = {{"STEAM_0:1:2", "\b\f\r", 3, 4294967296ull, 1}};
    return draft;
}

RoundSettlementDraft EmptyListsDraft() {
    RoundSettlementDraft draft;
    draft.server_id = "s";
    draft.session_id = "e";
    draft.map_name_hash = "m";
    draft.round_number = 1;
    draft.previous_round_hash = "p";
    draft.roster_root = "r";
    draft.config_hash = "c";
    draft.server_signature = "sig";
    return draft;
}

// Raw bytes stay raw in the payload, and each length counts bytes ("A" plus
// the two bytes of U+00E9 is 3). The signature is not part of it.
const std::string kRichPayload =
    "domain=22:ironpost:settlement:v1\n"
    "server_id=5:srv-1\n"
    "session_id=6:sess\"q\n"
    "map_name_hash=12:map#de_dust2\n"
    "round_number=2:12\n"
    "previous_round_hash=4:prev\n"
    "roster_root=6:roster\n"
    "config_hash=3:cfg\n"
    "reward_entries.count=1:2\n"
    "reward_entries.0.slot=1:3\n"
    "reward_entries.0.steam_id=11:STEAM_0:1:2\n"
    "reward_entries.0.kills=1:1\n"
    "reward_entries.0.valid_damage=1:0\n"
    "reward_entries.0.reward_zolt=3:100\n"
    "reward_entries.1.slot=2:-1\n"
    "reward_entries.1.steam_id=5:ST\x1f"
    "\\x\n"
    "reward_entries.1.kills=1:0\n"
    "reward_entries.1.valid_damage=2:57\n"
    "reward_entries.1.reward_zolt=1:0\n"
    "weapon_spend_entries.count=1:1\n"
    "weapon_spend_entries.0.slot=1:4\n"
    "weapon_spend_entries.0.steam_id=11:STEAM_0:0:9\n"
    "weapon_spend_entries.0.weapon_id=4:ak47\n"
    "weapon_spend_entries.0.zolt_cost=1:0\n"
    "weapon_spend_entries.0.round_number=2:12\n"
    "zolt_transfer_entries.count=1:2\n"
    "zolt_transfer_entries.0.intent_id=1:7\n"
    "zolt_transfer_entries.0.from_slot=2:-2\n"
    "zolt_transfer_entries.0.to_slot=1:5\n"
    "zolt_transfer_entries.0.from_steam_id=3:A\xc3\xa9\n"
    "zolt_transfer_entries.0.to_steam_id=4:B\tb\n\n"
    "zolt_transfer_entries.0.amount=20:18446744073709551615\n"
    "zolt_transfer_entries.0.target_role=17:counter_terrorist\n"
    "zolt_transfer_entries.0.menu_nonce=3:n\x01\x7f\n"
    "zolt_transfer_entries.1.intent_id=1:8\n"
    "zolt_transfer_entries.1.from_slot=1:0\n"
    "zolt_transfer_entries.1.to_slot=11:-2147483648\n"
    "zolt_transfer_entries.1.from_steam_id=1:x\n"
    "zolt_transfer_entries.1.to_steam_id=0:\n"
    "zolt_transfer_entries.1.amount=1:1\n"
    "zolt_transfer_entries.1.target_role=9:terrorist\n"
    "zolt_transfer_entries.1.menu_nonce=0:\n"
    "combat_stats_entries.count=1:1\n"
    "combat_stats_entries.0.steam_id=11:STEAM_0:1:2\n"
    "combat_stats_entries.0.kills=1:1\n"
    "combat_stats_entries.0.deaths=1:2\n"
    "combat_stats_entries.0.headshots=1:0\n"
    "combat_stats_entries.0.shots_fired=2:30\n"
    "combat_stats_entries.0.shots_hit=2:11\n"
    "combat_stats_entries.0.rounds_played=1:4\n"
    "rival_stats_entries.count=1:1\n"
    "rival_stats_entries.0.attacker_steam_id=11:STEAM_0:1:2\n"
    "rival_stats_entries.0.victim_steam_id=3:\b\f\r\n"
    "rival_stats_entries.0.hits=1:3\n"
    "rival_stats_entries.0.damage=10:4294967296\n"
    "rival_stats_entries.0.kills=1:1\n";

const std::string kRichBody =
    R"({"requestId":"req\"1","receivedAt":"2024-05-01T12:00:00Z","draft":{)"
    R"("serverId":"srv-1","sessionId":"sess\"q","mapNameHash":"map#de_dust2","roundNumber":12,)"
    R"("previousRoundHash":"prev","rosterRoot":"roster",)"
    R"("rewardEntries":[{"slot":3,"steamId":"STEAM_0:1:2","kills":1,"validDamage":0,"rewardZolt":"100"},)"
    R"({"slot":-1,"steamId":"ST\u001f\\x","kills":0,"validDamage":57,"rewardZolt":"0"}],)"
    R"("weaponSpendEntries":[{"slot":4,"steamId":"STEAM_0:0:9","weaponId":"ak47","zoltCost":"0","roundNumber":12}],)"
    R"("zoltTransferEntries":[{"intentId":7,"fromSteamId":"A)"
    "\xc3\xa9"
    R"(","toSteamId":"B\tb\n","amount":"18446744073709551615","fromUserid":-2,"toUserid":5,)"
    R"("targetRole":"counter_terrorist","menuNonce":"n\u0001)"
    "\x7f"
    R"("},{"intentId":8,"fromSteamId":"x","toSteamId":"","amount":"1","fromUserid":0,)"
    R"("toUserid":-2147483648,"targetRole":"terrorist","menuNonce":""}],)"
    R"("combatStatsEntries":[{"steamId":"STEAM_0:1:2","kills":1,"deaths":2,"headshots":0,)"
    R"("shotsFired":30,"shotsHit":11,"roundsPlayed":4}],)"
    R"("rivalStatsEntries":[{"attackerSteamId":"STEAM_0:1:2","victimSteamId":"\b\f\r","hits":3,)"
    R"("damage":4294967296,"kills":1}],)"
    R"("configHash":"cfg","serverSignature":"dev-v1:0123456789abcdef"}})";

const std::string kRichCanonicalBody =
    R"({"draft":{"configHash":"cfg",)"
    R"("combatStatsEntries":[{"deaths":2,"headshots":0,"kills":1,"roundsPlayed":4,)"
    R"("shotsFired":30,"shotsHit":11,"steamId":"STEAM_0:1:2"}],)"
    R"("zoltTransferEntries":[{"amount":"18446744073709551615","fromSteamId":"A)"
    "\xc3\xa9"
    R"(","fromUserid":-2,"intentId":7,"menuNonce":"n\u0001)"
    "\x7f"
    R"(","targetRole":"counter_terrorist","toSteamId":"B\tb\n","toUserid":5},)"
    R"({"amount":"1","fromSteamId":"x","fromUserid":0,"intentId":8,"menuNonce":"",)"
    R"("targetRole":"terrorist","toSteamId":"","toUserid":-2147483648}],)"
    R"("mapNameHash":"map#de_dust2","previousRoundHash":"prev",)"
    R"("rewardEntries":[{"kills":1,"rewardZolt":"100","slot":3,"steamId":"STEAM_0:1:2","validDamage":0},)"
    R"({"kills":0,"rewardZolt":"0","slot":-1,"steamId":"ST\u001f\\x","validDamage":57}],)"
    R"("rivalStatsEntries":[{"attackerSteamId":"STEAM_0:1:2","damage":4294967296,"hits":3,)"
    R"("kills":1,"victimSteamId":"\b\f\r"}],)"
    R"("rosterRoot":"roster","roundNumber":12,"serverId":"srv-1",)"
    R"("serverSignature":"dev-v1:0123456789abcdef","sessionId":"sess\"q",)"
    R"("weaponSpendEntries":[{"zoltCost":"0","roundNumber":12,"slot":4,"steamId":"STEAM_0:0:9","weaponId":"ak47"}]},)"
    R"("receivedAt":"2024-05-01T12:00:00Z","requestId":"req\"1"})";

// ---------------------------------------------------------------------------

TEST(SettlementSigningPayload, RendersEveryFieldOfARichDraft) {
    EXPECT_EQ(BuildSettlementSigningPayload(RichDraft()), kRichPayload);
}

// The server's signer digests the payload as it is written, never building
// it: every piece must reach the digest in order.
TEST(SettlementSigningPayload, TheSignerDigestsTheTextItWouldBuild) {
    const DevelopmentFileSettlementSigner signer("key\r");
    for (const RoundSettlementDraft& draft : {RichDraft(), EmptyListsDraft()}) {
        EXPECT_EQ(signer.SignSettlementDraftPayload(draft),
                  signer.SignSettlementPayload(BuildSettlementSigningPayload(draft)));
    }
    EXPECT_EQ(DevelopmentFileSettlementSigner().SignSettlementDraftPayload(RichDraft()), "");
}

TEST(SettlementSigningPayload, EmptyListsStillWriteTheirCountLines) {
    EXPECT_EQ(BuildSettlementSigningPayload(EmptyListsDraft()),
              "domain=22:ironpost:settlement:v1\n"
              "server_id=1:s\n"
              "session_id=1:e\n"
              "map_name_hash=1:m\n"
              "round_number=1:1\n"
              "previous_round_hash=1:p\n"
              "roster_root=1:r\n"
              "config_hash=1:c\n"
              "reward_entries.count=1:0\n"
              "weapon_spend_entries.count=1:0\n"
              "zolt_transfer_entries.count=1:0\n"
              "combat_stats_entries.count=1:0\n"
              "rival_stats_entries.count=1:0\n");
}

// ---------------------------------------------------------------------------

TEST(SettlementIntakeRequest, RichDraftBodyAndCanonicalBodyAreByteExact) {
    const std::optional<PluginSettlementHttpRequest> request =
        BuildPluginSettlementIntakeHttpRequest({"req\"1", "2024-05-01T12:00:00Z", RichDraft()});
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->method, "POST");
    EXPECT_EQ(request->path, "/v1/plugin/settlements");
    EXPECT_EQ(request->content_type, "application/json");
    EXPECT_EQ(request->request_id, "req\"1");
    EXPECT_EQ(request->server_id, "srv-1");
    EXPECT_EQ(request->body, kRichBody);
    EXPECT_EQ(request->canonical_payload_body, kRichCanonicalBody);

    const std::optional<PluginSettlementHttpRequest> canonical_only =
        BuildPluginSettlementIntakeHttpRequest({"req\"1", "2024-05-01T12:00:00Z", RichDraft()},
                                               IntakeRequestTexts::CanonicalOnly);
    ASSERT_TRUE(canonical_only.has_value());
    EXPECT_EQ(canonical_only->body, "");
    EXPECT_EQ(canonical_only->canonical_payload_body, kRichCanonicalBody);
}

TEST(SettlementIntakeRequest, EmptyListsBecomeEmptyArrays) {
    const std::optional<PluginSettlementHttpRequest> request =
        BuildPluginSettlementIntakeHttpRequest({"r1", "t", EmptyListsDraft()});
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->body,
              R"({"requestId":"r1","receivedAt":"t","draft":{"serverId":"s","sessionId":"e",)"
              R"("mapNameHash":"m","roundNumber":1,"previousRoundHash":"p","rosterRoot":"r",)"
              R"("rewardEntries":[],"weaponSpendEntries":[],"zoltTransferEntries":[],)"
              R"("combatStatsEntries":[],"rivalStatsEntries":[],"configHash":"c",)"
              R"("serverSignature":"sig"}})");
    EXPECT_EQ(request->canonical_payload_body,
              R"({"draft":{"configHash":"c","combatStatsEntries":[],"zoltTransferEntries":[],)"
              R"("mapNameHash":"m","previousRoundHash":"p","rewardEntries":[],)"
              R"("rivalStatsEntries":[],"rosterRoot":"r","roundNumber":1,"serverId":"s",)"
              R"("serverSignature":"sig","sessionId":"e","weaponSpendEntries":[]},)"
              R"("receivedAt":"t","requestId":"r1"})");
}

TEST(SettlementIntakeRequest, RefusesMissingIdentityTimeStampSignatureOrIncompleteDraft) {
    using Draft = RoundSettlementDraft;
    std::vector<PluginSettlementIntakeRequest> spoiled(
        4, PluginSettlementIntakeRequest{"req-1", "now", RichDraft()});
    spoiled[0].request_id.clear();
    spoiled[1].received_at.clear();
    spoiled[2].draft.server_signature.clear();
    spoiled[3].draft.round_number = 0;
    for (std::string Draft::*field :
         {&Draft::server_id, &Draft::session_id, &Draft::map_name_hash, &Draft::previous_round_hash,
          &Draft::roster_root, &Draft::config_hash}) {
        spoiled.push_back(PluginSettlementIntakeRequest{"req-1", "now", RichDraft()});
        (spoiled.back().draft.*field).clear();
    }
    for (std::size_t i = 0; i < spoiled.size(); ++i) {
        EXPECT_FALSE(BuildPluginSettlementIntakeHttpRequest(spoiled[i]).has_value()) << i;
    }
}

// The bytes the rich draft does not show.
TEST(JsonString, EscapesEveryControlByteAndNothingElse) {
    const struct {
        std::string text;
        const char* json;
    } cases[] = {{"", R"("")"},
                 {std::string(1, '\0'), R"("\u0000")"},
                 {"\x07\x0b\x0e\x1a", R"("\u0007\u000b\u000e\u001a")"},
                 {" /\x80\xff", "\" /\x80\xff\""}};
    for (const auto& c : cases) {
        EXPECT_EQ(JsonString(c.text), c.json) << c.json;
    }
}

// Texts far larger than the writer's blocks and than its size estimate (an
// escaped control byte takes six): a long value comes out whole in every text.
TEST(SettlementTexts, LongValuesComeOutWhole) {
    const std::string control(40000, '\x01');
    std::string escaped;
    for (std::size_t i = 0; i < control.size(); ++i) {
        escaped += "\\u0001";
    }
    EXPECT_EQ(JsonString(control), '"' + escaped + '"');

    RoundSettlementDraft draft = RichDraft();
    draft.reward_entries[0].steam_id = control;
    EXPECT_NE(BuildSettlementSigningPayload(draft).find(
                  "reward_entries.0.steam_id=40000:" + control + "\nreward_entries.0.kills=1:1\n"),
              std::string::npos);
    const std::optional<PluginSettlementHttpRequest> request =
        BuildPluginSettlementIntakeHttpRequest({"r", "t", draft});
    ASSERT_TRUE(request.has_value());
    EXPECT_NE(request->body.find(R"("slot":3,"steamId":")" + escaped + R"(","kills":1,)"),
              std::string::npos);
    EXPECT_NE(request->canonical_payload_body.find(R"("slot":3,"steamId":")" + escaped +
                                                   R"(","validDamage":0})"),
              std::string::npos);
}

}  // namespace
}  // namespace ironpost
