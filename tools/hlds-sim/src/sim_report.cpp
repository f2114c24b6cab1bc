#include "sim_report.h"

#include <algorithm>
#include <iomanip>
#include <optional>
#include <sstream>

#include "sim_json.h"

namespace ironpost::sim {

namespace {

// The endpoint's last path segment: "settlements", "heartbeat", ...
std::string Endpoint(const std::string& path) {
    const std::string bare = path.substr(0, path.find('?'));
    return bare.substr(bare.rfind('/') + 1);
}

std::string Join(const Tally& tally) {
    std::string out;
    for (const auto& [name, count] : tally) {
        out += (out.empty() ? "" : ", ") + name + " " + std::to_string(count);
    }
    return out;
}

long Sum(const Tally& tally) {
    long total = 0;
    for (const auto& entry : tally) {
        total += entry.second;
    }
    return total;
}

std::string TallyJson(const Tally& tally) {
    std::string out = "{";
    for (const auto& [name, count] : tally) {
        out += (out.size() > 1 ? "," : "") + JsonQuote(name) + ":" + std::to_string(count);
    }
    return out + "}";
}

bool IsFinalStatus(const std::string& status) {
    return status == "included" || status == "finalized" || status == "failed" ||
           status.rfind("refused", 0) == 0;
}

// Ids that never name a person who may be paid: bots, proxies, and clients
// whose identity the engine has not validated yet.
bool IsPlaceholder(const std::string& steam_id) {
    return steam_id.empty() || steam_id == "BOT" || steam_id == "HLTV" ||
           steam_id.find("_ID_PENDING") != std::string::npos;
}

std::string EngineTallyName(const EngineOutput& output) {
    using Kind = EngineOutput::Kind;
    if (output.dropped) {
        return "dropped";
    }
    switch (output.kind) {
        case Kind::ServerPrint:
            return "console lines";
        case Kind::ClientPrint:
            return "client prints";
        case Kind::ServerCommand:
            return "server commands";
        case Kind::LogLine:
            return "log lines";
        case Kind::ClientExec:
            return "client commands";
        case Kind::UserMessage:
            return output.name == "ShowMenu"  ? "menus"
                   : output.name == "MOTD"    ? "motd panels"
                   : output.name == "SayText" ? "chat messages"
                   : output.name == "TextMsg" ? "text messages"
                                              : "other messages";
    }
    return "other";
}

}  // namespace

void SimReport::BeginRound(const std::string& map) {
    const std::string& clock = clock_;
    PrintRound();
    rounds_.back().ended = clock;
    RoundRecord next;
    next.number = rounds_.back().number + 1;
    next.map = map;
    next.began = clock;
    rounds_.push_back(std::move(next));
    round_printed_ = false;
}

SettlementRecord& SimReport::Settlement(const std::string& request_id) {
    for (SettlementRecord& record : settlements_) {
        if (record.request_id == request_id) {
            return record;
        }
    }
    settlements_.emplace_back();
    settlements_.back().request_id = request_id;
    settlements_.back().log_round = rounds_.back().number;
    rounds_.back().settlements.push_back(request_id);
    return settlements_.back();
}

void SimReport::NoteExchange(const TapExchange& exchange) {
    const std::string endpoint = Endpoint(exchange.path);
    ++rounds_.back().telemetry[endpoint];
    ++telemetry_totals_[endpoint];
    if (endpoint != "settlements" && endpoint != "submission-status") {
        return;
    }
    const std::optional<JsonValue> request = ParseJson(exchange.request_body);
    const JsonValue* payload = request ? request->Find("payload") : nullptr;
    if (payload == nullptr) {
        problems_.push_back("unreadable " + endpoint + " request");
        return;
    }
    const std::string request_id = payload->String("requestId");
    SettlementRecord& record = Settlement(request_id);
    if (endpoint == "settlements") {
        if (++record.posts == 1) {
            const JsonValue* draft = payload->Find("draft");
            const JsonValue none;
            const JsonValue& d = draft != nullptr ? *draft : none;
            record.round = d.Unsigned("roundNumber");
            for (const JsonValue& entry : d.Items("rewardEntries")) {
                record.rewards.push_back({entry.String("steamId"),
                                          static_cast<std::int64_t>(entry.Unsigned("slot")),
                                          entry.Unsigned("kills"), entry.Unsigned("validDamage"),
                                          entry.Unsigned("rewardZolt")});
            }
            for (const JsonValue& entry : d.Items("weaponSpendEntries")) {
                record.spends.push_back({entry.String("steamId"), entry.String("weaponId"),
                                         entry.Unsigned("zoltCost")});
            }
            for (const JsonValue& entry : d.Items("zoltTransferEntries")) {
                record.transfers.push_back({entry.String("fromSteamId"), entry.String("toSteamId"),
                                            entry.Unsigned("amount")});
            }
        }
    } else {
        ++record.polls;
    }
    if (exchange.status == 0) {
        record.error = exchange.error;
        return;
    }
    const std::optional<JsonValue> answer = ParseJson(exchange.response_body);
    const JsonValue* accepted = answer ? answer->Find("accepted") : nullptr;
    if (exchange.status >= 200 && exchange.status < 300 && accepted != nullptr &&
        accepted->boolean) {
        const JsonValue* relay = answer->Find("relay");
        std::string status = relay != nullptr ? relay->String("extrinsicStatus") : "";
        if (status.empty()) {
            status = answer->String("status");
        }
        record.accepted = record.accepted || endpoint == "settlements";
        if (!status.empty()) {
            record.status = status;
        }
        return;
    }
    std::string error = "HTTP " + std::to_string(exchange.status);
    if (answer) {
        const std::vector<JsonValue>& errors = answer->Items("errors");
        if (!errors.empty()) {
            error += ": " + errors.front().text;
        }
    }
    record.error = error;
    // A refused poll says nothing about the settlement; a refused post does.
    if (endpoint == "settlements" && !record.accepted && exchange.status >= 400 &&
        exchange.status < 500) {
        record.status = "refused " + std::to_string(exchange.status);
    }
}

void SimReport::NoteEngineOutput(const EngineOutput& output) {
    ++rounds_.back().engine[EngineTallyName(output)];
    // "[Iron-Post] settlement ID failed after N of M attempts: ..." or
    // "... refused: ...": the plugin stopped sending it in this run.
    const std::string marker = "settlement ";
    const std::size_t at = output.text.find(marker);
    if (output.kind != EngineOutput::Kind::ServerPrint || at == std::string::npos ||
        (output.text.find(" failed after ") == std::string::npos &&
         output.text.find(" refused: ") == std::string::npos)) {
        return;
    }
    const std::size_t id_start = at + marker.size();
    const std::string request_id =
        output.text.substr(id_start, output.text.find(' ', id_start) - id_start);
    for (SettlementRecord& record : settlements_) {
        if (record.request_id == request_id) {
            record.given_up = output.text;
        }
    }
}

void SimReport::NotePlayer(const std::string& steam_id, const std::string& name) {
    if (!IsPlaceholder(steam_id)) {
        names_[steam_id] = name;
    }
}

void SimReport::NoteLoggedKill(const std::string& killer_steam_id) {
    ++logged_kills_[killer_steam_id];
}

void SimReport::NoteLoggedDamage(const std::string& attacker_steam_id, std::uint64_t damage) {
    logged_damage_[attacker_steam_id] += damage;
}

bool SimReport::SettlementsSettled() const {
    return std::all_of(settlements_.begin(), settlements_.end(),
                       [](const SettlementRecord& record) { return IsFinalStatus(record.status); });
}

std::string SimReport::Name(const std::string& steam_id) const {
    const auto found = names_.find(steam_id);
    return found != names_.end() ? found->second : steam_id;
}

std::map<std::string, SimReport::PlayerTotals> SimReport::Totals() const {
    std::map<std::string, PlayerTotals> totals;
    for (const auto& [steam_id, name] : names_) {
        totals[steam_id].name = name;
    }
    for (const SettlementRecord& record : settlements_) {
        for (const RewardLine& reward : record.rewards) {
            PlayerTotals& player = totals[reward.steam_id];
            player.earned += reward.amount;
            player.kills += reward.kills;
            player.damage += reward.damage;
        }
        for (const SpendLine& spend : record.spends) {
            totals[spend.steam_id].spent += spend.amount;
        }
    }
    for (auto& [steam_id, player] : totals) {
        player.name = Name(steam_id);
        const auto kills = logged_kills_.find(steam_id);
        player.logged_kills = kills != logged_kills_.end() ? kills->second : 0;
        const auto damage = logged_damage_.find(steam_id);
        player.logged_damage = damage != logged_damage_.end() ? damage->second : 0;
    }
    return totals;
}

std::vector<std::string> SimReport::IdentityProblems() const {
    std::vector<std::string> problems;
    for (const auto& [steam_id, player] : Totals()) {
        if (player.earned == 0 && player.kills == 0 && player.damage == 0) {
            continue;
        }
        if (IsPlaceholder(steam_id) || names_.count(steam_id) == 0) {
            problems.push_back("rewards \"" + steam_id + "\", who is no player of the log");
        } else if (player.kills > player.logged_kills) {
            problems.push_back("credits " + std::to_string(player.kills) + " kills to " +
                               player.name + " (" + steam_id + "); the log shows " +
                               std::to_string(player.logged_kills));
        } else if (player.damage > player.logged_damage) {
            problems.push_back("credits " + std::to_string(player.damage) + " damage to " +
                               player.name + " (" + steam_id + "); the log shows " +
                               std::to_string(player.logged_damage));
        }
    }
    return problems;
}

void SimReport::PrintRound() {
    if (round_printed_) {
        return;
    }
    round_printed_ = true;
    const RoundRecord& round = rounds_.back();
    const bool quiet = round.kills_credited == 0 && round.attacks_credited == 0 &&
                       round.kill_refusals.empty() && round.damage_refusals.empty() &&
                       round.ignored.empty() && round.settlements.empty() && round.buys.empty();
    if (round.number == 0 && quiet) {
        return;
    }
    out_ << "== "
         << (round.number == 0 ? std::string("Before the first round")
                               : "Round " + std::to_string(round.number))
         << "  " << round.map << "  " << round.began << " - " << clock_ << "\n";
    out_ << "   kills      " << round.kills_credited << " credited, " << Sum(round.kill_refusals)
         << " refused"
         << (round.kill_refusals.empty() ? "" : " (" + Join(round.kill_refusals) + ")") << "\n";
    out_ << "   damage     " << round.attacks_credited << " hits credited ("
         << round.damage_credited << " hp), " << Sum(round.damage_refusals) << " refused"
         << (round.damage_refusals.empty() ? "" : " (" + Join(round.damage_refusals) + ")") << "\n";
    if (!round.ignored.empty()) {
        out_ << "   not taken  " << Join(round.ignored) << "\n";
    }
    if (!round.start_reason.empty() || !round.end_reason.empty()) {
        out_ << "   plugin     round start "
             << (round.start_reason.empty() ? "-" : round.start_reason) << ", round end "
             << (round.end_reason.empty() ? "-" : round.end_reason) << "\n";
    }
    if (!round.buys.empty()) {
        out_ << "   buys       " << Join(round.buys) << "\n";
    }
    for (const std::string& request_id : round.settlements) {
        const SettlementRecord& record = Settlement(request_id);
        std::map<std::string, std::uint64_t> rewards;
        std::map<std::string, std::uint64_t> spends;
        for (const RewardLine& reward : record.rewards) {
            rewards[Name(reward.steam_id)] += reward.amount;
        }
        for (const SpendLine& spend : record.spends) {
            spends[Name(spend.steam_id)] += spend.amount;
        }
        out_ << "   settlement " << request_id << " (round " << record.round
             << "): " << record.status << "\n";
        std::string line;
        for (const auto& [name, amount] : rewards) {
            line += (line.empty() ? "" : ", ") + name + " " + std::to_string(amount);
        }
        out_ << "     rewards  " << (line.empty() ? "none" : line) << "\n";
        line.clear();
        for (const auto& [name, amount] : spends) {
            line += (line.empty() ? "" : ", ") + name + " " + std::to_string(amount);
        }
        if (!line.empty()) {
            out_ << "     spends   " << line << "\n";
        }
    }
    if (!round.telemetry.empty()) {
        out_ << "   posts      " << Join(round.telemetry) << "\n";
    }
    if (!round.engine.empty()) {
        out_ << "   engine     " << Join(round.engine) << "\n";
    }
}

void SimReport::PrintSummary(const Tally& refusal_totals,
                             const std::vector<std::string>& engine_notes) {
    PrintRound();
    rounds_.back().ended = clock_;
    out_ << "== Players (from the settlements the plugin posted)\n";
    out_ << "   " << std::left << std::setw(24) << "player" << std::setw(22) << "steam id"
         << std::right << std::setw(9) << "earned" << std::setw(8) << "spent" << std::setw(7)
         << "kills" << std::setw(8) << "damage"
         << "\n";
    for (const auto& [steam_id, player] : Totals()) {
        out_ << "   " << std::left << std::setw(24) << player.name.substr(0, 23) << std::setw(22)
             << steam_id << std::right << std::setw(9) << player.earned << std::setw(8)
             << player.spent << std::setw(7) << player.kills << std::setw(8) << player.damage
             << "\n";
    }
    Tally statuses;
    for (const SettlementRecord& record : settlements_) {
        ++statuses[record.status];
    }
    out_ << "== Settlements: " << settlements_.size() << " posted"
         << (statuses.empty() ? "" : " (" + Join(statuses) + ")") << "\n";
    for (const SettlementRecord& record : settlements_) {
        if (!record.error.empty() && record.status != "included" && record.status != "finalized") {
            out_ << "   " << record.request_id << ": " << record.error << "\n";
        }
    }
    out_ << "== Refusals by rule: " << (refusal_totals.empty() ? "none" : Join(refusal_totals))
         << "\n";
    out_ << "== Backend posts by endpoint: "
         << (telemetry_totals_.empty() ? "none" : Join(telemetry_totals_)) << "\n";
    for (const std::string& note : engine_notes) {
        out_ << "== " << note << "\n";
    }
    out_ << "== Longest call into the plugin: " << std::fixed << std::setprecision(2)
         << run_.longest_hook_ms << " ms (" << run_.longest_hook << ")\n"
         << std::defaultfloat;
    // The start, the middle and the end of the run.
    const std::size_t samples = run_.usage.size();
    std::vector<std::size_t> shown;
    for (const std::size_t i : {std::size_t{0}, samples / 2, samples - 1}) {
        if (i < samples && (shown.empty() || shown.back() != i)) {
            shown.push_back(i);
            out_ << "== Process at " << run_.usage[i].first << ": "
                 << DescribeUsage(run_.usage[i].second) << "\n";
        }
    }
}

std::string SimReport::Json(const Tally& refusal_totals) const {
    std::ostringstream json;
    json << "{\"rounds\":[";
    for (std::size_t i = 0; i < rounds_.size(); ++i) {
        const RoundRecord& round = rounds_[i];
        json << (i > 0 ? "," : "") << "{\"number\":" << round.number
             << ",\"map\":" << JsonQuote(round.map) << ",\"began\":" << JsonQuote(round.began)
             << ",\"ended\":" << JsonQuote(round.ended)
             << ",\"killsCredited\":" << round.kills_credited
             << ",\"attacksCredited\":" << round.attacks_credited
             << ",\"damageCredited\":" << round.damage_credited
             << ",\"killRefusals\":" << TallyJson(round.kill_refusals)
             << ",\"damageRefusals\":" << TallyJson(round.damage_refusals)
             << ",\"ignored\":" << TallyJson(round.ignored) << ",\"buys\":" << TallyJson(round.buys)
             << ",\"startReason\":" << JsonQuote(round.start_reason)
             << ",\"endReason\":" << JsonQuote(round.end_reason)
             << ",\"posts\":" << TallyJson(round.telemetry)
             << ",\"engine\":" << TallyJson(round.engine) << ",\"settlements\":[";
        for (std::size_t s = 0; s < round.settlements.size(); ++s) {
            json << (s > 0 ? "," : "") << JsonQuote(round.settlements[s]);
        }
        json << "]}";
    }
    json << "],\"settlements\":[";
    for (std::size_t i = 0; i < settlements_.size(); ++i) {
        const SettlementRecord& record = settlements_[i];
        json << (i > 0 ? "," : "") << "{\"requestId\":" << JsonQuote(record.request_id)
             << ",\"round\":" << record.round << ",\"logRound\":" << record.log_round
             << ",\"status\":" << JsonQuote(record.status)
             << ",\"accepted\":" << (record.accepted ? "true" : "false")
             << ",\"posts\":" << record.posts << ",\"polls\":" << record.polls
             << ",\"error\":" << JsonQuote(record.error)
             << ",\"givenUp\":" << JsonQuote(record.given_up) << ",\"rewards\":[";
        for (std::size_t r = 0; r < record.rewards.size(); ++r) {
            const RewardLine& reward = record.rewards[r];
            json << (r > 0 ? "," : "") << "{\"steamId\":" << JsonQuote(reward.steam_id)
                 << ",\"kills\":" << reward.kills << ",\"damage\":" << reward.damage
                 << ",\"amount\":\"" << reward.amount << "\"}";
        }
        json << "],\"spends\":[";
        for (std::size_t s = 0; s < record.spends.size(); ++s) {
            const SpendLine& spend = record.spends[s];
            json << (s > 0 ? "," : "") << "{\"steamId\":" << JsonQuote(spend.steam_id)
                 << ",\"weapon\":" << JsonQuote(spend.weapon) << ",\"amount\":\"" << spend.amount
                 << "\"}";
        }
        json << "]}";
    }
    json << "],\"players\":[";
    bool first = true;
    for (const auto& [steam_id, player] : Totals()) {
        json << (first ? "" : ",") << "{\"steamId\":" << JsonQuote(steam_id)
             << ",\"name\":" << JsonQuote(player.name) << ",\"earned\":\"" << player.earned
             << "\",\"spent\":\"" << player.spent << "\",\"kills\":" << player.kills
             << ",\"damage\":" << player.damage << ",\"loggedKills\":" << player.logged_kills
             << ",\"loggedDamage\":" << player.logged_damage << "}";
        first = false;
    }
    json << "],\"refusals\":" << TallyJson(refusal_totals)
         << ",\"posts\":" << TallyJson(telemetry_totals_) << ",\"problems\":[";
    std::vector<std::string> problems = problems_;
    for (const std::string& problem : IdentityProblems()) {
        problems.push_back(problem);
    }
    for (std::size_t i = 0; i < problems.size(); ++i) {
        json << (i > 0 ? "," : "") << JsonQuote(problems[i]);
    }
    json << "],\"run\":{\"longestHookMs\":" << run_.longest_hook_ms
         << ",\"longestHook\":" << JsonQuote(run_.longest_hook) << ",\"usage\":[";
    for (std::size_t i = 0; i < run_.usage.size(); ++i) {
        const ProcessUsage& usage = run_.usage[i].second;
        json << (i > 0 ? "," : "") << "{\"at\":" << JsonQuote(run_.usage[i].first)
             << ",\"heapBytes\":" << usage.heap_bytes
             << ",\"residentBytes\":" << usage.resident_bytes
             << ",\"openDescriptors\":" << usage.open_descriptors << "}";
    }
    json << "]}}\n";
    return json.str();
}

void SimReport::ReleaseRecords() {
    std::vector<RoundRecord>().swap(rounds_);
    std::vector<SettlementRecord>().swap(settlements_);
    names_.clear();
    logged_kills_.clear();
    logged_damage_.clear();
    telemetry_totals_.clear();
}

}  // namespace ironpost::sim
