#include <cstdint>
#include <string>
#include <vector>

#include "fake_engine.h"
#include "ironpost_metamod_sdk_extractors.h"

namespace ironpost {
namespace {

using testing_support::FakeEngine;
using Bytes = std::vector<std::uint8_t>;

struct Outcome {
    bool extracted;
    std::string status;
    std::string last_status;  // what the kind's exported status function says afterwards
};

template <typename Result>
Outcome Of(const Result& result, const char* (*last_status)()) {
    return {result.extracted, result.status, last_status()};
}

const char* const kNone = nullptr;

TEST(MetamodSdkExtractors, EveryValueAndPayloadCheckHasItsStatus) {
    const auto team = ironpost_metamod_sdk_last_team_info_extraction_status;
    const auto death = ironpost_metamod_sdk_last_death_msg_extraction_status;
    const auto damage = ironpost_metamod_sdk_last_damage_extraction_status;
    const auto start = ironpost_metamod_sdk_last_round_start_extraction_status;
    const auto win = ironpost_metamod_sdk_last_round_win_extraction_status;
    const auto buy = ironpost_metamod_sdk_last_weapon_purchase_extraction_status;
    const auto round_end = [](const char* request, const char* roster_root) {
        return Of(IronpostExtractMetamodSdkRoundEnd(5, request, "unix-ms:1", "srv", "ses", "map",
                                                    "prev", roster_root, ""),
                  ironpost_metamod_sdk_last_round_end_extraction_status);
    };
    const auto team_message = [&](Bytes b) {
        return Of(IronpostExtractMetamodSdkTeamInfoUserMessage(b.data(), b.size()), team);
    };
    const auto death_message = [&](Bytes b) {
        return Of(IronpostExtractMetamodSdkDeathMsgUserMessage(b.data(), b.size()), death);
    };
    const auto damage_message = [&](Bytes b) {
        return Of(IronpostExtractMetamodSdkDamageUserMessage(b.data(), b.size()), damage);
    };
    // clang-format off
    const std::vector<std::pair<const char*, Outcome>> cases = {
        {"sdk_team_info_extraction_invalid_slot", Of(IronpostExtractMetamodSdkTeamInfo(0, "CT"), team)},
        {"sdk_team_info_extraction_empty_team", Of(IronpostExtractMetamodSdkTeamInfo(1, kNone), team)},
        {"sdk_team_info_extracted", Of(IronpostExtractMetamodSdkTeamInfo(1, "CT"), team)},
        {"sdk_death_msg_extraction_invalid_killer", Of(IronpostExtractMetamodSdkDeathMsg(0, 2, 0), death)},
        {"sdk_death_msg_extraction_invalid_victim", Of(IronpostExtractMetamodSdkDeathMsg(2, -1, 0), death)},
        {"sdk_death_msg_extraction_self_kill", Of(IronpostExtractMetamodSdkDeathMsg(4, 4, 0), death)},
        {"sdk_death_msg_extracted", Of(IronpostExtractMetamodSdkDeathMsg(1, 2, 0), death)},
        {"sdk_damage_extraction_invalid_attacker", Of(IronpostExtractMetamodSdkDamage(0, 2, 9), damage)},
        {"sdk_damage_extraction_invalid_victim", Of(IronpostExtractMetamodSdkDamage(2, 0, 9), damage)},
        {"sdk_damage_extraction_self_damage", Of(IronpostExtractMetamodSdkDamage(2, 2, 9), damage)},
        {"sdk_damage_extraction_zero_damage", Of(IronpostExtractMetamodSdkDamage(1, 2, 0), damage)},
        {"sdk_damage_extracted", Of(IronpostExtractMetamodSdkDamage(1, 2, 9), damage)},
        {"sdk_round_start_extraction_invalid_round", Of(IronpostExtractMetamodSdkRoundStart(0), start)},
        {"sdk_round_start_extracted", Of(IronpostExtractMetamodSdkRoundStart(1), start)},
        {"sdk_round_win_extraction_invalid_slot", Of(IronpostExtractMetamodSdkRoundWin(0), win)},
        {"sdk_round_win_extracted", Of(IronpostExtractMetamodSdkRoundWin(3), win)},
        {"sdk_weapon_purchase_extraction_invalid_slot", Of(IronpostExtractMetamodSdkWeaponPurchase(0, "ak47", 1, 1), buy)},
        {"sdk_weapon_purchase_extraction_empty_weapon", Of(IronpostExtractMetamodSdkWeaponPurchase(1, "", 1, 1), buy)},
        {"sdk_weapon_purchase_extracted", Of(IronpostExtractMetamodSdkWeaponPurchase(1, "ak47", 0, 0), buy)},
        {"sdk_buy_setup_extracted", Of(IronpostExtractMetamodSdkBuySetup(), ironpost_metamod_sdk_last_buy_setup_extraction_status)},
        {"sdk_round_end_extraction_missing_request_id", round_end(kNone, "root")},
        {"sdk_round_end_extraction_missing_roster_root", round_end("req", "")},
        {"sdk_round_end_extraction_missing_config_hash", round_end("req", "root")},
        {"sdk_team_info_message_null_payload", Of(IronpostExtractMetamodSdkTeamInfoUserMessage(nullptr, 4), team)},
        {"sdk_team_info_message_short_payload", team_message({3})},
        {"sdk_team_info_message_unterminated_team", team_message({3, 'C', 'T'})},
        {"sdk_team_info_extraction_invalid_slot", team_message({0, 'C', 'T', 0})},
        {"sdk_team_info_extraction_empty_team", team_message({3, 0, 'C', 'T'})},
        {"sdk_death_msg_message_null_payload", Of(IronpostExtractMetamodSdkDeathMsgUserMessage(nullptr, 3), death)},
        {"sdk_death_msg_message_short_payload", death_message({1, 2})},
        {"sdk_death_msg_extraction_self_kill", death_message({5, 5, 1})},
        {"sdk_damage_message_null_payload", Of(IronpostExtractMetamodSdkDamageUserMessage(nullptr, 4), damage)},
        {"sdk_damage_message_short_payload", damage_message({1, 2, 30})},  // all three fields, still short
        {"sdk_damage_extraction_zero_damage", damage_message({1, 2, 0, 30})},
    };
    // clang-format on
    for (const auto& [expected, outcome] : cases) {
        EXPECT_EQ(outcome.status, expected);
        EXPECT_EQ(outcome.last_status, expected);
        EXPECT_EQ(outcome.extracted, std::string(expected).find("_extracted") != std::string::npos);
    }
}

TEST(MetamodSdkExtractors, PayloadsAndValuesLandInTheirFields) {
    const Bytes team = {3, 'C', 'T', 0, 'x'};
    const auto team_info = IronpostExtractMetamodSdkTeamInfoUserMessage(team.data(), team.size());
    EXPECT_EQ(team_info.event.slot, 3);
    EXPECT_EQ(team_info.event.team_name, "CT");

    // The game's own DeathMsg: killer, victim, headshot, weapon name.
    const Bytes death = {7, 2, 1, 'a', 'k', '4', '7', 0};
    const auto kill = IronpostExtractMetamodSdkDeathMsgUserMessage(death.data(), death.size());
    EXPECT_EQ(kill.event.killer_slot, 7);
    EXPECT_EQ(kill.event.victim_slot, 2);
    EXPECT_TRUE(kill.event.headshot);

    const Bytes hurt = {1, 2, 250, 0};
    const auto damage = IronpostExtractMetamodSdkDamageUserMessage(hurt.data(), hurt.size());
    EXPECT_EQ(damage.event.attacker_slot, 1);
    EXPECT_EQ(damage.event.victim_slot, 2);
    EXPECT_EQ(damage.event.damage, 250u);

    const auto purchase = IronpostExtractMetamodSdkWeaponPurchase(4, "awp", 4750, 9);
    EXPECT_EQ(purchase.event.weapon_id, "awp");
    EXPECT_EQ(purchase.event.zolt_cost, 4750u);
    EXPECT_EQ(purchase.event.round_number, 9u);

    const auto end = IronpostExtractMetamodSdkRoundEnd(77, "a", "b", "c", "d", "e", "f", "g", "h");
    const MetamodSdkRoundEndEvent& e = end.event;
    EXPECT_EQ(e.now_ms, 77u);
    EXPECT_EQ(e.request_id + e.received_at + e.server_id + e.session_id + e.map_name_hash +
                  e.previous_round_hash + e.roster_root + e.config_hash,
              "abcdefgh");
}

TEST(MetamodSdkExtractors, ConnectReadsTheEngineIdentityAndTheBotFlag) {
    FakeEngine fake;
    EXPECT_EQ(IronpostExtractMetamodSdkClientConnect(&fake.edicts[1], "x").status,
              "sdk_client_connect_extraction_engine_imports_not_validated");
    fake.Capture();
    EXPECT_EQ(IronpostExtractMetamodSdkClientConnect(nullptr, "x").status,
              "sdk_client_connect_extraction_null_edict");
    EXPECT_EQ(IronpostExtractMetamodSdkClientConnect(&fake.edicts[0], "x").status,
              "sdk_client_connect_extraction_invalid_slot");
    EXPECT_STREQ(ironpost_metamod_sdk_last_slot_extraction_status(),
                 "sdk_slot_extraction_invalid_slot");

    const auto bot = IronpostExtractMetamodSdkClientConnect(fake.Connect(2, 3, "", true), "Bot");
    EXPECT_EQ(bot.status, "sdk_client_connect_extracted");
    EXPECT_EQ(bot.event.slot, 2);
    EXPECT_EQ(bot.event.steam_id, "BOT");
    EXPECT_TRUE(bot.event.is_bot);

    EXPECT_EQ(IronpostExtractMetamodSdkClientConnect(fake.Connect(3, 4, nullptr), "P").status,
              "sdk_client_connect_extraction_missing_steam_id");
    const auto human =
        IronpostExtractMetamodSdkClientConnect(fake.Connect(4, 5, "STEAM_0:0:4"), nullptr);
    EXPECT_EQ(human.event.steam_id, "STEAM_0:0:4");
    EXPECT_EQ(human.event.name, "");
    EXPECT_FALSE(human.event.is_bot);
    EXPECT_STREQ(ironpost_metamod_sdk_last_client_connect_extraction_status(),
                 "sdk_client_connect_extracted");

    fake.engine.pfnGetPlayerAuthId = nullptr;  // very old engines lack it
    fake.Capture();
    EXPECT_EQ(IronpostExtractMetamodSdkClientConnect(&fake.edicts[4], "P").status,
              "sdk_client_connect_extraction_engine_imports_not_validated");
}

TEST(MetamodSdkExtractors, CommandsKeepEmptyArgumentsAndTheEnginesRawText) {
    FakeEngine fake;
    fake.Capture();
    edict_t* player = fake.Connect(1, 2, "STEAM_0:0:1");
    struct Case {
        std::vector<std::string> argv;
        std::optional<std::string> raw;
        const char* status;
        std::vector<std::string> args;
        std::string raw_args;
    };
    for (const Case& c : std::vector<Case>{
             {{"zolt"}, std::nullopt, "sdk_command_extracted", {}, ""},
             {{"say", "", "gg"}, "\"\" gg", "sdk_command_extracted", {"", "gg"}, "\"\" gg"},
             {{}, std::nullopt, "sdk_command_extraction_empty_command", {}, ""},
             {{"", "x"}, "x", "sdk_command_extraction_empty_command", {}, ""},
         }) {
        fake.argv = c.argv;
        fake.args = c.raw;
        const MetamodSdkCommandExtractionResult result =
            IronpostExtractMetamodSdkClientCommand(player);
        EXPECT_EQ(result.status, c.status);
        EXPECT_STREQ(ironpost_metamod_sdk_last_command_extraction_status(), c.status);
        EXPECT_EQ(result.event.args, c.args);
        EXPECT_EQ(result.raw_args, c.raw_args);
        EXPECT_EQ(result.argc, result.extracted ? static_cast<int>(c.argv.size()) : 0);
        if (result.extracted) {
            EXPECT_EQ(result.event.command, c.argv[0]);
            EXPECT_EQ(result.event.slot, 1);
        }
    }
    EXPECT_EQ(IronpostExtractMetamodSdkClientCommand(nullptr).status,
              "sdk_command_extraction_null_edict");
    fake.engine.pfnCmd_Args = nullptr;
    fake.Capture();
    EXPECT_EQ(IronpostExtractMetamodSdkClientCommand(player).status,
              "sdk_command_extraction_engine_imports_not_validated");
}

}  // namespace
}  // namespace ironpost
