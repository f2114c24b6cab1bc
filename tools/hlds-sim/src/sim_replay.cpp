#include "sim_replay.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <optional>
#include <thread>

#include "sim_json.h"
#include "sim_threads.h"

namespace ironpost::sim {

namespace {

// The plugin's exported status and direct functions the replay reads or calls.
constexpr char kAlertReason[] = "ironpost_metamod_sdk_last_alert_message_reason";
constexpr char kDeathReason[] = "ironpost_metamod_sdk_last_death_msg_reason";
constexpr char kDamageReason[] = "ironpost_metamod_sdk_last_damage_reason";
constexpr char kPurchaseReason[] = "ironpost_metamod_sdk_last_weapon_purchase_reason";
constexpr char kRefusalRule[] = "ironpost_metamod_sdk_last_refusal_rule";
constexpr char kRefusalCounts[] = "ironpost_metamod_sdk_refusal_counts_json";
constexpr char kWeaponPurchase[] = "IronpostMetamodWeaponPurchase";
using WeaponPurchaseFn = void (*)(int, const char*, std::uint64_t, unsigned);

constexpr std::size_t kMaxLogFileBytes = std::size_t{1} << 30;

struct Weapon {
    const char* name;
    std::uint64_t cost;  // tokens: the game's price divided by 25
};
const std::vector<Weapon> kTerroristBuys = {{"ak47", 100}, {"galil", 80},  {"sg552", 140},
                                            {"awp", 190},  {"deagle", 26}, {"mp5navy", 60}};
const std::vector<Weapon> kCounterTerroristBuys = {{"m4a1", 124}, {"famas", 90},  {"aug", 140},
                                                   {"awp", 190},  {"deagle", 26}, {"mp5navy", 60}};

std::optional<std::int64_t> LineSecond(const std::string& raw, std::string& clock) {
    const std::optional<HldsLogTime> time = ParseHldsLogPrefix(raw);
    if (!time) {
        return std::nullopt;
    }
    char text[16];
    std::snprintf(text, sizeof(text), "%02d:%02d:%02d", time->hour, time->minute, time->second);
    clock = text;
    return HldsLogTimeSeconds(*time);
}

std::optional<std::int64_t> FirstSecond(const std::string& path) {
    std::ifstream file(path);
    std::string raw;
    std::string clock;
    for (int i = 0; i < 1000 && std::getline(file, raw); ++i) {
        if (const auto second = LineSecond(raw, clock)) {
            return second;
        }
    }
    return std::nullopt;
}

bool EndsWithLog(const std::string& name) {
    if (name.size() < 4) {
        return false;
    }
    std::string suffix = name.substr(name.size() - 4);
    std::transform(suffix.begin(), suffix.end(), suffix.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return suffix == ".log";
}

std::string TeamNumber(std::string_view team) {
    return team == "TERRORIST" ? "1" : team == "CT" ? "2" : team == "SPECTATOR" ? "6" : "5";
}

bool IsPlayingTeam(const std::string& team) {
    return team == "CT" || team == "TERRORIST";
}

// The engine's stand-ins that a connecting client keeps (LAN, HLTV); anything
// else is a Steam id the engine validates after the connect.
bool KeepsAuthIdAtConnect(std::string_view auth_id) {
    return auth_id == "HLTV" || auth_id == "BOT" ||
           auth_id.find("_ID_LAN") != std::string_view::npos || auth_id == "VALVE_ID_LOOPBACK";
}

// AMX Mod X writes these through the raw engine table: never seen by a hook.
bool IsStatsPluginLine(const HldsLogLine& parsed) {
    return parsed.kind == HldsLogKind::WeaponStats || parsed.kind == HldsLogKind::WeaponStats2 ||
           (parsed.kind == HldsLogKind::PlayerTriggered &&
            (parsed.trigger == "time" || parsed.trigger == "latency"));
}

Tally ParseTally(const JsonValue& value) {
    Tally tally;
    if (value.type == JsonValue::Type::Array) {
        for (const JsonValue& item : value.items) {
            const std::string rule = item.String("rule");
            if (!rule.empty()) {
                tally[rule] += static_cast<long>(item.Unsigned("count"));
            }
        }
        return tally;
    }
    for (const auto& [name, member] : value.members) {
        if (member.type == JsonValue::Type::Number) {
            tally[name] += static_cast<long>(value.Unsigned(name));
        } else if (member.type == JsonValue::Type::Object ||
                   member.type == JsonValue::Type::Array) {
            for (const auto& [rule, count] : ParseTally(member)) {
                tally[rule] += count;
            }
        }
    }
    return tally;
}

}  // namespace

std::vector<std::string> OrderedLogFiles(const std::vector<std::string>& paths,
                                         std::string& error) {
    std::vector<std::string> files;
    for (const std::string& path : paths) {
        struct stat info {};
        if (stat(path.c_str(), &info) != 0) {
            error = "cannot read " + path;
            return {};
        }
        if (!S_ISDIR(info.st_mode)) {
            files.push_back(path);
            continue;
        }
        DIR* folder = opendir(path.c_str());
        if (folder == nullptr) {
            error = "cannot list " + path;
            return {};
        }
        while (const dirent* entry = readdir(folder)) {
            const std::string name = entry->d_name;
            const std::string full = path + "/" + name;
            struct stat item {};
            if (EndsWithLog(name) && stat(full.c_str(), &item) == 0 && S_ISREG(item.st_mode)) {
                files.push_back(full);
            }
        }
        closedir(folder);
    }
    std::vector<std::pair<std::int64_t, std::string>> keyed;
    for (const std::string& file : files) {
        keyed.emplace_back(FirstSecond(file).value_or(INT64_MAX), file);
    }
    std::stable_sort(keyed.begin(), keyed.end());
    files.clear();
    for (auto& entry : keyed) {
        files.push_back(std::move(entry.second));
    }
    if (files.empty()) {
        error = "no log files found";
    }
    return files;
}

LogReplay::LogReplay(SimEngine& engine, PluginLoader& loader, BackendTap& tap, SimReport& report,
                     const ReplayOptions& options, std::ostream& out)
    : engine_(engine),
      loader_(loader),
      tap_(tap),
      report_(report),
      options_(options),
      out_(out),
      random_(options.seed) {}

bool LogReplay::Run(const std::vector<std::string>& files, std::string& error) {
    wall_start_ = std::chrono::steady_clock::now();
    for (const std::string& path : files) {
        struct stat info {};
        if (stat(path.c_str(), &info) != 0 ||
            static_cast<std::size_t>(info.st_size) > kMaxLogFileBytes) {
            error = "cannot read " + path + " (missing, or over 1 GiB)";
            return false;
        }
        std::ifstream file(path, std::ios::binary);
        if (!file) {
            error = "cannot read " + path;
            return false;
        }
        std::vector<Line> second;
        std::string raw;
        while (std::getline(file, raw)) {
            if (!raw.empty() && raw.back() == '\r') {
                raw.pop_back();
            }
            Line line;
            const std::optional<std::int64_t> at = LineSecond(raw, line.clock);
            if (!at) {
                ++unreadable_lines_;
                continue;
            }
            line.second = *at;
            line.text = std::string(StripHldsLogPrefix(raw));
            if (!second.empty() && second.front().second != line.second) {
                PlaySecond(second);
                second.clear();
            }
            second.push_back(std::move(line));
        }
        PlaySecond(second);
    }
    if (unreadable_lines_ > 0) {
        notes_.push_back(std::to_string(unreadable_lines_) +
                         " line(s) without the engine's time stamp were skipped");
    }
    return true;
}

void LogReplay::PlaySecond(const std::vector<Line>& lines) {
    // The lines of one second are spread evenly across it, in log order.
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const double offset = static_cast<double>(i) / static_cast<double>(lines.size());
        const double map_time =
            static_cast<double>(lines[i].second - map_base_second_) + 1.0 + offset;
        Handle(lines[i], map_time);
    }
}

void LogReplay::Handle(const Line& line, double map_time) {
    report_.NoteClock(line.clock);
    const HldsLogLine parsed = ParseHldsLogLine(line.text);
    if (parsed.kind == HldsLogKind::MapLoading) {
        EndMap();
        return;
    }
    if (parsed.kind == HldsLogKind::MapStarted) {
        EndMap();
        StartMap(std::string(parsed.map), line.second);
        return;
    }
    if (parsed.kind == HldsLogKind::Ignored) {
        // Engine lines the parser does not read; cvar values are kept.
        const std::string cvar = "Server cvar \"";
        if (line.text.compare(0, cvar.size(), cvar) == 0) {
            const std::vector<std::string> words = SimEngine::Tokenize(line.text.substr(12));
            if (words.size() == 3 && words[1] == "=") {
                engine_.SetCvar(words[0], words[2]);
            }
        }
        return;
    }
    if (!map_active_) {
        StartMap("unknown", line.second);  // a log that starts inside a map
        map_time = 1.0;
    }
    AdvanceTo(map_time);
    switch (parsed.kind) {
        case HldsLogKind::Connected:
            OnConnected(parsed.actor, std::string(parsed.address));
            return;
        case HldsLogKind::Validated:
            OnValidated(parsed.actor);
            return;
        case HldsLogKind::Kicked:
            return;  // the game's disconnected line follows
        default:
            break;
    }
    if (IsStatsPluginLine(parsed)) {
        return;
    }
    OnGameLine(parsed, line.text);
}

void LogReplay::StartMap(const std::string& map, std::int64_t second) {
    map_ = map;
    map_base_second_ = second;
    map_time_ = 1.0;
    frame_index_ = 0;
    map_started_at_ = simulated_total_;
    engine_.BeginMap(map);
    loader_.ServerActivate(engine_.EdictList(), engine_.EdictCount(), engine_.MaxClients());
    map_active_ = true;
    Collect();
    report_.NoteUsage("map " + std::to_string(engine_.MapIndex()) + " " + map + " (" +
                      std::to_string(static_cast<long>(simulated_total_ / 60)) + " simulated min)");
}

void LogReplay::EndMap() {
    if (!map_active_) {
        return;
    }
    loader_.ServerDeactivate();
    // The engine drops fake clients at a level change; humans stay connected
    // and come back on the new map.
    for (SimClient* client : engine_.Clients()) {
        if (client->fake) {
            Disconnect(*client);
        } else {
            client->in_game = false;
        }
    }
    map_active_ = false;
    Collect();
}

void LogReplay::AdvanceTo(double map_time) {
    // Frame times are counted, not summed, so that they stay exact.
    const double fps = options_.frames_per_second;
    while (1.0 + static_cast<double>(frame_index_ + 1) / fps <= map_time + 1e-9) {
        NextFrame();
    }
}

void LogReplay::NextFrame() {
    ++frame_index_;
    const double time = 1.0 + static_cast<double>(frame_index_) / options_.frames_per_second;
    simulated_total_ += time - map_time_;
    map_time_ = time;
    RunFrame();
}

void LogReplay::RunFrame() {
    tap_.SetDown(simulated_total_ >= options_.outage_from &&
                 simulated_total_ < options_.outage_until);
    // The backend's answers to what the plugin sent before this frame are in
    // before it runs, unless the replay keeps to the clock.
    const auto bound = std::chrono::milliseconds(static_cast<long>(options_.plugin_work_bound_ms));
    if (options_.speed <= 0 && !WaitForCountedThreads(stuck_threads_, bound)) {
        stuck_threads_ = LiveCountedThreads();
        notes_.push_back("plugin thread(s) still running after " + std::to_string(bound.count()) +
                         " ms; no longer waited for");
    }
    if (options_.speed > 0) {
        const auto due =
            wall_start_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(simulated_total_ / options_.speed));
        std::this_thread::sleep_until(due);
    }
    engine_.SetTime(map_time_);
    engine_.ExecuteQueuedCommands();
    loader_.StartFrame();
    Collect();
    if (std::fmod(map_time_, 1.0) < 1.0 / options_.frames_per_second) {
        DropStragglers();
    }
}

void LogReplay::Collect() {
    for (const TapExchange& exchange : tap_.TakeExchanges()) {
        report_.NoteExchange(exchange);
        ++exchanges_;
    }
    for (const EngineOutput& output : engine_.TakeOutputs()) {
        report_.NoteEngineOutput(output);
        if (options_.show_engine) {
            out_ << "   engine> " << Describe(output) << "\n";
        }
    }
}

std::string LogReplay::Describe(const EngineOutput& output) {
    std::string target = "server";
    if (output.slot > 0) {
        const SimClient* client = engine_.ClientAtSlot(output.slot);
        target = (client != nullptr ? client->name : std::string("nobody")) + " (slot " +
                 std::to_string(output.slot) + ")";
    }
    std::string kind = EngineOutputKindName(output.kind);
    if (output.kind == EngineOutput::Kind::UserMessage) {
        kind = output.name;
    }
    return kind +
           (output.slot > 0 || output.kind == EngineOutput::Kind::UserMessage ? " to " + target
                                                                              : "") +
           (output.dropped ? " (dropped)" : "") + ": " + output.text;
}

void LogReplay::DropStragglers() {
    // A human who does not come back after a map change times out.
    if (simulated_total_ - map_started_at_ < options_.reconnect_grace_seconds) {
        return;
    }
    for (SimClient* client : engine_.Clients()) {
        if (!client->fake && !client->in_game && client->map_index < engine_.MapIndex()) {
            notes_.push_back(client->name + " did not come back after the map change; dropped");
            Disconnect(*client);
        }
    }
}

// ---------------------------------------------------------------------------
// Clients

void LogReplay::OnConnected(const HldsLogPlayer& player, const std::string& address) {
    if (engine_.ClientByUserId(player.user_id) != nullptr) {
        return;
    }
    const std::string auth = KeepsAuthIdAtConnect(player.auth_id) ? std::string(player.auth_id)
                                                                  : std::string(kPendingAuthId);
    SimClient* client = engine_.Seat(player.user_id, std::string(player.name), auth, false);
    if (client == nullptr) {
        notes_.push_back("server full: " + std::string(player.name) + " was not seated");
        return;
    }
    client->address = address;
    ConnectClient(*client);
}

void LogReplay::OnValidated(const HldsLogPlayer& player) {
    SimClient* client = engine_.ClientByUserId(player.user_id);
    if (client != nullptr && !client->fake) {
        client->auth_id = std::string(player.auth_id);
        report_.NotePlayer(client->auth_id, client->name);
    }
}

bool LogReplay::ConnectClient(SimClient& client) {
    std::string reject;
    const std::string address = client.fake              ? ""
                                : client.address.empty() ? "127.0.0.1:27005"
                                                         : client.address;
    client.map_index = engine_.MapIndex();
    if (loader_.ClientConnect(engine_.Edict(client.slot), client.name, address, reject)) {
        return true;
    }
    notes_.push_back("the plugin refused " + client.name + ": " + reject);
    refused_user_ids_.push_back(client.user_id);
    engine_.Unseat(client.slot);
    return false;
}

SimClient* LogReplay::EnsureClient(const HldsLogPlayer& player, bool entering) {
    SimClient* client = engine_.ClientByUserId(player.user_id);
    if (client == nullptr) {
        // Nobody connected with this id over the network in this replay: a
        // fake client made by a bot plugin, which connects and enters at once.
        client = engine_.Seat(player.user_id, std::string(player.name), "BOT", true);
        if (client == nullptr) {
            notes_.push_back("server full: bot " + std::string(player.name) + " was not seated");
            return nullptr;
        }
        if (!ConnectClient(*client)) {
            return nullptr;
        }
        loader_.ClientPutInServer(engine_.Edict(client->slot));
        client->in_game = true;
    } else if (entering && !client->in_game) {
        // A human entering a map: after a map change the engine connects the
        // client again without a disconnect in between.
        if (client->map_index < engine_.MapIndex() && !ConnectClient(*client)) {
            return nullptr;
        }
        loader_.ClientPutInServer(engine_.Edict(client->slot));
        client->in_game = true;
    }
    if (!client->fake && client->auth_id == kPendingAuthId && !player.auth_id.empty() &&
        player.auth_id != kPendingAuthId) {
        client->auth_id = std::string(player.auth_id);  // the game already shows the real id
    }
    if (client->name != player.name) {
        engine_.Rename(client->slot, std::string(player.name));
    }
    if (!client->fake) {
        report_.NotePlayer(client->auth_id, client->name);
    }
    return client;
}

void LogReplay::ClientCommand(SimClient& client, std::vector<std::string> argv, std::string args) {
    engine_.SetCommand(std::move(argv), std::move(args));
    loader_.ClientCommand(engine_.Edict(client.slot));
    engine_.ClearCommand();
}

void LogReplay::Disconnect(SimClient& client) {
    loader_.ClientDisconnect(engine_.Edict(client.slot));
    engine_.Unseat(client.slot);
}

// ---------------------------------------------------------------------------
// Game lines

void LogReplay::OnGameLine(const HldsLogLine& parsed, const std::string& text) {
    const bool has_actor = parsed.actor.user_id != 0;
    const bool has_victim = parsed.victim.user_id != 0;
    const auto refused = [&](int user_id) {
        return std::find(refused_user_ids_.begin(), refused_user_ids_.end(), user_id) !=
               refused_user_ids_.end();
    };
    if ((has_actor && refused(parsed.actor.user_id)) ||
        (has_victim && refused(parsed.victim.user_id))) {
        return;  // the engine turned this client away: the game logs nothing of it
    }
    SimClient* actor = nullptr;
    if (has_actor && parsed.kind == HldsLogKind::Disconnected) {
        actor = engine_.ClientByUserId(parsed.actor.user_id);
    } else if (has_actor) {
        actor = EnsureClient(parsed.actor, parsed.kind == HldsLogKind::Entered);
        if (actor == nullptr) {
            return;
        }
    }
    SimClient* victim = has_victim ? EnsureClient(parsed.victim, false) : nullptr;
    if (has_victim && victim == nullptr) {
        return;
    }
    // What the game does before it writes the line.
    if (actor != nullptr && !actor->fake) {
        if (parsed.kind == HldsLogKind::JoinedTeam && !parsed.automatic) {
            const std::string team = TeamNumber(parsed.team);
            ClientCommand(*actor, {"jointeam", team}, team);
        } else if (parsed.kind == HldsLogKind::Say || parsed.kind == HldsLogKind::SayTeam) {
            const std::string args = "\"" + std::string(parsed.text) + "\"";
            std::vector<std::string> argv = SimEngine::Tokenize(args);
            argv.insert(argv.begin(), parsed.kind == HldsLogKind::Say ? "say" : "say_team");
            ClientCommand(*actor, std::move(argv), args);
        } else if (parsed.kind == HldsLogKind::ChangedName) {
            engine_.Rename(actor->slot, std::string(parsed.new_name));
            loader_.ClientUserInfoChanged(engine_.Edict(actor->slot),
                                          engine_.InfoBuffer(actor->slot));
        }
    }
    if (actor != nullptr && parsed.kind == HldsLogKind::Disconnected) {
        // The game logs the line inside its disconnect, after the loader's pre-hooks.
        loader_.ClientDisconnect(engine_.Edict(actor->slot));
    }
    const bool combat = parsed.kind == HldsLogKind::Kill || parsed.kind == HldsLogKind::Attack;
    const Tally before = combat ? RefusalCountsNow() : Tally{};
    const std::string rule_before = combat ? loader_.Status(kRefusalRule) : std::string();
    loader_.LogLine(text + "\n");
    if (combat) {
        JudgeCombatLine(parsed, before, rule_before);
        // The play the log shows a validated human making against an opponent.
        const bool human = actor != nullptr && !actor->fake && actor->auth_id != kPendingAuthId &&
                           parsed.actor.team != parsed.victim.team;
        if (human && parsed.kind == HldsLogKind::Kill) {
            report_.NoteLoggedKill(actor->auth_id);
        } else if (human && parsed.numbers.damage && *parsed.numbers.damage > 0) {
            report_.NoteLoggedDamage(actor->auth_id,
                                     static_cast<std::uint64_t>(*parsed.numbers.damage));
        }
    }
    // What the line changes in the engine's view.
    if (actor != nullptr) {
        if (parsed.kind == HldsLogKind::Disconnected) {
            engine_.Unseat(actor->slot);
        } else if (parsed.kind == HldsLogKind::JoinedTeam) {
            actor->team = std::string(parsed.team);
        } else if (!parsed.actor.team.empty()) {
            actor->team = std::string(parsed.actor.team);
        }
    }
    if (parsed.kind == HldsLogKind::RoundStart) {
        report_.BeginRound(map_);
        report_.Round().start_reason = loader_.Status(kAlertReason);
        if (options_.show_engine) {
            out_ << "-- round " << report_.Round().number << " starts\n";
        }
        SimulateBuys();
    } else if (parsed.kind == HldsLogKind::RoundEnd) {
        report_.Round().end_reason = loader_.Status(kAlertReason);
    }
    Collect();
}

Tally LogReplay::RefusalCountsNow() const {
    const std::string text = loader_.Status(kRefusalCounts);
    const std::optional<JsonValue> json = text.empty() ? std::nullopt : ParseJson(text);
    return json ? ParseTally(*json) : Tally{};
}

void LogReplay::JudgeCombatLine(const HldsLogLine& parsed, const Tally& refusals_before,
                                const std::string& rule_before) {
    RoundRecord& round = report_.Round();
    const bool kill = parsed.kind == HldsLogKind::Kill;
    Tally refused;
    if (loader_.Symbol(kRefusalCounts) != nullptr) {
        for (const auto& [rule, count] : RefusalCountsNow()) {
            const auto before = refusals_before.find(rule);
            const long delta = count - (before != refusals_before.end() ? before->second : 0);
            if (delta > 0) {
                refused[rule] = delta;
            }
        }
    } else if (const std::string rule = loader_.Status(kRefusalRule); rule != rule_before) {
        refused[rule] = 1;  // without the counts only a change of rule is seen
    }
    for (const auto& [rule, count] : refused) {
        (kill ? round.kill_refusals : round.damage_refusals)[rule] += count;
    }
    if (!refused.empty()) {
        return;
    }
    // The alert reason names a dispatch only when it was accepted; the
    // dispatch's own reason says what came of it.
    const std::string alert = loader_.Status(kAlertReason);
    const std::string reason = loader_.Status(kill ? kDeathReason : kDamageReason);
    const bool dispatched = alert == (kill ? "hlds_log_kill" : "hlds_log_damage");
    if (dispatched && reason == (kill ? "kill_reward_queued" : "damage_reward_queued")) {
        if (kill) {
            ++round.kills_credited;
        } else {
            ++round.attacks_credited;
            round.damage_credited += static_cast<std::uint64_t>(parsed.numbers.damage.value_or(0));
        }
        return;
    }
    const std::string& why = dispatched ? reason : alert;
    ++round.ignored[why.empty() ? std::string("no reason given") : why];
}

void LogReplay::SimulateBuys() {
    const auto purchase = loader_.Function<WeaponPurchaseFn>(kWeaponPurchase);
    if (purchase == nullptr || options_.buy_chance <= 0) {
        return;
    }
    for (SimClient* client : engine_.Clients()) {
        if (client->fake || !IsPlayingTeam(client->team)) {
            continue;
        }
        // Two draws per player whatever the outcome, so a different chance
        // leaves the other players' choices as they were.
        const double roll = static_cast<double>(random_() >> 11) / 9007199254740992.0;
        const std::uint64_t pick = random_();
        if (roll >= options_.buy_chance) {
            continue;
        }
        const std::vector<Weapon>& list =
            client->team == "CT" ? kCounterTerroristBuys : kTerroristBuys;
        const Weapon& weapon = list[pick % list.size()];
        purchase(client->slot, weapon.name, weapon.cost, 0);
        ++report_.Round().buys[loader_.Status(kPurchaseReason)];
    }
}

// ---------------------------------------------------------------------------
// The end

void LogReplay::Finish(bool unload) {
    // Let a scheduled settlement fire, then follow every settlement to an end.
    const double drain_start = simulated_total_;
    while (map_active_ && simulated_total_ - drain_start < options_.drain_seconds) {
        NextFrame();
        if (simulated_total_ - drain_start >= 2.0 && report_.SettlementsSettled() &&
            LiveCountedThreads() <= stuck_threads_) {
            break;
        }
    }
    if (!report_.SettlementsSettled()) {
        notes_.push_back("settlements still not final " +
                         std::to_string(static_cast<int>(options_.drain_seconds)) +
                         " simulated seconds after the log");
    }
    final_refusals_ = RefusalCountsNow();
    report_.NoteUsage("the end (" + std::to_string(static_cast<long>(simulated_total_ / 60)) +
                      " simulated min)");
    if (unload) {
        if (!loader_.Unload()) {
            notes_.push_back(loader_.Error());
        }
    } else {
        loader_.ServerDeactivate();
        loader_.GameShutdown();
    }
    WaitForCountedThreads(stuck_threads_, std::chrono::milliseconds(
                                              static_cast<long>(options_.plugin_work_bound_ms)));
    Collect();
}

Tally LogReplay::RefusalTotals() const {
    return loader_.Loaded() ? RefusalCountsNow() : final_refusals_;
}

std::vector<std::string> LogReplay::EngineNotes() const {
    std::vector<std::string> notes = notes_;
    for (const auto& [hook, count] : loader_.UnsetResults()) {
        notes.push_back("the plugin left the result code unset in " + hook + " " +
                        std::to_string(count) + " time(s)");
    }
    for (const std::string& fault : engine_.Faults()) {
        notes.push_back("engine fault: " + fault);
    }
    if (exchanges_ > 0 && CountedThreadsStarted() == 0 && options_.speed <= 0) {
        notes.push_back(
            "the plugin's threads could not be counted: frames did not wait for its backend work");
    }
    for (const auto& [index, count] : engine_.UnsimulatedCalls()) {
        notes.push_back("engine function " + std::to_string(index) + " (not simulated) called " +
                        std::to_string(count) + " time(s)");
    }
    return notes;
}

bool LogReplay::PluginBehaved() const {
    return loader_.UnsetResults().empty() && engine_.Faults().empty();
}

}  // namespace ironpost::sim
