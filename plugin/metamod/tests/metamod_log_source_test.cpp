// The server log as the game hands it to the alert hook: a real server's log
// replayed whole, with the engine keeping its own client table (user ids are
// not slots), and the suppression of log events that repeat direct ones.

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "ironpost_hlds_log.h"
#include "ironpost_metamod_adapter.h"
#include "metamod_glue_support.h"

namespace ironpost::glue_test {
namespace {

std::vector<EngineBufferedGameplayEvent> Events() {
    return IronpostMetamodProcessEntrypoint().Runtime().Host().SnapshotBufferedGameplayEvents();
}

// The engine's side of a replay: it seats clients from the top slot down,
// so that slots and user ids differ, and drops bots at every map load.
class ReplayServer {
  public:
    explicit ReplayServer(LoadedPlugin& plugin) : plugin_(plugin) {}

    int Seat(const HldsLogPlayer& player, bool through_hook) {
        const auto known = slots_.find(player.user_id);
        if (known != slots_.end()) {
            return known->second;
        }
        int slot = kMaxClientSlots;
        while (plugin_.fake.edicts[slot].v.flags != 0) {
            --slot;
        }
        const bool bot = player.auth_id == "BOT";
        const std::string auth = through_hook ? "STEAM_ID_PENDING" : std::string(player.auth_id);
        if (through_hook) {
            plugin_.Connect(slot, player.user_id, auth.c_str(), "player");
        } else {
            plugin_.fake.Connect(slot, player.user_id, auth.c_str(), bot);
        }
        slots_[player.user_id] = slot;
        return slot;
    }

    void Drop(int user_id) {
        const int slot = slots_.at(user_id);
        plugin_.dll.pfnClientDisconnect(&plugin_.fake.edicts[slot]);
        plugin_.fake.Disconnect(slot);
        slots_.erase(user_id);
    }

    void DropBots() {
        for (auto it = slots_.begin(); it != slots_.end();) {
            const int user_id = (it++)->first;
            if ((plugin_.fake.edicts[slots_[user_id]].v.flags & FL_FAKECLIENT) != 0) {
                Drop(user_id);
            }
        }
    }

    int SlotOf(int user_id) const { return slots_.count(user_id) ? slots_.at(user_id) : 0; }

  private:
    LoadedPlugin& plugin_;
    std::map<int, int> slots_;  // user id: slot
};

TEST(MetamodLogSource, ARealServersLogReachesTheRightSlots) {
    std::ifstream file(IRONPOST_SHARED_DIR "/samples/cs16-de_dust2-2013.log");
    if (!file) {
        GTEST_SKIP() << "the shared samples are not available";
    }
    LoadedPlugin plugin;
    ASSERT_EQ(plugin.Load(), 1);
    ReplayServer server(plugin);
    const std::uint32_t first_round = IronpostMetamodLiveRoundNumber();
    std::uint32_t round_starts = 0;
    std::uint32_t kills = 0;
    std::int64_t map_start = 0;
    std::int64_t last_second = -1;
    for (std::string raw; std::getline(file, raw);) {
        const std::optional<HldsLogTime> time = ParseHldsLogPrefix(raw);
        const std::string text(StripHldsLogPrefix(raw));
        const HldsLogLine line = ParseHldsLogLine(text);
        if (line.kind == HldsLogKind::MapLoading) {
            server.DropBots();  // the engine drops bots at a level change
            map_start = time ? HldsLogTimeSeconds(*time) : 0;
        }
        const std::int64_t second = time ? HldsLogTimeSeconds(*time) - map_start : 0;
        if (second != last_second) {
            plugin.Frame(1.0f + static_cast<float>(second));
            last_second = second;
        }
        switch (line.kind) {
            case HldsLogKind::Connected:
                server.Seat(line.actor, true);
                continue;
            case HldsLogKind::Validated:
                plugin.fake.auth_ids[server.Seat(line.actor, false)] =
                    std::string(line.actor.auth_id);
                continue;
            case HldsLogKind::Kicked:
            case HldsLogKind::MapLoading:
            case HldsLogKind::MapStarted:
            case HldsLogKind::Ignored:
                continue;  // the engine's own lines never reach the hook
            case HldsLogKind::Disconnected:
                server.Seat(line.actor, false);
                plugin.Log(text);
                server.Drop(line.actor.user_id);
                continue;
            default:
                break;
        }
        if (line.actor.user_id != 0) {
            server.Seat(line.actor, false);
        }
        if (line.victim.user_id != 0) {
            server.Seat(line.victim, false);
        }
        plugin.Log(text);
        if (line.kind == HldsLogKind::RoundStart) {
            ++round_starts;
        } else if (line.kind == HldsLogKind::Kill) {
            ++kills;
            const EngineBufferedGameplayEvent newest = Events().back();
            EXPECT_EQ(newest.type, "death") << text;
            EXPECT_EQ(newest.slot, server.SlotOf(line.actor.user_id)) << text;
            EXPECT_EQ(newest.peer_slot, server.SlotOf(line.victim.user_id)) << text;
        } else if (line.kind == HldsLogKind::JoinedTeam) {
            const std::optional<ConnectedPlayer> player =
                LoadedPlugin::Player(server.SlotOf(line.actor.user_id));
            ASSERT_TRUE(player) << text;
            EXPECT_EQ(player->role, ParseEnginePlayerRole(std::string(line.team))) << text;
        }
    }
    EXPECT_GT(kills, 100u);
    EXPECT_EQ(IronpostMetamodLiveRoundNumber() - first_round, round_starts);

    // The research notes' hostile lines, against the players still seated.
    const std::size_t before = Events().size();
    const std::string human = "\"Blah<900><STEAM_0:0:67410624><CT>\"";
    const std::string victim = "\"Target<901><BOT><TERRORIST>\"";
    server.Seat(*ParseHldsLogPlayer("Blah<900><STEAM_0:0:67410624><CT>"), false);
    server.Seat(*ParseHldsLogPlayer("Target<901><BOT><TERRORIST>"), false);
    plugin.Log(human + " say \"x\" killed " + victim + " with \"awp\"");
    plugin.Log(human + " say_team \"World triggered \\\"Round_End\\\"\"");
    plugin.Log("\"Round_End\" say \"hi\"");
    EXPECT_EQ(Events().size(), before);
    // A name carrying another player's groups is read from the right.
    const int human_slot = server.Seat(*ParseHldsLogPlayer("B<9><STEAM_0:0:6><CT>"), false);
    const int impostor =
        server.Seat(*ParseHldsLogPlayer("B<9><STEAM_0:0:6><CT><902><BOT><CT>"), false);
    plugin.Log("\"B<9><STEAM_0:0:6><CT><902><BOT><CT>\" killed " + victim + " with \"awp\"");
    EXPECT_EQ(Events().back().slot, impostor);
    EXPECT_NE(impostor, human_slot);
    // A user id nobody holds credits nobody.
    plugin.Log("\"Ghost<4242><STEAM_0:1:5><CT>\" killed " + victim + " with \"awp\"");
    EXPECT_STREQ(ironpost_metamod_sdk_last_alert_message_reason(),
                 "hlds_log_player_unknown_user_id_ignored");
}

TEST(MetamodLogSource, ALogEventRepeatingADirectOneIsSuppressedWithinTheWindow) {
    LoadedPlugin plugin;
    ASSERT_EQ(plugin.Load(), 1);
    plugin.Connect(3, 30, "STEAM_0:0:3", "Alice");
    plugin.Connect(5, 50, "STEAM_0:0:5", "Bob");
    const std::string kill =
        "\"Alice<30><STEAM_0:0:3><CT>\" killed \"Bob<50><STEAM_0:0:5><TERRORIST>\" with \"usp\"";
    const struct {
        int events_between;
        const char* reason;
    } cases[] = {{0, "hlds_log_kill_suppressed_primary"},
                 {16, "hlds_log_kill_suppressed_primary"},
                 {17, "hlds_log_kill"}};
    for (const auto& c : cases) {
        IronpostMetamodDeathMsg(3, 5, 1);
        for (int i = 0; i < c.events_between; ++i) {
            RecordPrimaryEvent(MetamodEventSourceCategory::Team, "direct-sdk", "other");
        }
        const std::uint64_t sequence = IronpostMetamodEventSourceSequence();
        plugin.Log(kill);
        EXPECT_STREQ(ironpost_metamod_sdk_last_alert_message_reason(), c.reason)
            << c.events_between;
        // A suppression is not an event of its own.
        if (c.events_between <= 16) {
            EXPECT_EQ(IronpostMetamodEventSourceSequence(), sequence);
        }
    }
    const std::string json = ironpost_metamod_sdk_event_sources_json();
    EXPECT_EQ(json.rfind("{\"combat\":{\"fallbackCount\":", 0), 0u);
    EXPECT_NE(json.find("\"lastSource\":\"alert-fallback\",\"primary\":\"alert-fallback\","
                        "\"suppressedFallbackCount\":"),
              std::string::npos);
    EXPECT_NE(json.find(",\"playerLifecycle\":{"), std::string::npos);
    EXPECT_NE(json.find("\"primary\":\"game-dll\""), std::string::npos);
    EXPECT_NE(json.find(",\"serverCommands\":{\"budgetWindowMs\":"), std::string::npos);
    const std::string tail =
        ",\"userMessages\":{\"liveDispatch\":false,\"mode\":\"disabled-safe-mode\"}}";
    EXPECT_EQ(json.substr(json.size() - tail.size()), tail);
}

}  // namespace
}  // namespace ironpost::glue_test
