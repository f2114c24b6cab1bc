#pragma once

// The records the engine layer speaks in: what the engine reported, keyed by
// player slot (the engine's 1-based client entity index), and the outcome of
// handing one of them to the host. Plain values without engine types, so the
// engine-neutral dispatcher can include this file.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ironpost_plugin.h"

namespace ironpost {

struct MetamodSdkClientConnectEvent {
    std::int32_t slot = 0;
    std::string name;
    std::string steam_id;  // the engine's authentication id text
    bool is_bot = false;
};

struct MetamodSdkClientDisconnectEvent {
    std::int32_t slot = 0;
};

struct MetamodSdkClientCommandEvent {
    std::int32_t slot = 0;
    std::string command;            // argument 0, unchanged
    std::vector<std::string> args;  // arguments 1..n; empty ones stay
};

struct MetamodSdkStartFrameEvent {
    std::uint64_t now_ms = 0;
};

struct MetamodSdkTeamInfoEvent {
    std::int32_t slot = 0;
    std::string team_name;  // the game's team name, e.g. "TERRORIST"
};

struct MetamodSdkRoundStartEvent {
    std::uint32_t round_number = 0;
};

struct MetamodSdkRoundEndEvent {
    std::uint64_t now_ms = 0;
    std::string request_id;
    std::string received_at;
    std::string server_id;
    std::string session_id;
    std::string map_name_hash;
    std::string previous_round_hash;
    std::string roster_root;
    std::string config_hash;
};

struct MetamodSdkDamageEvent {
    std::int32_t attacker_slot = 0;
    std::int32_t victim_slot = 0;
    std::uint64_t damage = 0;  // hit points
};

struct MetamodSdkDeathMsgEvent {
    std::int32_t killer_slot = 0;
    std::int32_t victim_slot = 0;
    bool headshot = false;
};

struct MetamodSdkRoundWinEvent {
    std::int32_t slot = 0;
};

struct MetamodSdkWeaponPurchaseEvent {
    std::int32_t slot = 0;
    std::string weapon_id;
    std::uint64_t zolt_cost = 0;  // atomic token units
    std::uint32_t round_number = 0;
};

struct MetamodSdkWeaponStatsEvent {
    std::int32_t slot = 0;
    std::uint32_t shots_fired = 0;
    std::uint32_t shots_hit = 0;
};

struct MetamodSdkBuySetupEvent {};

// The outcome of one dispatched callback.
struct MetamodSdkDispatchResult {
    bool adapter_bound = false;    // an adapter was bound and the host was called
    bool handled = false;          // the host handled the callback
    bool accepted = false;         // the host accepted the event
    bool retry_attempted = false;  // StartFrame only: a settlement retry was attempted
    std::string callback_name;
    std::string reason;
    std::vector<std::string> errors;
    std::optional<AlphaTeamPolicySnapshot> alpha_team_policy;      // StartFrame only
    std::vector<AlphaTeamPolicyAction> alpha_team_policy_actions;  // StartFrame only
    std::uint32_t notifications_published = 0;
};

}  // namespace ironpost
