// The alpha team and bot policy: on a small server a lone human gets bots on
// the other team, two or more humans play without bots, and an empty server
// or a lone human off the teams goes back to neutral settings. The policy
// only names server commands; the frame loop runs them under a budget.
// It runs every frame, so it remembers what it asked for and stays quiet
// until something changes.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "ironpost_plugin.h"

namespace ironpost {

namespace {

constexpr std::uint32_t kMaxOneHumanBots = 2;

const char* const kNeutralizeCommands[] = {
    "yb_quota 0",           "yb kickall instant",   "yb_join_team any",
    "humans_join_team any", "mp_autoteambalance 1", "mp_limitteams 2",
};
const char* const kResetCommands[] = {"yb_quota 0", "yb kickall instant", "yb_join_team any"};
constexpr const char* kRestartRound = "sv_restartround 1";

bool HasCommand(const AlphaTeamPolicySnapshot& snapshot, const std::string& command) {
    return std::any_of(
        snapshot.actions.begin(), snapshot.actions.end(),
        [&](const AlphaTeamPolicyAction& action) { return action.command == command; });
}

// Adds a server command unless the snapshot already carries it.
void AddCommand(AlphaTeamPolicySnapshot& snapshot, const std::string& command) {
    if (HasCommand(snapshot, command)) {
        return;
    }
    AlphaTeamPolicyAction action;
    action.kind = AlphaTeamPolicyActionKind::ServerCommand;
    action.command = command;
    action.slot = 0;
    action.target_role = PlayerRole::Unassigned;
    snapshot.actions.push_back(action);
}

template <std::size_t N>
void AddCommands(AlphaTeamPolicySnapshot& snapshot, const char* const (&commands)[N]) {
    for (const char* command : commands) {
        AddCommand(snapshot, command);
    }
}

std::string PolicySignature(const AlphaTeamPolicySnapshot& snapshot) {
    std::string signature = snapshot.state;
    signature += "|" + std::to_string(snapshot.human_count);
    signature += "|" + std::to_string(snapshot.bot_count);
    signature += "|" + std::to_string(snapshot.desired_bot_count);
    signature += "|";
    signature += RoleName(snapshot.desired_bot_team);
    signature += snapshot.satisfied ? "|1" : "|0";
    for (const AlphaTeamPolicyAction& action : snapshot.actions) {
        signature += "|";
        signature += AlphaTeamPolicyActionKindName(action.kind);
        signature += ":" + action.command + ":" + std::to_string(action.slot) + ":";
        signature += RoleName(action.target_role);
    }
    return signature;
}

// True while `now_ms` is within `interval_ms` after `since_ms`; a clock that
// went backwards counts as within.
bool WithinInterval(std::uint64_t now_ms, std::uint64_t since_ms, std::uint64_t interval_ms) {
    return now_ms < since_ms || now_ms - since_ms < interval_ms;
}

bool IsNeutralState(const std::string& state) {
    return state == "EmptyServer" || state == "WaitingForHumanTeam" ||
           state == "OneHumanSpectatorIdle" || state == "TwoHumanPvP";
}

}  // namespace

const char* AlphaTeamPolicyActionKindName(AlphaTeamPolicyActionKind kind) {
    return kind == AlphaTeamPolicyActionKind::MovePlayerTeam ? "move_player_team"
                                                             : "server_command";
}

AlphaTeamPolicySnapshot PluginRuntime::CurrentAlphaTeamPolicy() const {
    return alpha_team_policy_;
}

AlphaTeamPolicySnapshot PluginRuntime::ReconcileAlphaTeamPolicy(std::uint64_t now_ms, bool force) {
    if (!loaded_) {
        AlphaTeamPolicySnapshot disabled;
        disabled.enabled = false;
        disabled.state = "Disabled";
        disabled.checked_at_ms = now_ms;
        alpha_team_policy_ = disabled;
        return disabled;
    }
    const std::uint64_t interval_ms =
        static_cast<std::uint64_t>(config_.alpha_policy_interval_seconds) * 1000u;
    if (!force && interval_ms != 0 && last_alpha_policy_ms_ != 0 &&
        WithinInterval(now_ms, last_alpha_policy_ms_, interval_ms)) {
        // Runs every frame: the player list (two strings a player) is left
        // out, so a throttled frame allocates nothing.
        AlphaTeamPolicySnapshot throttled;
        throttled.enabled = alpha_team_policy_.enabled;
        throttled.state = alpha_team_policy_.state;
        throttled.human_count = alpha_team_policy_.human_count;
        throttled.bot_count = alpha_team_policy_.bot_count;
        throttled.desired_bot_count = alpha_team_policy_.desired_bot_count;
        throttled.desired_bot_team = alpha_team_policy_.desired_bot_team;
        throttled.satisfied = alpha_team_policy_.satisfied;
        throttled.last_action = alpha_team_policy_.last_action;
        throttled.last_error = alpha_team_policy_.last_error;
        throttled.checked_at_ms = alpha_team_policy_.checked_at_ms;
        throttled.retry_count = alpha_team_policy_.retry_count;
        return throttled;
    }

    AlphaTeamPolicySnapshot snapshot;
    snapshot.enabled = config_.alpha_team_policy_enabled;
    snapshot.state = "Disabled";
    snapshot.last_action = alpha_team_policy_.last_action;
    snapshot.last_error = alpha_team_policy_.last_error;
    snapshot.checked_at_ms = now_ms;
    snapshot.retry_count = 0;

    std::vector<const ConnectedPlayer*> humans;
    std::vector<const ConnectedPlayer*> bots;
    for (const ConnectedPlayer& player : players_) {
        AlphaTeamPolicyPlayerSnapshot seen;
        seen.slot = player.slot;
        seen.name = player.name;
        seen.steam_id = player.steam_id;
        seen.role = player.role;
        seen.is_bot = player.is_bot;
        seen.join_sequence = player.join_sequence;
        snapshot.players.push_back(std::move(seen));
        if (IsBotPlayer(player)) {
            bots.push_back(&player);
        } else if (IsHumanPlayer(player)) {
            humans.push_back(&player);
        }
    }
    std::stable_sort(humans.begin(), humans.end(),
                     [](const ConnectedPlayer* a, const ConnectedPlayer* b) {
                         return a->join_sequence < b->join_sequence;
                     });
    snapshot.human_count = static_cast<std::uint32_t>(humans.size());
    snapshot.bot_count = static_cast<std::uint32_t>(bots.size());

    if (!snapshot.enabled) {
        last_alpha_policy_ms_ = now_ms;
        alpha_team_policy_ = snapshot;
        return snapshot;
    }

    const bool has_bots = !bots.empty();
    if (humans.empty()) {
        snapshot.state = "EmptyServer";
        const bool was_idle = round_state_.phase == RoundPhase::Idle;
        if (!was_idle) {
            // Nobody is left to play the round; the reset also forgets the
            // policy memory, so the neutral commands below go out again.
            ResetRoundToIdle();
        }
        snapshot.satisfied = !has_bots;
        if (!was_idle || has_bots || last_alpha_policy_neutralize_state_ != "EmptyServer") {
            AddCommands(snapshot, kNeutralizeCommands);
        }
    } else if (humans.size() == 1 && IsPlayingRole(humans.front()->role)) {
        snapshot.state = "OneHumanPvE";
        const PlayerRole human_role = humans.front()->role;
        snapshot.desired_bot_team = human_role == PlayerRole::Terrorist
                                        ? PlayerRole::CounterTerrorist
                                        : PlayerRole::Terrorist;
        snapshot.desired_bot_count = std::min(config_.alpha_one_human_bots, kMaxOneHumanBots);
        const bool any_bot_elsewhere = std::any_of(
            bots.begin(), bots.end(),
            [&](const ConnectedPlayer* bot) { return bot->role != snapshot.desired_bot_team; });
        snapshot.satisfied = !any_bot_elsewhere && snapshot.bot_count == snapshot.desired_bot_count;
        if (!snapshot.satisfied) {
            if (any_bot_elsewhere || snapshot.bot_count > snapshot.desired_bot_count) {
                AddCommands(snapshot, kResetCommands);
            } else {
                // Bots kicked a moment ago may still be leaving; asking for new
                // ones now would count the leaving ones and stop short.
                const bool recent_removal =
                    last_alpha_policy_cleanup_ms_ != 0 && interval_ms != 0 &&
                    WithinInterval(now_ms, last_alpha_policy_cleanup_ms_, interval_ms);
                if (!recent_removal) {
                    AddCommand(snapshot, "humans_join_team any");
                    AddCommand(snapshot, "mp_autoteambalance 0");
                    AddCommand(snapshot, "mp_limitteams 0");
                    AddCommand(snapshot, "yb_quota_mode normal");
                    AddCommand(
                        snapshot,
                        std::string("yb_join_team ") +
                            (snapshot.desired_bot_team == PlayerRole::Terrorist ? "T" : "CT"));
                    AddCommand(snapshot, "yb_quota " + std::to_string(snapshot.desired_bot_count));
                }
            }
        }
    } else if (humans.size() == 1) {
        const bool spectator = humans.front()->role == PlayerRole::Spectator;
        snapshot.state = spectator ? "OneHumanSpectatorIdle" : "WaitingForHumanTeam";
        snapshot.satisfied = !has_bots;
        if (has_bots || last_alpha_policy_neutralize_state_ != snapshot.state) {
            AddCommands(snapshot, kNeutralizeCommands);
            if (spectator) {
                AddCommand(snapshot, kRestartRound);
            }
        }
    } else {
        snapshot.state = "TwoHumanPvP";
        snapshot.satisfied = !has_bots;
        if (has_bots) {
            AddCommands(snapshot, kNeutralizeCommands);
        } else if (last_alpha_policy_neutralize_state_ != "TwoHumanPvP") {
            AddCommand(snapshot, "humans_join_team any");
            AddCommand(snapshot, "mp_autoteambalance 1");
            AddCommand(snapshot, "mp_limitteams 2");
        }
    }

    const std::string signature = PolicySignature(snapshot);
    const bool signature_changed = signature != last_alpha_policy_signature_;
    if (config_.alpha_restart_after_policy_change &&
        round_state_.phase == RoundPhase::RoundActive && signature_changed &&
        !snapshot.actions.empty() && signature != last_alpha_policy_restart_signature_ &&
        snapshot.state != "EmptyServer" && snapshot.state != "WaitingForHumanTeam" &&
        snapshot.state != "OneHumanSpectatorIdle") {
        AddCommand(snapshot, kRestartRound);
        last_alpha_policy_restart_signature_ = signature;
    }
    if (!snapshot.actions.empty()) {
        snapshot.last_action = PolicySignature(snapshot);
        if (HasCommand(snapshot, "yb_quota 0") || HasCommand(snapshot, "yb kickall instant")) {
            last_alpha_policy_cleanup_ms_ = now_ms;
        }
    }
    if (!IsNeutralState(snapshot.state)) {
        last_alpha_policy_neutralize_state_.clear();
    } else if (!snapshot.actions.empty()) {
        last_alpha_policy_neutralize_state_ = snapshot.state;
    }
    if (!signature_changed) {
        snapshot.retry_count = alpha_team_policy_.retry_count;
        if (!snapshot.satisfied &&
            snapshot.retry_count != std::numeric_limits<std::uint32_t>::max()) {
            ++snapshot.retry_count;
        }
    }
    last_alpha_policy_signature_ = signature;
    last_alpha_policy_ms_ = now_ms;
    alpha_team_policy_ = snapshot;
    return snapshot;
}

}  // namespace ironpost
