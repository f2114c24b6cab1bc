#pragma once

// What a replay shows: per round of the log, the kills and damage the plugin
// credited and refused (by the rule that refused them), the simulated buys,
// the settlements it posted with the relay status the backend confirmed, the
// telemetry posts by endpoint and what the engine received; at the end the
// totals per player, and a check that no player was credited for play the
// log does not show them making. Written as text and as a JSON document.

#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "sim_engine.h"
#include "sim_tap.h"
#include "sim_usage.h"

namespace ironpost::sim {

struct RewardLine {
    std::string steam_id;
    std::int64_t slot = 0;
    std::uint64_t kills = 0;
    std::uint64_t damage = 0;
    std::uint64_t amount = 0;
};

struct SpendLine {
    std::string steam_id;
    std::string weapon;
    std::uint64_t amount = 0;
};

struct SettlementRecord {
    std::string request_id;
    std::uint64_t round = 0;  // the draft's round number
    int log_round = 0;        // the log round it was first posted in
    std::vector<RewardLine> rewards;
    std::vector<SpendLine> spends;
    std::vector<SpendLine> transfers;  // weapon: the receiving steam id
    int posts = 0;
    int polls = 0;
    bool accepted = false;
    std::string status = "unanswered";  // the relay status the backend last confirmed
    std::string error;                  // the last refusal or failure
    std::string given_up;               // the plugin's own line when it stopped sending it
};

// How the run went for the server: the longest call into the plugin, and
// what the process held at points of the run (start, each map, the end).
struct RunFigures {
    double longest_hook_ms = 0;
    std::string longest_hook;
    std::vector<std::pair<std::string, ProcessUsage>> usage;
};

// A count per reason, in name order.
using Tally = std::map<std::string, long>;

struct RoundRecord {
    int number = 0;  // 0: before the first round start
    std::string map;
    std::string began;
    std::string ended;
    long kills_credited = 0;
    long attacks_credited = 0;
    std::uint64_t damage_credited = 0;
    Tally kill_refusals;                   // by rule
    Tally damage_refusals;                 // by rule
    Tally ignored;                         // combat lines the plugin did not take, by its reason
    Tally buys;                            // by the purchase decision's reason
    Tally telemetry;                       // posts by endpoint
    Tally engine;                          // what the engine received, by kind
    std::vector<std::string> settlements;  // request ids first posted in this round
    std::string start_reason;  // what the plugin made of the round's start and end lines
    std::string end_reason;
};

class SimReport {
  public:
    explicit SimReport(std::ostream& out) : out_(out) {}

    // Rounds follow the log: a round runs from one Round_Start to the next
    // and begins at the clock last noted.
    void BeginRound(const std::string& map);
    void NoteClock(const std::string& clock) { clock_ = clock; }
    [[nodiscard]] RoundRecord& Round() { return rounds_.back(); }
    // Prints the running round's block (once).
    void PrintRound();

    // What the plugin sent and what the backend answered.
    void NoteExchange(const TapExchange& exchange);
    // What the engine received.
    void NoteEngineOutput(const EngineOutput& output);
    // Players by steam id, and the play the log credits them with.
    void NotePlayer(const std::string& steam_id, const std::string& name);
    void NoteLoggedKill(const std::string& killer_steam_id);
    void NoteLoggedDamage(const std::string& attacker_steam_id, std::uint64_t damage);
    void NoteProblem(const std::string& problem) { problems_.push_back(problem); }
    void NoteUsage(const std::string& at) { run_.usage.emplace_back(at, SampleProcessUsage()); }
    void NoteLongestHook(double ms, const std::string& hook) {
        run_.longest_hook_ms = ms;
        run_.longest_hook = hook;
    }
    [[nodiscard]] const RunFigures& Run() const { return run_; }

    // Every settlement seen has an answer that ends its relay: included,
    // finalized or failed, or a refusal.
    [[nodiscard]] bool SettlementsSettled() const;
    [[nodiscard]] const std::vector<SettlementRecord>& Settlements() const { return settlements_; }
    // Rewards naming a player the log never shows, or more than the log shows them making.
    [[nodiscard]] std::vector<std::string> IdentityProblems() const;
    [[nodiscard]] const std::vector<std::string>& Problems() const { return problems_; }

    void PrintSummary(const Tally& refusal_totals, const std::vector<std::string>& engine_notes);
    [[nodiscard]] std::string Json(const Tally& refusal_totals) const;
    // Frees every round, settlement and player record, once reported.
    void ReleaseRecords();

  private:
    struct PlayerTotals {
        std::string name;
        std::uint64_t earned = 0;
        std::uint64_t spent = 0;
        std::uint64_t kills = 0;
        std::uint64_t damage = 0;
        std::uint64_t logged_kills = 0;
        std::uint64_t logged_damage = 0;
    };
    SettlementRecord& Settlement(const std::string& request_id);
    [[nodiscard]] std::string Name(const std::string& steam_id) const;
    [[nodiscard]] std::map<std::string, PlayerTotals> Totals() const;

    std::ostream& out_;
    std::string clock_;
    std::vector<RoundRecord> rounds_ = {RoundRecord{}};
    bool round_printed_ = false;
    std::vector<SettlementRecord> settlements_;
    std::map<std::string, std::string> names_;
    std::map<std::string, std::uint64_t> logged_kills_;
    std::map<std::string, std::uint64_t> logged_damage_;
    Tally telemetry_totals_;
    std::vector<std::string> problems_;
    RunFigures run_;
};

}  // namespace ironpost::sim
