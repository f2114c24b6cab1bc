// User messages rebuilt from their begin, write and end calls, and the round
// candidates read from them: only a message's key counts, never a player's
// text, and the game's own Damage and ResetHUD messages are no kills and no
// round boundaries.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ironpost_metamod_sdk_user_messages.h"
#include "metamod_glue_support.h"

namespace ironpost::glue_test {
namespace {

// The fake engine's ids of the game's messages.
constexpr int kTeamInfo = 86, kDeathMsg = 83, kDamage = 71, kTextMsg = 77, kSendAudio = 100,
              kResetHud = 79;

// A payload of a leading byte and texts, each with its terminating zero.
std::vector<std::uint8_t> Payload(std::uint8_t first, const std::vector<std::string>& texts) {
    std::vector<std::uint8_t> bytes{first};
    for (const std::string& text : texts) {
        bytes.insert(bytes.end(), text.begin(), text.end());
        bytes.push_back(0);
    }
    return bytes;
}

void Send(int id, const std::vector<std::uint8_t>& payload) {
    IronpostMetamodUserMessage(id, payload.data(), static_cast<unsigned>(payload.size()));
}

std::string Reason() {
    return ironpost_metamod_sdk_last_user_message_reason();
}

class UserMessages : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(plugin.Load(), 1);
        plugin.Frame(1.0f);  // the game's ids are looked up
        ASSERT_EQ(ironpost_metamod_sdk_user_message_id("DeathMsg"), kDeathMsg);
        plugin.Connect(3, 30, "STEAM_0:0:3", "Alice");
        plugin.Connect(5, 50, "STEAM_0:0:5", "Bob");
    }
    LoadedPlugin plugin;
};

TEST_F(UserMessages, CaptureRebuildsMessagesWithinTheEngineLimit) {
    const auto last_event = [] {
        return IronpostMetamodProcessEntrypoint()
            .Runtime()
            .Host()
            .SnapshotBufferedGameplayEvents()
            .back();
    };
    IronpostMetamodUserMessageEnd();
    EXPECT_STREQ(ironpost_metamod_sdk_user_message_capture_status(),
                 "sdk_user_message_capture_end_without_begin");
    IronpostMetamodUserMessageWriteByte(1);
    EXPECT_STREQ(ironpost_metamod_sdk_user_message_capture_status(),
                 "sdk_user_message_capture_write_without_begin");

    // A capture that never saw its End is dropped by the next Begin.
    IronpostMetamodUserMessageBegin(kTextMsg);
    IronpostMetamodUserMessageWriteShort(0x1234);
    EXPECT_EQ(ironpost_metamod_sdk_user_message_capture_length(), 2u);
    IronpostMetamodUserMessageBegin(kDeathMsg);
    EXPECT_STREQ(ironpost_metamod_sdk_user_message_capture_status(),
                 "sdk_user_message_capture_restarted");
    EXPECT_EQ(ironpost_metamod_sdk_user_message_capture_length(), 0u);
    for (int byte : {3, 5, 1}) {
        IronpostMetamodUserMessageWriteByte(byte);
    }
    IronpostMetamodUserMessageWriteString("m4a1");
    IronpostMetamodUserMessageEnd();
    EXPECT_EQ(ironpost_metamod_sdk_user_message_capture_length(), 0u);
    EXPECT_EQ(last_event().type, "death");
    EXPECT_EQ(last_event().slot, 3);
    EXPECT_EQ(last_event().peer_slot, 5);
    EXPECT_EQ(last_event().value, 1u);  // headshot

    IronpostMetamodUserMessageBegin(kTeamInfo);
    IronpostMetamodUserMessageWriteByte(3);
    IronpostMetamodUserMessageWriteString("CT");
    IronpostMetamodUserMessageEnd();
    EXPECT_EQ(LoadedPlugin::Player(3)->role, PlayerRole::CounterTerrorist);

    // Nothing longer than the engine's 192 bytes is kept or decoded.
    IronpostMetamodUserMessageBegin(kDeathMsg);
    for (int i = 0; i < 300; ++i) {
        IronpostMetamodUserMessageWriteByte(5);
    }
    EXPECT_EQ(ironpost_metamod_sdk_user_message_capture_length(), 192u);
    EXPECT_STREQ(ironpost_metamod_sdk_user_message_capture_status(),
                 "sdk_user_message_capture_payload_capped");
    IronpostMetamodUserMessageEnd();
    EXPECT_EQ(Reason(), "sdk_user_message_capture_over_limit_dropped");
    EXPECT_EQ(last_event().type, "team");
}

TEST_F(UserMessages, RoundCandidatesComeOnlyFromAMessagesKey) {
    IronpostMetamodTeamInfo(3, "CT");
    IronpostMetamodRoundStart(1);
    const std::uint32_t rounds = IronpostMetamodLiveRoundNumber();
    const struct {
        int id;
        std::vector<std::uint8_t> payload;
        const char* reason;
    } cases[] = {
        // Player names and chat among a message's arguments are data.
        {kTextMsg, Payload(3, {"#Game_radio", "CTwin", "Fire in the hole!"}),
         "sdk_user_message_round_candidate_ignored"},
        {kTextMsg, Payload(3, {"#Cstrike_Chat_All", "Round_End terrorists_win"}),
         "sdk_user_message_round_candidate_ignored"},
        {kTextMsg, Payload(4, {"Terrorists_Win_now"}), "sdk_user_message_round_candidate_ignored"},
        // Spawning players are no round boundary; the game's Damage names no attacker.
        {kResetHud, {0}, "sdk_user_message_reset_hud_ignored"},
        {kResetHud, {0}, "sdk_user_message_reset_hud_ignored"},
        {kDamage, {0, 40, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0}, "sdk_user_message_game_damage_ignored"},
        {kTextMsg, Payload(4, {"#Terrorists_Win"}), "text_msg_round_end_candidate_scheduled"},
        {kSendAudio, Payload(0, {"%!MRAD_ctwin"}), "send_audio_round_end_candidate_scheduled"},
    };
    for (const auto& c : cases) {
        ClearPendingAutoSettlement();
        Send(c.id, c.payload);
        EXPECT_EQ(Reason(), c.reason) << c.id << " " << c.payload.size();
        EXPECT_EQ(PendingAutoSettlementDueMs() != 0,
                  std::string(c.reason).find("scheduled") != std::string::npos)
            << c.reason;
    }
    EXPECT_EQ(IronpostMetamodLiveRoundNumber(), rounds);
    EXPECT_EQ(ironpost_metamod_sdk_last_damage_reason(), std::string("sdk_damage_not_called"));

    // A key that starts a round does so once, settling the running round first.
    Send(kTextMsg, Payload(4, {"#Game_Commencing"}));
    EXPECT_EQ(Reason(), "text_msg_round_start_candidate");
    EXPECT_EQ(IronpostMetamodLiveRoundNumber(), rounds + 1);
    Send(kTextMsg, Payload(4, {"#Game_Commencing"}));
    EXPECT_EQ(Reason(), "round_start_candidate_debounced");
}

}  // namespace
}  // namespace ironpost::glue_test
