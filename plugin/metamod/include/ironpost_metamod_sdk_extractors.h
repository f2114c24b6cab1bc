#pragma once

// Turns raw engine input (an edict, the engine's command arguments, plain
// values handed to the direct entry functions, the bytes of a user message)
// into the SDK event records, and rejects input that cannot describe a real
// game event. Every extractor returns `extracted` and a `status`, and leaves
// that status in its kind's last-status text. Main thread only; nothing
// here throws for bad input.

#include <cstddef>
#include <cstdint>
#include <string>

#include "ironpost_metamod_sdk_engine_imports.h"
#include "ironpost_metamod_sdk_events.h"

namespace ironpost {

struct MetamodSdkSlotExtractionResult {
    bool extracted = false;
    std::int32_t slot = 0;
    std::string status;
};

struct MetamodSdkCommandExtractionResult {
    bool extracted = false;
    std::int32_t argc = 0;  // the engine's argument count, command included
    std::string raw_args;   // the engine's whole argument text after the command
    MetamodSdkClientCommandEvent event;
    std::string status;
};

// The result of every event extractor; a refusal carries a default event.
template <typename Event>
struct MetamodSdkEventExtractionResult {
    bool extracted = false;
    Event event;
    std::string status;
};

using MetamodSdkClientConnectExtractionResult =
    MetamodSdkEventExtractionResult<MetamodSdkClientConnectEvent>;
using MetamodSdkTeamInfoExtractionResult = MetamodSdkEventExtractionResult<MetamodSdkTeamInfoEvent>;
using MetamodSdkDeathMsgExtractionResult = MetamodSdkEventExtractionResult<MetamodSdkDeathMsgEvent>;
using MetamodSdkDamageExtractionResult = MetamodSdkEventExtractionResult<MetamodSdkDamageEvent>;
using MetamodSdkRoundStartExtractionResult =
    MetamodSdkEventExtractionResult<MetamodSdkRoundStartEvent>;
using MetamodSdkRoundEndExtractionResult = MetamodSdkEventExtractionResult<MetamodSdkRoundEndEvent>;
using MetamodSdkRoundWinExtractionResult = MetamodSdkEventExtractionResult<MetamodSdkRoundWinEvent>;
using MetamodSdkWeaponPurchaseExtractionResult =
    MetamodSdkEventExtractionResult<MetamodSdkWeaponPurchaseEvent>;
using MetamodSdkBuySetupExtractionResult = MetamodSdkEventExtractionResult<MetamodSdkBuySetupEvent>;

// The engine tokenises at most this many arguments; more are not read.
inline constexpr std::int32_t kMaxCommandArguments = 80;

// The client slot of an edict (1-based), through pfnIndexOfEdict.
[[nodiscard]] MetamodSdkSlotExtractionResult IronpostExtractMetamodSdkSlot(const edict_t* edict);
// A connecting client. A bot (fake-client flag) without an id becomes "BOT".
[[nodiscard]] MetamodSdkClientConnectExtractionResult IronpostExtractMetamodSdkClientConnect(
    edict_t* edict, const char* name);
// The command the engine is running for `edict`, with its arguments in order.
[[nodiscard]] MetamodSdkCommandExtractionResult IronpostExtractMetamodSdkClientCommand(
    const edict_t* edict);
[[nodiscard]] MetamodSdkTeamInfoExtractionResult IronpostExtractMetamodSdkTeamInfo(
    std::int32_t slot, const char* team);
[[nodiscard]] MetamodSdkDeathMsgExtractionResult IronpostExtractMetamodSdkDeathMsg(
    std::int32_t killer, std::int32_t victim, std::int32_t headshot);
[[nodiscard]] MetamodSdkDamageExtractionResult IronpostExtractMetamodSdkDamage(
    std::int32_t attacker, std::int32_t victim, std::uint64_t damage);

// Payload decoders. TeamInfo and DeathMsg match the game's own messages
// (slot then team name; killer, victim, headshot, then a weapon name that is
// ignored). The Damage decoder reads the plugin's own layout (attacker,
// victim, damage, one more byte); the game's "Damage" message is sent to the
// victim and carries no attacker, so it must never be decoded with this.
[[nodiscard]] MetamodSdkTeamInfoExtractionResult IronpostExtractMetamodSdkTeamInfoUserMessage(
    const std::uint8_t* payload, std::size_t length);
[[nodiscard]] MetamodSdkDeathMsgExtractionResult IronpostExtractMetamodSdkDeathMsgUserMessage(
    const std::uint8_t* payload, std::size_t length);
[[nodiscard]] MetamodSdkDamageExtractionResult IronpostExtractMetamodSdkDamageUserMessage(
    const std::uint8_t* payload, std::size_t length);

[[nodiscard]] MetamodSdkRoundStartExtractionResult IronpostExtractMetamodSdkRoundStart(
    std::uint32_t round_number);
// Every text must be non-empty (null counts as empty); now_ms is not checked.
[[nodiscard]] MetamodSdkRoundEndExtractionResult IronpostExtractMetamodSdkRoundEnd(
    std::uint64_t now_ms, const char* request_id, const char* received_at, const char* server_id,
    const char* session_id, const char* map_name_hash, const char* previous_round_hash,
    const char* roster_root, const char* config_hash);
[[nodiscard]] MetamodSdkRoundWinExtractionResult IronpostExtractMetamodSdkRoundWin(
    std::int32_t slot);
[[nodiscard]] MetamodSdkWeaponPurchaseExtractionResult IronpostExtractMetamodSdkWeaponPurchase(
    std::int32_t slot, const char* weapon, std::uint64_t cost, std::uint32_t round_number);
[[nodiscard]] MetamodSdkBuySetupExtractionResult IronpostExtractMetamodSdkBuySetup();

}  // namespace ironpost

// The last status of each extractor kind; "" before the first call.
IRONPOST_EXPORT const char* ironpost_metamod_sdk_last_slot_extraction_status();
IRONPOST_EXPORT const char* ironpost_metamod_sdk_last_command_extraction_status();
IRONPOST_EXPORT const char* ironpost_metamod_sdk_last_client_connect_extraction_status();
IRONPOST_EXPORT const char* ironpost_metamod_sdk_last_team_info_extraction_status();
IRONPOST_EXPORT const char* ironpost_metamod_sdk_last_death_msg_extraction_status();
IRONPOST_EXPORT const char* ironpost_metamod_sdk_last_damage_extraction_status();
IRONPOST_EXPORT const char* ironpost_metamod_sdk_last_round_start_extraction_status();
IRONPOST_EXPORT const char* ironpost_metamod_sdk_last_round_end_extraction_status();
IRONPOST_EXPORT const char* ironpost_metamod_sdk_last_round_win_extraction_status();
IRONPOST_EXPORT const char* ironpost_metamod_sdk_last_weapon_purchase_extraction_status();
IRONPOST_EXPORT const char* ironpost_metamod_sdk_last_buy_setup_extraction_status();
