#include "ironpost_hlds_log.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace ironpost {
namespace {

using std::string_view;

constexpr string_view kLineIgnored = "hlds_log_line_ignored";
constexpr string_view kLineTooLong = "hlds_log_line_too_long";
constexpr string_view kLineControlByte = "hlds_log_line_control_byte";
constexpr string_view kTokenMalformed = "hlds_log_player_token_malformed";
constexpr string_view kUserIdInvalid = "hlds_log_player_user_id_invalid";
constexpr string_view kNameTooLong = "hlds_log_player_name_too_long";
constexpr string_view kFieldMalformed = "hlds_log_quoted_field_malformed";
constexpr string_view kFormMalformed = "hlds_log_form_malformed";
constexpr string_view kPropertiesMalformed = "hlds_log_properties_malformed";
constexpr string_view kDamageMissing = "hlds_log_attack_damage_missing";
constexpr string_view kStatsWeaponMissing = "hlds_log_weaponstats_weapon_missing";
constexpr string_view kNumberInvalid = "hlds_log_number_invalid";

// Reads a plain decimal ("-" only where allowed) that fits 32 bits.
std::optional<std::int32_t> ParseInt32(string_view text, bool may_be_negative) {
    bool negative = false;
    if (may_be_negative && !text.empty() && text.front() == '-') {
        negative = true;
        text.remove_prefix(1);
    }
    if (text.empty() || text.size() > 10) {
        return std::nullopt;
    }
    std::int64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    value = negative ? -value : value;
    if (value > INT32_MAX || value < INT32_MIN) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(value);
}

// Weapons, teams, triggers and maps are single words. Holding them to that
// keeps the rest of a hostile player token from passing as one of them.
bool IsWord(string_view text) {
    return !text.empty() && text.find_first_of(" <>") == string_view::npos;
}

bool HasControlByte(string_view line) {
    for (const char c : line) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            return true;
        }
    }
    return false;
}

// A cursor over the rest of a line: fixed texts, quoted fields and the
// trailing "(key "value")" groups, each taken only at the cursor.
class Cursor {
  public:
    explicit Cursor(string_view rest) : rest_(rest) {}

    // Takes `text` when the rest starts with it.
    bool Take(string_view text) {
        if (rest_.substr(0, text.size()) != text) {
            return false;
        }
        rest_.remove_prefix(text.size());
        return true;
    }

    // Takes a '"'-quoted field; its text cannot hold a quote.
    std::optional<string_view> Quoted() {
        if (rest_.empty() || rest_.front() != '"') {
            return std::nullopt;
        }
        const std::size_t close = rest_.find('"', 1);
        if (close == string_view::npos) {
            return std::nullopt;
        }
        const string_view field = rest_.substr(1, close - 1);
        rest_.remove_prefix(close + 1);
        return field;
    }

    string_view rest() const { return rest_; }

  private:
    string_view rest_;
};

struct NumberKey {
    string_view key;
    std::optional<std::int32_t> HldsLogNumbers::*member;
    bool may_be_negative;
};

constexpr NumberKey kNumberKeys[] = {
    {"damage", &HldsLogNumbers::damage, false},
    {"damage_armor", &HldsLogNumbers::damage_armor, false},
    {"health", &HldsLogNumbers::health, true},
    {"armor", &HldsLogNumbers::armor, true},
    {"shots", &HldsLogNumbers::shots, false},
    {"hits", &HldsLogNumbers::hits, false},
    {"kills", &HldsLogNumbers::kills, false},
    {"headshots", &HldsLogNumbers::headshots, false},
    {"tks", &HldsLogNumbers::tks, false},
    {"deaths", &HldsLogNumbers::deaths, false},
    {"death", &HldsLogNumbers::deaths, false},
    {"head", &HldsLogNumbers::head, false},
    {"chest", &HldsLogNumbers::chest, false},
    {"stomach", &HldsLogNumbers::stomach, false},
    {"leftarm", &HldsLogNumbers::left_arm, false},
    {"rightarm", &HldsLogNumbers::right_arm, false},
    {"leftleg", &HldsLogNumbers::left_leg, false},
    {"rightleg", &HldsLogNumbers::right_leg, false},
    {"CT", &HldsLogNumbers::ct_score, false},
    {"T", &HldsLogNumbers::t_score, false},
};

void StoreProperty(string_view key, string_view value, HldsLogLine& out,
                   string_view* weapon_property) {
    if (key == "weapon") {
        *weapon_property = value;
        return;
    }
    for (const NumberKey& number : kNumberKeys) {
        if (number.key == key) {
            out.numbers.*number.member = ParseInt32(value, number.may_be_negative);
            return;
        }
    }
}

void StoreFlag(string_view key, HldsLogLine& out) {
    if (key == "headshot") {
        out.headshot = true;
    } else if (key == "world") {
        out.by_world = true;
    } else if (key == "auto") {
        out.automatic = true;
    }
}

// Reads the trailing groups `(key "value")` and `(key)`, spaces between them
// optional (older stats plugins wrote none); unknown keys are skipped.
bool ReadProperties(string_view rest, HldsLogLine& out, string_view* weapon_property) {
    while (true) {
        const std::size_t start = rest.find_first_not_of(' ');
        if (start == string_view::npos) {
            return true;
        }
        rest.remove_prefix(start);
        if (rest.front() != '(') {
            return false;
        }
        const std::size_t key_end = rest.find_first_of(" )");
        if (key_end == string_view::npos || key_end == 1) {
            return false;
        }
        const string_view key = rest.substr(1, key_end - 1);
        if (rest[key_end] == ')') {
            StoreFlag(key, out);
            rest.remove_prefix(key_end + 1);
            continue;
        }
        Cursor cursor(rest.substr(key_end + 1));
        const std::optional<string_view> value = cursor.Quoted();
        if (!value || !cursor.Take(")")) {
            return false;
        }
        StoreProperty(key, *value, out, weapon_property);
        rest = cursor.rest();
    }
}

HldsLogLine Refuse(string_view reason) {
    HldsLogLine refused;
    refused.kind = HldsLogKind::Refused;
    refused.reason = reason;
    return refused;
}

HldsLogLine Ignore() {
    HldsLogLine ignored;
    ignored.reason = kLineIgnored;
    return ignored;
}

// Reads the player token, the reason when it is not one.
string_view ReadPlayer(string_view token, HldsLogPlayer& player) {
    // From the right: names may hold '<' and '>', the three groups cannot.
    string_view groups[3];
    std::size_t end = token.size();
    for (int i = 2; i >= 0; --i) {
        if (end == 0 || token[end - 1] != '>') {
            return kTokenMalformed;
        }
        const std::size_t open = token.rfind('<', end - 1);
        if (open == string_view::npos) {
            return kTokenMalformed;
        }
        groups[i] = token.substr(open + 1, end - open - 2);
        if (groups[i].find('>') != string_view::npos) {
            return kTokenMalformed;
        }
        end = open;
    }
    const std::optional<std::int32_t> user_id = ParseInt32(groups[0], false);
    if (!user_id || *user_id < 1) {
        return kUserIdInvalid;
    }
    if (end > kHldsLogNameMaxBytes) {
        return kNameTooLong;
    }
    player.name = token.substr(0, end);
    player.user_id = *user_id;
    player.auth_id = groups[1];
    player.team = groups[2];
    return {};
}

// A quoted player token at the cursor.
string_view TakePlayer(Cursor& cursor, HldsLogPlayer& player) {
    const std::optional<string_view> token = cursor.Quoted();
    return token ? ReadPlayer(*token, player) : kFieldMalformed;
}

enum class FieldRule { Word, Name, Text };

// Takes a quoted field at the cursor into `field`; false when it is missing or breaks `rule`.
bool TakeField(Cursor& cursor, string_view& field, FieldRule rule) {
    const std::optional<string_view> value = cursor.Quoted();
    if (!value || (rule == FieldRule::Word && !IsWord(*value)) ||
        (rule == FieldRule::Name && value->size() > kHldsLogNameMaxBytes)) {
        return false;
    }
    field = *value;
    return true;
}

// Ends a form whose fixed part was read: only property groups may follow.
HldsLogLine Finish(HldsLogLine& out, HldsLogKind kind, string_view rest,
                   string_view* weapon_property = nullptr) {
    string_view unused;
    if (!ReadProperties(rest, out, weapon_property ? weapon_property : &unused)) {
        return Refuse(kPropertiesMalformed);
    }
    out.kind = kind;
    return out;
}

// Ends a form whose fixed part closes with one quoted field.
HldsLogLine FinishField(Cursor& cursor, HldsLogLine& out, string_view& field, FieldRule rule,
                        HldsLogKind kind) {
    if (!TakeField(cursor, field, rule)) {
        return Refuse(kFieldMalformed);
    }
    return Finish(out, kind, cursor.rest());
}

// "killed" and "attacked": "V" with "W" (groups).
HldsLogLine ReadVictimForm(Cursor& cursor, HldsLogLine& out, HldsLogKind kind) {
    const string_view reason = TakePlayer(cursor, out.victim);
    if (!reason.empty()) {
        return Refuse(reason);
    }
    if (!cursor.Take(" with ")) {
        return Refuse(kFormMalformed);
    }
    HldsLogLine line = FinishField(cursor, out, out.weapon, FieldRule::Word, kind);
    if (line.kind == HldsLogKind::Attack && !line.numbers.damage) {
        return Refuse(kDamageMissing);
    }
    return line;
}

HldsLogLine ReadTrigger(Cursor& cursor, HldsLogLine& out) {
    if (!TakeField(cursor, out.trigger, FieldRule::Word)) {
        return Refuse(kFieldMalformed);
    }
    const bool stats = out.trigger == "weaponstats";
    const bool stats2 = out.trigger == "weaponstats2";
    if (!stats && !stats2) {
        return Finish(out, HldsLogKind::PlayerTriggered, cursor.rest());
    }
    string_view weapon;
    HldsLogLine line = Finish(out, stats ? HldsLogKind::WeaponStats : HldsLogKind::WeaponStats2,
                              cursor.rest(), &weapon);
    if (line.kind == HldsLogKind::Refused) {
        return line;
    }
    if (!IsWord(weapon)) {
        return Refuse(kStatsWeaponMissing);
    }
    line.weapon = weapon;
    return line;
}

// Chat: only the outer quotes are the game's; the text between them may hold
// quotes of its own and is taken whole, never read for events.
HldsLogLine ReadChat(string_view rest, HldsLogLine& out, HldsLogKind kind) {
    constexpr string_view kDeadSuffix = "\" (dead)";
    if (rest.empty() || rest.front() != '"') {
        return Refuse(kFieldMalformed);
    }
    rest.remove_prefix(1);
    if (rest.size() >= kDeadSuffix.size() &&
        rest.substr(rest.size() - kDeadSuffix.size()) == kDeadSuffix) {
        out.dead = true;
        rest.remove_suffix(kDeadSuffix.size());
    } else if (!rest.empty() && rest.back() == '"') {
        rest.remove_suffix(1);
    } else {
        return Refuse(kFieldMalformed);
    }
    out.text = rest;
    out.kind = kind;
    return out;
}

// A line that starts with a quote: "P" followed by a verb right after the
// token's closing quote.
HldsLogLine ReadPlayerLine(string_view line) {
    HldsLogLine out;
    Cursor cursor(line);
    const string_view reason = TakePlayer(cursor, out.actor);
    if (!reason.empty()) {
        return Refuse(reason);
    }
    if (cursor.Take(" killed ")) {
        return ReadVictimForm(cursor, out, HldsLogKind::Kill);
    }
    if (cursor.Take(" attacked ")) {
        return ReadVictimForm(cursor, out, HldsLogKind::Attack);
    }
    if (cursor.Take(" triggered ")) {
        return ReadTrigger(cursor, out);
    }
    if (cursor.Take(" say ")) {
        return ReadChat(cursor.rest(), out, HldsLogKind::Say);
    }
    if (cursor.Take(" say_team ")) {
        return ReadChat(cursor.rest(), out, HldsLogKind::SayTeam);
    }
    if (cursor.Take(" committed suicide with ")) {
        return FinishField(cursor, out, out.weapon, FieldRule::Word, HldsLogKind::Suicide);
    }
    if (cursor.Take(" joined team ")) {
        return FinishField(cursor, out, out.team, FieldRule::Word, HldsLogKind::JoinedTeam);
    }
    if (cursor.Take(" changed name to ")) {
        return FinishField(cursor, out, out.new_name, FieldRule::Name, HldsLogKind::ChangedName);
    }
    if (cursor.Take(" connected, address ")) {
        return FinishField(cursor, out, out.address, FieldRule::Text, HldsLogKind::Connected);
    }
    if (cursor.Take(" entered the game")) {
        return Finish(out, HldsLogKind::Entered, cursor.rest());
    }
    if (cursor.Take(" disconnected")) {
        return Finish(out, HldsLogKind::Disconnected, cursor.rest());
    }
    if (cursor.Take(" STEAM USERID validated") || cursor.Take(" VALVE USERID validated")) {
        return Finish(out, HldsLogKind::Validated, cursor.rest());
    }
    return Ignore();
}

// "Restart_Round_(N_second)" for one second, "..._(N_seconds)" otherwise.
std::optional<std::int32_t> RestartSeconds(string_view trigger) {
    Cursor cursor(trigger);
    if (!cursor.Take("Restart_Round_(")) {
        return std::nullopt;
    }
    string_view rest = cursor.rest();
    const std::size_t digits_end = rest.find('_');
    if (digits_end == string_view::npos) {
        return std::nullopt;
    }
    const string_view unit = rest.substr(digits_end);
    if (unit != "_second)" && unit != "_seconds)") {
        return std::nullopt;
    }
    return ParseInt32(rest.substr(0, digits_end), false);
}

HldsLogLine ReadWorldLine(Cursor& cursor) {
    HldsLogLine out;
    HldsLogLine line =
        FinishField(cursor, out, out.trigger, FieldRule::Word, HldsLogKind::WorldTriggered);
    if (line.kind == HldsLogKind::Refused) {
        return line;
    }
    const string_view trigger = line.trigger;
    const bool has_scores = line.numbers.ct_score || line.numbers.t_score;
    if (trigger == "Round_Start") {
        line.kind = HldsLogKind::RoundStart;
    } else if (trigger == "Round_End") {
        line.kind = HldsLogKind::RoundEnd;
    } else if (trigger.substr(0, 14) == "Restart_Round_") {
        line.numbers.restart_seconds = RestartSeconds(trigger);
        if (!line.numbers.restart_seconds) {
            return Refuse(kNumberInvalid);
        }
        line.kind = HldsLogKind::RestartRound;
    } else if (has_scores) {
        // Draws and the game-commencing result: an end-of-round message with no winning team.
        line.kind = HldsLogKind::RoundOutcome;
    } else if (trigger == "Game_Commencing") {
        line.kind = HldsLogKind::GameCommencing;
    }
    return line;
}

HldsLogLine ReadTeamLine(Cursor& cursor) {
    HldsLogLine out;
    if (!TakeField(cursor, out.team, FieldRule::Word)) {
        return Refuse(kFieldMalformed);
    }
    if (cursor.Take(" triggered ")) {
        return FinishField(cursor, out, out.trigger, FieldRule::Word, HldsLogKind::RoundOutcome);
    }
    if (cursor.Take(" scored ")) {
        const std::optional<string_view> score = cursor.Quoted();
        const bool with = cursor.Take(" with ");
        const std::optional<string_view> players = cursor.Quoted();
        if (!score || !with || !players || !cursor.Take(" players")) {
            return Refuse(kFormMalformed);
        }
        out.numbers.score = ParseInt32(*score, false);
        out.numbers.players = ParseInt32(*players, false);
        if (!out.numbers.score || !out.numbers.players) {
            return Refuse(kNumberInvalid);
        }
        return Finish(out, HldsLogKind::TeamScored, cursor.rest());
    }
    return Ignore();
}

HldsLogLine ReadKickLine(Cursor& cursor) {
    HldsLogLine out;
    const string_view reason = TakePlayer(cursor, out.actor);
    if (!reason.empty()) {
        return Refuse(reason);
    }
    if (!cursor.Take(" was kicked by ")) {
        return Refuse(kFormMalformed);
    }
    return FinishField(cursor, out, out.kicked_by, FieldRule::Name, HldsLogKind::Kicked);
}

HldsLogLine ReadMapLine(Cursor& cursor, HldsLogKind kind) {
    HldsLogLine out;
    return FinishField(cursor, out, out.map, FieldRule::Word, kind);
}

int DaysInMonth(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

constexpr std::size_t kPrefixBytes = 25;  // "L mm/dd/yyyy - hh:mm:ss: "

}  // namespace

const char* HldsLogKindName(HldsLogKind kind) {
    static constexpr const char* kNames[] = {"ignored",       "refused",          "kill",
                                             "suicide",       "attack",           "weaponstats",
                                             "weaponstats2",  "player_triggered", "entered",
                                             "connected",     "validated",        "joined_team",
                                             "disconnected",  "kicked",           "changed_name",
                                             "say",           "say_team",         "round_start",
                                             "round_end",     "game_commencing",  "restart_round",
                                             "round_outcome", "world_triggered",  "team_scored",
                                             "map_loading",   "map_started"};
    const auto index = static_cast<std::size_t>(kind);
    return index < sizeof(kNames) / sizeof(kNames[0]) ? kNames[index] : "ignored";
}

HldsLogLine ParseHldsLogLine(string_view line) {
    for (int i = 0; i < 2 && !line.empty() && (line.back() == '\n' || line.back() == '\r'); ++i) {
        line.remove_suffix(1);
    }
    // The game's buffer holds 1023 bytes: a line that filled it lost its end
    // (and its line feed), a longer one is not the game's.
    if (line.size() >= kHldsLogLineBufferBytes - 1) {
        return Refuse(kLineTooLong);
    }
    // Decide the form from the first bytes alone, so that the many lines this
    // parser does not read cost next to nothing.
    enum class Form { None, Player, World, Team, Kick, Loading, Started };
    Cursor cursor(line);
    // A form's fixed opening, taken only when a quoted field follows it.
    const auto opens = [&](string_view text) {
        return line.size() > text.size() && line[text.size()] == '"' && cursor.Take(text);
    };
    Form form = Form::None;
    if (!line.empty() && line.front() == '"') {
        form = Form::Player;
    } else if (opens("World triggered ")) {
        form = Form::World;
    } else if (opens("Team ")) {
        form = Form::Team;
    } else if (opens("Kick: ")) {
        form = Form::Kick;
    } else if (opens("Loading map ")) {
        form = Form::Loading;
    } else if (opens("Started map ")) {
        form = Form::Started;
    }
    if (form == Form::None) {
        return Ignore();
    }
    // The game strips control bytes from chat; one here means the text was
    // not the game's, or two lines were joined.
    if (HasControlByte(line)) {
        return Refuse(kLineControlByte);
    }
    switch (form) {
        case Form::Player:
            return ReadPlayerLine(line);
        case Form::World:
            return ReadWorldLine(cursor);
        case Form::Team:
            return ReadTeamLine(cursor);
        case Form::Kick:
            return ReadKickLine(cursor);
        case Form::Loading:
            return ReadMapLine(cursor, HldsLogKind::MapLoading);
        case Form::Started:
            return ReadMapLine(cursor, HldsLogKind::MapStarted);
        case Form::None:
            break;
    }
    return Ignore();
}

std::optional<HldsLogPlayer> ParseHldsLogPlayer(string_view token) {
    HldsLogPlayer player;
    if (!ReadPlayer(token, player).empty()) {
        return std::nullopt;
    }
    return player;
}

std::optional<HldsLogTime> ParseHldsLogPrefix(string_view line) {
    if (line.size() < kPrefixBytes || line.substr(0, 2) != "L " || line[4] != '/' ||
        line[7] != '/' || line.substr(12, 3) != " - " || line[17] != ':' || line[20] != ':' ||
        line.substr(23, 2) != ": ") {
        return std::nullopt;
    }
    const auto field = [&](std::size_t at, std::size_t size) {
        return ParseInt32(line.substr(at, size), false).value_or(-1);
    };
    HldsLogTime time;
    time.month = field(2, 2);
    time.day = field(5, 2);
    time.year = field(8, 4);
    time.hour = field(15, 2);
    time.minute = field(18, 2);
    time.second = field(21, 2);
    if (time.year < 0 || time.month < 1 || time.month > 12 || time.day < 1 ||
        time.day > DaysInMonth(time.year, time.month) || time.hour < 0 || time.hour > 23 ||
        time.minute < 0 || time.minute > 59 || time.second < 0 || time.second > 59) {
        return std::nullopt;
    }
    return time;
}

string_view StripHldsLogPrefix(string_view line) {
    return ParseHldsLogPrefix(line) ? line.substr(kPrefixBytes) : line;
}

std::int64_t HldsLogTimeSeconds(const HldsLogTime& time) {
    // Days from the civil date (H. Hinnant's algorithm), March-based years.
    const std::int64_t year = time.year - (time.month <= 2 ? 1 : 0);
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t year_of_era = year - era * 400;
    const std::int64_t month_index = time.month > 2 ? time.month - 3 : time.month + 9;
    const std::int64_t day_of_year = (153 * month_index + 2) / 5 + time.day - 1;
    const std::int64_t day_of_era =
        year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    const std::int64_t days = era * 146097 + day_of_era - 719468;
    return days * 86400 + time.hour * 3600 + time.minute * 60 + time.second;
}

}  // namespace ironpost
