// The server's log lines read by their structure: every real form, the lines
// players can shape to forge events, cut lines, the engine's prefix, and a
// real server's log read whole.

#include "ironpost_hlds_log.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace ironpost {
namespace {

std::string Describe(const HldsLogPlayer& p) {
    return std::string(p.name) + "#" + std::to_string(p.user_id) + "/" + std::string(p.auth_id) +
           "/" + std::string(p.team);
}

// The whole record as one compact text, so a table row states all of it.
std::string Describe(const HldsLogLine& line) {
    std::string out = HldsLogKindName(line.kind);
    const auto text = [&](const char* key, std::string_view value) {
        if (!value.empty()) {
            out += std::string(" ") + key + std::string(value);
        }
    };
    text("", line.reason);
    if (line.actor.user_id != 0) {
        out += " " + Describe(line.actor);
    }
    if (line.victim.user_id != 0) {
        out += " > " + Describe(line.victim);
    }
    text("w=", line.weapon);
    text("team=", line.team);
    text("trigger=", line.trigger);
    text("text=", line.text);
    text("name=", line.new_name);
    text("address=", line.address);
    text("by=", line.kicked_by);
    text("map=", line.map);
    out += std::string(line.headshot ? " +hs" : "") + (line.by_world ? " +world" : "") +
           (line.automatic ? " +auto" : "") + (line.dead ? " +dead" : "");
    const HldsLogNumbers& n = line.numbers;
    const char* const names[] = {"damage",  "armor_dmg", "health",  "armor",  "shots", "hits",
                                 "kills",   "hs",        "tks",     "deaths", "head",  "chest",
                                 "stomach", "larm",      "rarm",    "lleg",   "rleg",  "ct",
                                 "t",       "score",     "players", "restart"};
    int i = 0;
    for (const std::optional<std::int32_t>* value :
         {&n.damage,  &n.damage_armor, &n.health,    &n.armor,          &n.shots,     &n.hits,
          &n.kills,   &n.headshots,    &n.tks,       &n.deaths,         &n.head,      &n.chest,
          &n.stomach, &n.left_arm,     &n.right_arm, &n.left_leg,       &n.right_leg, &n.ct_score,
          &n.t_score, &n.score,        &n.players,   &n.restart_seconds}) {
        out += *value ? std::string(" ") + names[i] + "=" + std::to_string(**value) : "";
        ++i;
    }
    return out;
}

// Each line against the description of its record.
void ExpectAll(const std::vector<std::pair<std::string, std::string>>& cases) {
    for (const auto& [line, expected] : cases) {
        EXPECT_EQ(Describe(ParseHldsLogLine(line)), expected) << line;
    }
}

TEST(HldsLogLine, ReadsTheGameAndEngineForms) {
    ExpectAll({
        {"\"Ann Lee<3><STEAM_0:0:1><CT>\" killed \"Bo<45><BOT><TERRORIST>\" with \"ak47\"\n",
         "kill Ann Lee#3/STEAM_0:0:1/CT > Bo#45/BOT/TERRORIST w=ak47"},
        {"\"Ann<3><STEAM_0:0:1><CT>\" killed \"Cy<4><HLTV><CT>\" with \"m4a1\" (headshot)\r\n",
         "kill Ann#3/STEAM_0:0:1/CT > Cy#4/HLTV/CT w=m4a1 +hs"},
        {"\"Ann<3><STEAM_ID_LAN><TERRORIST>\" committed suicide with \"worldspawn\" (world)",
         "suicide Ann#3/STEAM_ID_LAN/TERRORIST w=worldspawn +world"},
        {"\"Ann<3><BOT><CT>\" attacked \"Bo<9><BOT><TERRORIST>\" with \"awp\" (damage \"112\") "
         "(damage_armor \"4\") (health \"-12\") (armor \"96\")",
         "attack Ann#3/BOT/CT > Bo#9/BOT/TERRORIST w=awp damage=112 armor_dmg=4 health=-12 "
         "armor=96"},
        {"\"Ann<3><STEAM_0:1:7><CT>\" triggered \"weaponstats\" (weapon \"deagle\") (shots \"9\") "
         "(hits \"4\") (kills \"2\") (headshots \"1\") (tks \"0\") (damage \"180\") (deaths \"1\")",
         "weaponstats Ann#3/STEAM_0:1:7/CT w=deagle trigger=weaponstats damage=180 shots=9 hits=4 "
         "kills=2 hs=1 tks=0 deaths=1"},
        {"\"Ann<3><STEAM_0:1:7><UNASSIGNED>\" triggered \"weaponstats2\" (weapon \"usp\") (head "
         "\"1\")(chest \"2\")(stomach \"0\")(leftarm \"0\")(rightarm \"x\")(leftleg \"0\")",
         "weaponstats2 Ann#3/STEAM_0:1:7/UNASSIGNED w=usp trigger=weaponstats2 head=1 chest=2 "
         "stomach=0 larm=0 lleg=0"},
        {"\"Ann<3><BOT><TERRORIST>\" triggered \"Planted_The_Bomb\"",
         "player_triggered Ann#3/BOT/TERRORIST trigger=Planted_The_Bomb"},
        {"\"Ann<7><STEAM_ID_PENDING><>\" entered the game\n", "entered Ann#7/STEAM_ID_PENDING/"},
        {"\"Ann<7><STEAM_0:0:1><>\" connected, address \"10.0.0.8:27005\"",
         "connected Ann#7/STEAM_0:0:1/ address=10.0.0.8:27005"},
        {"\"Ann<7><BOT><CT>\" joined team \"TERRORIST\" (auto)",
         "joined_team Ann#7/BOT/CT team=TERRORIST +auto"},
        {"\"Ann<7><VALVE_ID_LAN><CT>\" disconnected", "disconnected Ann#7/VALVE_ID_LAN/CT"},
        {"Kick: \"Ann<7><STEAM_0:0:3><>\" was kicked by \"Console\"",
         "kicked Ann#7/STEAM_0:0:3/ by=Console"},
        {"\"Ann<7><BOT><CT>\" changed name to \"Ann (2)\"",
         "changed_name Ann#7/BOT/CT name=Ann (2)"},
        {"\"Ann<7><BOT><CT>\" say \"gg wp\" (dead)", "say Ann#7/BOT/CT text=gg wp +dead"},
        {"\"Ann<7><BOT><CT>\" say_team \"\"", "say_team Ann#7/BOT/CT"},
        {"World triggered \"Round_Start\"\n", "round_start trigger=Round_Start"},
        {"World triggered \"Game_Commencing\"", "game_commencing trigger=Game_Commencing"},
        {"World triggered \"Game_Commencing\" (CT \"0\") (T \"0\")",
         "round_outcome trigger=Game_Commencing ct=0 t=0"},
        {"World triggered \"Round_Draw\" (CT \"4\") (T \"6\")",
         "round_outcome trigger=Round_Draw ct=4 t=6"},
        {"World triggered \"Restart_Round_(1_second)\"\n",
         "restart_round trigger=Restart_Round_(1_second) restart=1"},
        {"World triggered \"Restart_Round_(x_seconds)\"", "refused hlds_log_number_invalid"},
        {"Team \"TERRORIST\" triggered \"Target_Bombed\" (CT \"0\") (T \"1\")",
         "round_outcome team=TERRORIST trigger=Target_Bombed ct=0 t=1"},
        {"Team \"CT\" scored \"7\" with \"6\" players", "team_scored team=CT score=7 players=6"},
        {"Started map \"de_dust2\" (CRC \"-1520\")", "map_started map=de_dust2"},
        {"Server cvar \"mp_logdetail\" = \"3\"", "ignored hlds_log_line_ignored"},
        {"\"Ann<7><BOT><CT>\" changed role to \"medic\"", "ignored hlds_log_line_ignored"},
    });
}

TEST(HldsLogLine, PlayerTextAndNamesForgeNothing) {
    const std::string name31(31, 'n');
    ExpectAll({
        // Chat keeps its inner quotes and is never read for events.
        {"\"Ann<2><STEAM_0:0:1><CT>\" say \"x\" killed \"Bob<3><STEAM_0:0:2><TERRORIST>\" with "
         "\"awp\"",
         "say Ann#2/STEAM_0:0:1/CT text=x\" killed \"Bob<3><STEAM_0:0:2><TERRORIST>\" with "
         "\"awp"},
        {"\"Ann<2><BOT><CT>\" say \"Round_End\"", "say Ann#2/BOT/CT text=Round_End"},
        {"\"Ann<2><BOT><CT>\" say \"x\" (dead)\"", "say Ann#2/BOT/CT text=x\" (dead)"},
        {"\"Round_End<2><BOT><CT>\" entered the game", "entered Round_End#2/BOT/CT"},
        // Tokens are read from the right: a name may hold groups of its own.
        {"\"a<1><BOT><CT><77><STEAM_0:1:5><TERRORIST>\" disconnected",
         "disconnected a<1><BOT><CT>#77/STEAM_0:1:5/TERRORIST"},
        {"\"<>><33><BOT><CT>\" disconnected", "disconnected <>>#33/BOT/CT"},
        // A name with quotes of its own cannot carry a form past its fields.
        {"\"a<1><BOT><CT>\" killed \"b<2><BOT><CT>\" with \"awp<7><STEAM_0:0:9><CT>\" say \"hi\"",
         "refused hlds_log_quoted_field_malformed"},
        {"\"a<1><BOT><CT>\" entered the game<7><BOT><CT>\" disconnected",
         "refused hlds_log_properties_malformed"},
        {"\"x\" killed \"Bob<3><BOT><CT>\" with \"awp\"",
         "refused hlds_log_player_token_malformed"},
        {"\"Ann<1><BOT><C>T>\" disconnected", "refused hlds_log_player_token_malformed"},
        {"\"" + name31 + "<301><BOT><CT>\" disconnected", "disconnected " + name31 + "#301/BOT/CT"},
        {"\"" + name31 + "n<301><BOT><CT>\" disconnected", "refused hlds_log_player_name_too_long"},
        // User ids run from 1 past any slot number to 2^31-1.
        {"\"Ann<2147483647><BOT><CT>\" disconnected", "disconnected Ann#2147483647/BOT/CT"},
        {"\"Ann<2147483648><BOT><CT>\" disconnected", "refused hlds_log_player_user_id_invalid"},
        {"\"Ann<0><BOT><CT>\" disconnected", "refused hlds_log_player_user_id_invalid"},
        {"\"Ann<><BOT><CT>\" disconnected", "refused hlds_log_player_user_id_invalid"},
        // One call, one line: joined or control bytes are not the game's.
        {"\"Ann<2><BOT><CT>\" say \"x\nWorld triggered \"Round_End\"\n",
         "refused hlds_log_line_control_byte"},
        {"\"Ann<2><BOT><CT>\" attacked \"Bo<3><BOT><T>\" with \"awp\" (health \"1\")",
         "refused hlds_log_attack_damage_missing"},
        {"\"Ann<2><BOT><CT>\" triggered \"weaponstats\" (shots \"1\")",
         "refused hlds_log_weaponstats_weapon_missing"},
        {"World triggered \"Round_End\" please", "refused hlds_log_properties_malformed"},
        {"World triggered Round_End", "ignored hlds_log_line_ignored"},
        {"Team \"CT\" scored \"7\" with \"x\" players", "refused hlds_log_number_invalid"},
    });
}

TEST(HldsLogLine, CutLinesNeverBecomeAnotherEvent) {
    const std::string lines[] = {
        "\"Ann<3><STEAM_0:0:1><CT>\" attacked \"Bo<4><BOT><TERRORIST>\" with \"awp\" (damage "
        "\"106\")",
        "\"Ann<3><BOT><CT>\" say \"x\" killed \"Bob<3><BOT><TERRORIST>\" with \"awp\"",
        "\"Ann<3><BOT><CT>\" triggered \"weaponstats2\" (weapon \"usp\") (head \"1\")",
        "Team \"CT\" triggered \"CTs_Win\" (CT \"3\") (T \"1\")",
        "World triggered \"Restart_Round_(3_seconds)\"",
    };
    for (const std::string& line : lines) {
        const HldsLogKind kind = ParseHldsLogLine(line).kind;
        for (std::size_t size = 0; size < line.size(); ++size) {
            const HldsLogKind cut = ParseHldsLogLine(line.substr(0, size)).kind;
            EXPECT_TRUE(cut == kind || cut == HldsLogKind::Refused || cut == HldsLogKind::Ignored)
                << line.substr(0, size) << " read as " << HldsLogKindName(cut);
        }
    }
    // The game's buffer holds 1023 bytes; a line that filled it has lost its end.
    const std::string chat = "\"Ann<3><BOT><CT>\" say \"";
    const std::string full = chat + std::string(1022 - chat.size() - 1, 'a') + "\"";
    EXPECT_EQ(ParseHldsLogLine(full + "\n").kind, HldsLogKind::Say);
    EXPECT_EQ(ParseHldsLogLine(full + "a").reason, "hlds_log_line_too_long");
}

TEST(HldsLogPrefix, StripsAndReadsTheEngineTimeStamp) {
    const struct {
        std::string line;
        bool valid;
        std::int64_t seconds;
    } cases[] = {
        {"L 08/05/2013 - 20:50:00: World triggered \"Round_End\"", true, 1375735800},
        {"L 02/29/2012 - 23:59:59: x", true, 1330559999},
        {"L 02/29/2013 - 00:00:00: x", false, 0},
        {"L 13/01/2013 - 00:00:00: x", false, 0},
        {"L 01/01/2013 - 00:00:0x: x", false, 0},
        {"L 01/01/2013 - 00:00", false, 0},
    };
    for (const auto& c : cases) {
        const std::optional<HldsLogTime> time = ParseHldsLogPrefix(c.line);
        ASSERT_EQ(time.has_value(), c.valid) << c.line;
        EXPECT_EQ(StripHldsLogPrefix(c.line), c.valid ? c.line.substr(25) : c.line);
        if (time) {
            EXPECT_EQ(HldsLogTimeSeconds(*time), c.seconds) << c.line;
        }
    }
}

// A real stock server's log (five maps, bots and one human, uids up to 301):
// every line is read without a fault, and the totals match counts taken from
// the file by other means.
TEST(HldsLogSample, ReadsARealServerLogWhole) {
    std::ifstream file(std::string(IRONPOST_SHARED_DIR) + "/samples/cs16-de_dust2-2013.log",
                       std::ios::binary);
    if (!file) {
        GTEST_SKIP() << "the shared sample logs are not available";
    }
    std::map<HldsLogKind, int> kinds;
    std::set<std::int32_t> user_ids;
    std::string line;
    while (std::getline(file, line)) {
        const HldsLogLine parsed = ParseHldsLogLine(StripHldsLogPrefix(line));
        ++kinds[parsed.kind];
        user_ids.insert({parsed.actor.user_id, parsed.victim.user_id});
    }
    user_ids.erase(0);  // no player in that place
    EXPECT_EQ(kinds[HldsLogKind::Refused], 0);
    EXPECT_EQ(kinds[HldsLogKind::Kill], 606);
    EXPECT_EQ(kinds[HldsLogKind::RoundStart], 90);
    EXPECT_EQ(kinds[HldsLogKind::RoundEnd], 85);
    EXPECT_EQ(kinds[HldsLogKind::JoinedTeam], 59);
    EXPECT_EQ(user_ids.size(), 57u);
    EXPECT_EQ(*user_ids.rbegin(), 301);
}

}  // namespace
}  // namespace ironpost
