#pragma once

// The hook tables the loader asks for, the hooks they point to, the frame
// loop, the direct entry functions other code in the server may call with
// decoded game events, and the status functions that report what each did.
//
// The plugin observes the game: the connect hook never refuses a client, the
// command hook never hides a command from the game, and every hook sets the
// loader's result code to "ignored" on every path. Nothing thrown inside
// reaches the engine. Main thread only.

#include <cstdint>

#include "ironpost_export.h"
#include "ironpost_platform_metamod.h"

namespace ironpost {

// The loader's records, kept by the entry points: the utility table from
// Meta_Query, the globals and game tables from a successful Meta_Attach
// (cleared by a successful Meta_Detach).
struct MetamodLoaderGlobals {
    mutil_funcs_t* utility = nullptr;
    meta_globals_t* globals = nullptr;
    gamedll_funcs_t* gamedll = nullptr;
};
[[nodiscard]] MetamodLoaderGlobals& IronpostMetamodLoaderGlobals();

// Sets the running hook's result code when the loader's globals are known.
void SetIronpostMetaResult(META_RES result);

// The engine's game-DLL interface version.
inline constexpr int kGameDllInterfaceVersion = 140;
inline constexpr int kNewDllInterfaceVersion = 1;
// Server commands kept waiting for the budget; beyond this the oldest go.
inline constexpr std::size_t kMaxDeferredServerCommands = 64;

struct MetamodSdkFunctionTableBindingResult {
    bool bound = false;
    std::uint32_t meta_function_count = 0;
    std::uint32_t game_dll_function_count = 0;
    std::uint32_t new_dll_function_count = 0;
    const char* reason = "";
};

// Fills the loader's getter table: GetEntityAPI2, GetNewDLLFunctions and
// GetEngineFunctions (3 entries).
MetamodSdkFunctionTableBindingResult BindIronpostMetamodMetaFunctionTable(META_FUNCTIONS* table);

// Registers the operator commands "csround" and "cssettle" with the engine,
// once per load of the plugin (the loader keeps them after an unload and
// points them at the new code when it registers them again).
void RegisterIronpostMetamodServerCommands();

// Passes `now_ms` to the server-command budget; true when a command may run.
[[nodiscard]] bool ConsumeServerCommandBudget(std::uint64_t now_ms);

}  // namespace ironpost

// Table getters the loader calls through META_FUNCTIONS.
IRONPOST_EXPORT int GetEntityAPI2(DLL_FUNCTIONS* table, int* interface_version);
IRONPOST_EXPORT int GetNewDLLFunctions(NEW_DLL_FUNCTIONS* table, int* interface_version);
IRONPOST_EXPORT int GetEngineFunctions(enginefuncs_t* table, int* interface_version);

// The hooks.
IRONPOST_EXPORT int IronpostMetamodClientConnect(edict_t* edict, const char* name,
                                                 const char* address, char reject_reason[128]);
IRONPOST_EXPORT void IronpostMetamodClientDisconnect(edict_t* edict);
IRONPOST_EXPORT void IronpostMetamodClientCommand(edict_t* edict);
IRONPOST_EXPORT void IronpostMetamodStartFrame();
IRONPOST_EXPORT void IronpostMetamodGameShutdown();

// Decoded game events from other code in the server process.
IRONPOST_EXPORT void IronpostMetamodTeamInfo(int slot, const char* team);
IRONPOST_EXPORT void IronpostMetamodDeathMsg(int killer, int victim, int headshot);
IRONPOST_EXPORT void IronpostMetamodDamage(int attacker, int victim, std::uint64_t damage);
IRONPOST_EXPORT void IronpostMetamodRoundStart(unsigned round_number);
IRONPOST_EXPORT void IronpostMetamodRoundEnd(std::uint64_t now_ms, const char* request_id,
                                             const char* received_at, const char* server_id,
                                             const char* session_id, const char* map_name_hash,
                                             const char* previous_round_hash,
                                             const char* roster_root, const char* config_hash);
IRONPOST_EXPORT void IronpostMetamodRoundWin(int slot);
IRONPOST_EXPORT void IronpostMetamodWeaponPurchase(int slot, const char* weapon, std::uint64_t cost,
                                                   unsigned round_number);
IRONPOST_EXPORT void IronpostMetamodBuySetup();

// What the binding and each hook did last.
IRONPOST_EXPORT const char* ironpost_metamod_sdk_function_binding_status();
IRONPOST_EXPORT unsigned ironpost_metamod_sdk_bound_meta_function_count();
IRONPOST_EXPORT unsigned ironpost_metamod_sdk_bound_game_dll_function_count();
IRONPOST_EXPORT unsigned ironpost_metamod_sdk_bound_new_dll_function_count();
IRONPOST_EXPORT const char* ironpost_metamod_sdk_engine_function_hook_status();
IRONPOST_EXPORT unsigned ironpost_metamod_sdk_bound_engine_function_hook_count();
IRONPOST_EXPORT const char* ironpost_metamod_sdk_last_client_connect_reason();
IRONPOST_EXPORT const char* ironpost_metamod_sdk_last_client_disconnect_reason();
IRONPOST_EXPORT const char* ironpost_metamod_sdk_last_client_command_reason();
IRONPOST_EXPORT const char* ironpost_metamod_sdk_last_start_frame_reason();
IRONPOST_EXPORT const char* ironpost_metamod_sdk_last_team_info_reason();
IRONPOST_EXPORT const char* ironpost_metamod_sdk_last_death_msg_reason();
IRONPOST_EXPORT const char* ironpost_metamod_sdk_last_damage_reason();
IRONPOST_EXPORT const char* ironpost_metamod_sdk_last_round_start_reason();
IRONPOST_EXPORT const char* ironpost_metamod_sdk_last_round_end_reason();
IRONPOST_EXPORT const char* ironpost_metamod_sdk_last_round_win_reason();
IRONPOST_EXPORT const char* ironpost_metamod_sdk_last_weapon_purchase_reason();
IRONPOST_EXPORT const char* ironpost_metamod_sdk_last_weapon_stats_reason();
IRONPOST_EXPORT const char* ironpost_metamod_sdk_last_buy_setup_reason();
IRONPOST_EXPORT const char* ironpost_metamod_sdk_last_game_shutdown_reason();
// The anti-farm rule behind the runtime's last refused reward ("" when none),
// and every rule's count as a JSON object {"rule":count,...}.
IRONPOST_EXPORT const char* ironpost_metamod_sdk_last_refusal_rule();
IRONPOST_EXPORT const char* ironpost_metamod_sdk_refusal_counts_json();
