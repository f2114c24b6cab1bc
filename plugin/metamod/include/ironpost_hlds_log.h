#pragma once

// One line of the game server's log turned into a typed record. The parser
// reads bytes only: the alert-message hook hands it the game's text (no
// "L date - time: " prefix, usually ending in "\n"), a replay hands it file
// lines after StripHldsLogPrefix.
//
// Lines are read by their structure, never by searching for words: a
// player's verb is taken only right after the actor token's closing quote,
// round events only from `World triggered "..."` lines and team outcomes only
// from `Team "X" triggered "Y"` lines. Chat text is data and is never parsed
// further, so a player cannot forge a kill or a round end by what they say or
// by how they name themselves.
//
// Every text field of a record is a view into the line passed in: copy what
// must outlive that buffer. Parsing never allocates and never throws.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace ironpost {

// The game formats each line into 1024 bytes; longer text cannot be the
// game's own, and a line that filled the buffer has lost its end.
inline constexpr std::size_t kHldsLogLineBufferBytes = 1024;
// The engine keeps player names in 32 bytes, terminator included.
inline constexpr std::size_t kHldsLogNameMaxBytes = 31;

enum class HldsLogKind : std::int32_t {
    Ignored = 0,  // not a form this parser reads
    Refused,      // started like a known form but broke it; see `reason`
    Kill,         // "P" killed "V" with "W"
    Suicide,      // "P" committed suicide with "W", `by_world` for "(world)"
    Attack,       // "P" attacked "V" with "W" (damage "D") (damage_armor ..) (health ..) (armor ..)
    WeaponStats,  // "P" triggered "weaponstats" (weapon "W") (shots "n") ...
    WeaponStats2,     // "P" triggered "weaponstats2" (weapon "W") (head "n") ...
    PlayerTriggered,  // "P" triggered "X" (bomb, hostage and VIP events, ...)
    Entered,          // "P" entered the game
    Connected,        // "P" connected, address "A" (engine line, not seen by the hook)
    Validated,        // "P" STEAM USERID validated (engine line)
    JoinedTeam,       // "P" joined team "T"; the token holds the old team
    Disconnected,     // "P" disconnected
    Kicked,           // Kick: "P" was kicked by "K" (engine line)
    ChangedName,      // "P" changed name to "N"; the token holds the old name
    Say,              // "P" say "text"
    SayTeam,          // "P" say_team "text"
    RoundStart,       // World triggered "Round_Start"
    RoundEnd,         // World triggered "Round_End"
    GameCommencing,   // World triggered "Game_Commencing"
    RestartRound,     // World triggered "Restart_Round_(N_seconds)"
    RoundOutcome,  // Team "X" triggered "Y" (CT "n") (T "m"), or World triggered "Y" (CT ..) (T ..)
    WorldTriggered,  // any other World triggered "X"
    TeamScored,      // Team "X" scored "n" with "p" players
    MapLoading,      // Loading map "M" (engine line)
    MapStarted,      // Started map "M" (engine line)
};

// Lower-case name of a kind ("kill", "round_end", ...); "ignored" for anything else.
[[nodiscard]] const char* HldsLogKindName(HldsLogKind kind);

// A quoted player token "Name<user id><auth id><team>", read from the right.
struct HldsLogPlayer {
    std::string_view name;     // may contain '<', '>', '%', spaces and UTF-8
    std::int32_t user_id = 0;  // the engine's connection counter (1..2^31-1), NOT a slot
    std::string_view auth_id;  // "STEAM_0:1:2", "BOT", "STEAM_ID_LAN", "HLTV", ... as written
    std::string_view team;     // "CT", "TERRORIST", "SPECTATOR", "" when unassigned, ...
};

// Numbers a line carries. A value that is absent, or that is not a decimal
// fitting 32 bits, stays empty. Only health and armor may be negative.
struct HldsLogNumbers {
    std::optional<std::int32_t> damage;  // attacked (health damage), weaponstats
    std::optional<std::int32_t> damage_armor, health, armor;         // attacked
    std::optional<std::int32_t> shots, hits, kills, headshots, tks;  // weaponstats
    std::optional<std::int32_t> deaths;                              // also the legacy "death"
    std::optional<std::int32_t> head, chest, stomach, left_arm, right_arm, left_leg,
        right_leg;                                  // weaponstats2
    std::optional<std::int32_t> ct_score, t_score;  // round outcomes: wins after this round
    std::optional<std::int32_t> score, players;     // Team "X" scored
    std::optional<std::int32_t> restart_seconds;    // Restart_Round_(N_seconds)
};

struct HldsLogLine {
    HldsLogKind kind = HldsLogKind::Ignored;
    std::string_view reason;     // why a line was ignored or refused; empty when read
    HldsLogPlayer actor;         // the player the line is about (the killer, the attacker)
    HldsLogPlayer victim;        // killed and attacked lines
    std::string_view weapon;     // kill, suicide, attack, weaponstats
    std::string_view team;       // joined team's new team; the X of Team "X" lines
    std::string_view trigger;    // the name of a "triggered" line
    std::string_view text;       // say and say_team text, byte for byte
    std::string_view new_name;   // changed name
    std::string_view address;    // connected
    std::string_view kicked_by;  // kicked ("Console" or a name)
    std::string_view map;        // map lines
    bool headshot = false;       // a "(headshot)" group (CS 1.6 itself never writes one)
    bool by_world = false;       // "(world)": killed by the world, not by a player
    bool automatic = false;      // "(auto)": an auto-balance move or an idle kick
    bool dead = false;           // chat sent while dead: "say "text" (dead)"
    HldsLogNumbers numbers;
};

// Reads one log line. A trailing "\n" (or "\r\n") is dropped; a line that
// still holds a control byte, or that has 1023 bytes or more, is refused.
[[nodiscard]] HldsLogLine ParseHldsLogLine(std::string_view line);

// Reads a player token without its quotes; nothing when it is not one.
[[nodiscard]] std::optional<HldsLogPlayer> ParseHldsLogPlayer(std::string_view token);

// The engine's "L mm/dd/yyyy - hh:mm:ss: " prefix, in the server's local time.
struct HldsLogTime {
    std::int32_t year = 0, month = 0, day = 0;
    std::int32_t hour = 0, minute = 0, second = 0;
};

// The line without its engine prefix; a line without a valid one is returned as it is.
[[nodiscard]] std::string_view StripHldsLogPrefix(std::string_view line);

// The date and time of the prefix; nothing when the line has no valid prefix.
[[nodiscard]] std::optional<HldsLogTime> ParseHldsLogPrefix(std::string_view line);

// Seconds since 1970-01-01 00:00:00 counting the local time as if it were UTC,
// so that two prefixes of one log can be ordered and subtracted.
[[nodiscard]] std::int64_t HldsLogTimeSeconds(const HldsLogTime& time);

}  // namespace ironpost
