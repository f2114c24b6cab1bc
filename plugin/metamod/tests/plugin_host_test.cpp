#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ironpost_clock.h"
#include "ironpost_plugin_host.h"
#include "plugin_host_test_support.h"

namespace ironpost::session_test {
namespace {

class HostTest : public ::testing::Test {
  protected:
    void SetUp() override {
        host_.SetClock([this] { return clock_.NowMs(); });
        clock_.Update(engine_seconds_);
    }
    void Attach(const std::string& extra = "") {
        const HostLifecycleResult attached = host_.Attach(WriteHostConfig(dir_, extra), cvars_);
        ASSERT_TRUE(attached.status.ok) << ::testing::PrintToString(attached.status.errors);
        sink_.Take();
    }
    // Connects a player (a bot without an id) and confirms the team as the game does.
    void Seat(std::int32_t slot, const std::string& steam_id, const std::string& team) {
        const EnginePlayerAuthorizedEvent player{slot, "p" + std::to_string(slot), steam_id,
                                                 steam_id.empty()};
        ASSERT_TRUE(host_.OnClientAuthorized(player).event.accepted);
        ASSERT_TRUE(host_.OnClientTeamChanged({slot, team}).event.accepted);
    }
    HostCommandResult Say(std::int32_t slot, const std::string& text) {
        return host_.HandleCommand({slot, "say", {text}, 0});
    }
    HostCommandResult Console(std::int32_t slot, const std::string& command, Lines args = {}) {
        return host_.HandleCommand({slot, command, std::move(args), 0});
    }
    // Moves the engine's map time (it restarts at a map change) without a frame.
    void MapTime(double seconds) { clock_.Update(engine_seconds_ = seconds); }
    HostTickResult Frame(double seconds) {
        MapTime(seconds);
        return host_.OnFrameTick({clock_.NowMs()});
    }
    static EngineRoundEndEvent RoundEnd(const std::string& request_id) {
        return {0,           request_id, "2024-01-01T00:00:00Z", "srv-1", "session-7", "map-hash",
                "prev-hash", "roster",   "config-hash"};
    }
    const PluginRuntime& Runtime() const { return host_.Session().Runtime(); }
    RoundPhase Phase() const { return Runtime().CurrentRoundState().phase; }
    std::size_t PostsTo(const std::string& path) const {
        return static_cast<std::size_t>(
            std::count_if(client_.requests.begin(), client_.requests.end(),
                          [&](const BackendHttpPostRequest& r) { return PostedTo(r, path); }));
    }
    // The last settlement sent names the round abandoned under `label`, at
    // the wall time its request id ends with.
    void ExpectAbandonedRound(const std::string& label, std::uint32_t round) {
        const BackendHttpPostRequest& request = client_.requests.back();
        const std::string id = RequestId(request);
        const std::string prefix = "cs16-alpha-" + label + "-srv-1-" + std::to_string(round) + "-";
        ASSERT_EQ(id.rfind(prefix, 0), 0U) << id;
        const std::string t = id.substr(prefix.size());
        const std::string session = "cs16-alpha-" + label + ":srv-1:" + t;
        const std::string payload = EnvelopePayload(request.body);
        for (const auto& [member, value] : std::vector<std::pair<std::string, std::string>>{
                 {"sessionId", session},
                 {"previousRoundHash", session + ":round:" + std::to_string(round - 1)},
                 {"rosterRoot",
                  "cs16-alpha-" + label + "-roster:srv-1:" + t + ":" + std::to_string(round)}}) {
            EXPECT_NE(payload.find("\"" + member + "\":\"" + value + "\""), std::string::npos)
                << member << " " << value << " in " << payload;
        }
    }

    TempDir dir_;
    ScriptedHttpClient client_;
    RecordingSink sink_;
    RecordingCvarRegistry cvars_;
    MonotonicClock clock_;
    double engine_seconds_ = 100.0;
    MetamodPluginHost host_{client_, sink_};
};

TEST_F(HostTest, RefusedSettlementsAreRetriedAfterTheirBackOffAcrossAMapChange) {
    EXPECT_EQ(Frame(100.0).reason, "plugin_session_not_loaded");
    Attach(
        "ironpost_backend_retry_max_attempts 3\nironpost_backend_retry_base_delay_ms 3000\n"
        "ironpost_backend_retry_max_delay_ms 10000\n");
    EXPECT_EQ(Frame(100.0).reason, "no_pending_settlement_retry");
    // The first post of every settlement finds the backend busy.
    client_.answer = [&](const BackendHttpPostRequest& request) {
        if (SettlementAttempts(client_.requests, RequestId(request)).size() == 1) {
            return BackendHttpResponse{503, RejectedReplyBody(503, "busy"), ""};
        }
        return AnswerSettlements(request, "queued");
    };
    Seat(1, "STEAM_0:1:1001", "TERRORIST");
    Seat(2, "STEAM_0:0:2002", "CT");
    ASSERT_TRUE(host_.OnRoundStart({1}).event.accepted);
    ASSERT_TRUE(host_.OnKill({1, 2, false}).event.accepted);

    // The server console settles by hand at map time 100 s.
    EXPECT_EQ(Console(0, "cssettle").command.reason, "alpha_round_submit_rejected");
    const std::string first = RequestId(client_.requests.back());
    EXPECT_EQ(Frame(101.0).reason, "settlement_retry_not_due");
    // A map change restarts the map time; the back-off still ends 3 s after the refusal.
    EXPECT_EQ(Frame(1.0).reason, "settlement_retry_not_due");
    sink_.Take();
    EXPECT_EQ(Frame(2.0).reason, "settlement_retry_submitted");
    EXPECT_EQ(SettlementAttempts(client_.requests, first), (Lines{"1", "2"}));
    EXPECT_EQ(sink_.Take(),
              (Lines{"Iron-Post: round settlement submitted: queued",
                     "ironpost: round settlement submitted with relay status queued"}));

    // While the next round's retry waits, the first settlement is polled.
    MapTime(3.0);
    ASSERT_TRUE(host_.OnRoundStart({2}).event.accepted);
    EXPECT_EQ(host_.OnRoundEnd(RoundEnd("r-2")).event.reason, "round_end_rejected");
    EXPECT_EQ(Frame(5.0).reason, "settlement_status_polled");
    EXPECT_EQ(PostsTo("/v1/plugin/submission-status"), 1U);

    sink_.Take();
    const HostLifecycleResult detached = host_.Detach();
    const Lines dropped = {"journaled unresolved settlement " + first,
                           "journaled pending settlement retry r-2"};
    EXPECT_EQ(detached.status.warnings, dropped);
    EXPECT_EQ(
        sink_.Take(),
        (Lines{"ironpost: lifecycle detached: Metamod plugin detached; " + dropped[0] + "; " +
                   dropped[1],
               "ironpost: settlement " + first + " is no longer followed: the session was unloaded",
               "ironpost: settlement r-2 is no longer followed: the session was unloaded"}));
}

TEST_F(HostTest, ThreeHumansBuyAndSendThenOneWatchesAndNothingIsLost) {
    Attach("ironpost_currency_decimals 2\n");
    client_.answer = [](const BackendHttpPostRequest& request) {
        return AnswerSettlements(
            request, PostedTo(request, "/v1/plugin/settlements") ? "submitted" : "included");
    };
    Seat(1, "STEAM_0:1:1001", "TERRORIST");
    Seat(2, "STEAM_0:0:2002", "CT");
    Seat(3, "STEAM_0:1:3003", "TERRORIST");
    ASSERT_TRUE(host_.OnRoundStart({1}).event.accepted);
    for (const std::int32_t slot : {1, 2, 3}) {
        EXPECT_EQ(host_.OnWeaponPurchase({slot, "ak47", 250, 0}).event.reason, "paid_spend");
    }
    EXPECT_EQ(sink_.Take().front(), "Iron-Post: purchase allowed: paid_spend ak47 for 2.50 ZOLT");

    // The amount comes with the command, the recipient from the menu.
    EXPECT_EQ(Say(1, "/zolt 0").command.reason, "invalid_transfer_amount");
    ASSERT_TRUE(Say(1, "/zolt 0.05").active_menu);
    EXPECT_TRUE(Console(1, "menuselect", {"1"}).command.accepted);
    EXPECT_EQ(sink_.Take(),
              (Lines{"Iron-Post: Command rejected: invalid_transfer_amount",
                     "ironpost: command rejected for slot 1: invalid_transfer_amount",
                     "Iron-Post Zolt\nSend 0.05 ZOLT to:\n1. #2 p2 (counter_terrorist)\n2. #3 p3 "
                     "(terrorist)\n0. Close",
                     "ironpost: rendered menu for slot 1", "Iron-Post: queued 0.05 ZOLT to slot 2",
                     "ironpost: queued zolt transfer 1 from slot 1 to slot 2"}));

    const HostEventResult ended = host_.OnRoundEnd(RoundEnd("r-1"));
    ASSERT_TRUE(ended.event.accepted);
    const RoundSettlementDraft& draft = *ended.event.settlement->draft;
    EXPECT_EQ(draft.weapon_spend_entries.size(), 3U);
    ASSERT_EQ(draft.zolt_transfer_entries.size(), 1U);
    EXPECT_EQ(draft.zolt_transfer_entries[0].amount, 5U);
    // One of three humans goes to watch between rounds: the round stays
    // settled and its inclusion still lands.
    ASSERT_TRUE(host_.OnClientTeamChanged({3, "SPECTATOR"}).event.accepted);
    EXPECT_EQ(Phase(), RoundPhase::SettlementPending);
    EXPECT_EQ(Frame(102.0).reason, "settlement_status_polled");
    EXPECT_EQ(Phase(), RoundPhase::ChainIncluded);
}

TEST_F(HostTest, APlayerCanNeitherDriveRoundsNorFloodTheBackend) {
    Attach();
    client_.answer = [](const BackendHttpPostRequest& r) { return AnswerSettlements(r, "queued"); };
    Seat(1, "STEAM_0:1:1001", "TERRORIST");
    Seat(2, "STEAM_0:0:2002", "CT");
    ASSERT_TRUE(host_.OnRoundStart({3}).event.accepted);
    EXPECT_EQ(Console(1, "cssettle").command.reason, "operator_command_refused");
    EXPECT_EQ(Console(1, "csround", {"1"}).command.reason, "operator_command_refused");
    HostCommandResult zolt;
    for (int i = 0; i < 100; ++i) {
        MapTime(100.0 + i * 0.01);
        zolt = Say(1, "/zolt");
    }
    EXPECT_EQ(PostsTo("/v1/plugin/player-balances"), 1U);
    EXPECT_EQ(PostsTo("/v1/plugin/settlements"), 0U);
    // No refresh ever succeeded: the panel does not claim the wallet is unlinked.
    EXPECT_NE(zolt.command.panel->body.find("\nBalance unavailable\n"), std::string::npos);
    EXPECT_EQ(Runtime().CurrentRoundState().round_number, 3U);
    EXPECT_EQ(Phase(), RoundPhase::RoundActive);
    EXPECT_EQ(host_.OnRoundEnd(RoundEnd("r-3")).event.reason, "round_submitted");
}

TEST_F(HostTest, APendingIdentityEarnsOnlyOnceValidatedAndUnderTheRealId) {
    Attach();
    client_.answer = [](const BackendHttpPostRequest& r) { return AnswerSettlements(r, "queued"); };
    Seat(1, "STEAM_ID_PENDING", "TERRORIST");
    Seat(2, "STEAM_0:0:2002", "CT");
    Seat(3, "STEAM_0:1:3003", "CT");
    ASSERT_TRUE(host_.OnRoundStart({1}).event.accepted);
    const HostEventResult refused = host_.OnKill({1, 2, false});
    EXPECT_FALSE(refused.event.accepted);
    EXPECT_EQ(refused.event.errors, Lines{"placeholder_identity"});
    EXPECT_EQ(refused.notifications_published, 0U);
    (void)Say(1, "/zolt");
    EXPECT_EQ(PostsTo("/v1/plugin/player-balances"), 1U);

    const std::uint64_t join_sequence = Runtime().FindPlayer(1)->join_sequence;
    EXPECT_TRUE(host_.OnClientIdentityValidated({1, "p1", "STEAM_0:1:1001", false}).event.accepted);
    EXPECT_EQ(Runtime().FindPlayer(1)->role, PlayerRole::Terrorist);
    EXPECT_EQ(Runtime().FindPlayer(1)->join_sequence, join_sequence);
    sink_.Take();
    EXPECT_TRUE(host_.OnKill({1, 2, false}).event.accepted);
    EXPECT_EQ(sink_.Take().front(), "Iron-Post: +100 ZOLT earned - round finalizes on-chain");
    const HostEventResult ended = host_.OnRoundEnd(RoundEnd("r-1"));
    ASSERT_TRUE(ended.event.accepted);
    ASSERT_EQ(ended.event.settlement->draft->reward_entries.size(), 1U);
    EXPECT_EQ(ended.event.settlement->draft->reward_entries[0].steam_id, "STEAM_0:1:1001");
    for (const BackendHttpPostRequest& request : client_.requests) {
        EXPECT_EQ(request.body.find("STEAM_ID_PENDING"), std::string::npos) << request.url;
    }
}

TEST_F(HostTest, TheOnlyHumansConfirmedSwitchAndDepartureSettleTheRound) {
    Attach();
    client_.answer = [](const BackendHttpPostRequest& r) { return AnswerSettlements(r, "queued"); };
    Seat(9, "", "CT");
    EXPECT_EQ(host_.OnRoundStart({1}).event.reason, "empty_server_round_start_ignored");
    Seat(1, "STEAM_0:1:1001", "TERRORIST");
    ASSERT_EQ(host_.OnRoundStart({1}).event.reason, "round_started");

    // Requests change nothing: the game may refuse them, and menuselect
    // also answers its radio and buy menus.
    EXPECT_FALSE(Console(1, "jointeam", {"2"}).command.handled);
    EXPECT_FALSE(Console(1, "menuselect", {"2"}).command.handled);
    EXPECT_EQ(Runtime().FindPlayer(1)->role, PlayerRole::Terrorist);
    EXPECT_TRUE(client_.requests.empty());
    EXPECT_EQ(host_.OnClientTeamChanged({1, "CT"}).event.reason,
              "single_human_team_switch_round_reset");
    ExpectAbandonedRound("single-human-team-switch", 1);
    EXPECT_EQ(Phase(), RoundPhase::Idle);

    ASSERT_EQ(host_.OnRoundStart({2}).event.reason, "round_started");
    sink_.Take();
    EXPECT_EQ(host_.OnClientDisconnect({1}).event.reason, "client_disconnected");
    ExpectAbandonedRound("empty", 2);
    EXPECT_EQ(sink_.Take().front(), "Iron-Post: round settlement submitted: queued");
    EXPECT_EQ(Phase(), RoundPhase::Idle);
    const std::vector<EngineBufferedGameplayEvent> events = host_.SnapshotBufferedGameplayEvents();
    EXPECT_EQ(std::count_if(events.begin(), events.end(),
                            [](const auto& event) { return event.type == "round_start"; }),
              2);
}

TEST_F(HostTest, MenuKeysReachOnlyTheMenuOnThePlayersScreen) {
    Attach();
    Seat(1, "STEAM_0:1:1001", "TERRORIST");
    Seat(2, "STEAM_0:0:2002", "CT");
    struct Case {
        std::string opened_with;
        bool shown;
        std::function<void()> meanwhile;
        std::vector<std::pair<std::string, std::string>> keys;  // key, reason
    };
    const std::function<void()> nothing = [] {};
    const std::vector<Case> cases = {
        {"/crypto",
         true,
         nothing,
         {{"2", "crypto_menu_action_rendered"}, {"1", "menu_key_not_offered"}}},
        {"/crypto", true, nothing, {{"5", "menu_key_not_offered"}, {"1", "not_ironpost_command"}}},
        {"/crypto", true, nothing, {{"0", "crypto_menu_closed"}, {"0", "not_ironpost_command"}}},
        {"/crypto", true, [&] { MapTime(engine_seconds_ + 15); }, {{"1", "not_ironpost_command"}}},
        {"/crypto", true, [&] { (void)host_.OnRoundStart({1}); }, {{"1", "not_ironpost_command"}}},
        {"/crypto", false, nothing, {{"1", "not_ironpost_command"}}},
        {"/zolt 5", true, nothing, {{"9", "menu_key_not_offered"}}},
        {"/zolt 5", true, nothing, {{"0", "menu_closed"}, {"1", "not_ironpost_command"}}},
    };
    for (const Case& c : cases) {
        sink_.menu_shown = c.shown;
        EXPECT_EQ(Say(1, c.opened_with).active_menu.has_value(), c.shown) << c.opened_with;
        c.meanwhile();
        for (const auto& [key, reason] : c.keys) {
            const HostCommandResult pressed = Console(1, "menuselect", {key});
            EXPECT_EQ(pressed.command.reason, reason) << c.opened_with << " key " << key;
            EXPECT_EQ(pressed.command.handled,
                      reason != "not_ironpost_command" && reason != "menu_key_not_offered");
        }
    }
}

}  // namespace
}  // namespace ironpost::session_test
