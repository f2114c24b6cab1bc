#pragma once

// The plugin's only road to the engine and the loader: the captured engine
// function table and globals, the loader's utility table, the one guarded
// path every engine call takes, the ids of the game's own user messages
// (looked up, never created), client-slot helpers over the engine's edicts,
// paths under the game directory, and the guard that keeps exceptions from
// reaching the engine. Main thread only.

#include <array>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "ironpost_export.h"
#include "ironpost_platform_metamod.h"

namespace ironpost {

struct MetamodSdkEngineImportSnapshot {
    bool engine_functions_captured = false;
    bool globals_captured = false;
    bool captured = false;  // both
    std::string status;
};

struct MetamodSdkEngineImportValidationReport {
    bool engine_functions_captured = false;
    bool globals_captured = false;
    bool captured = false;
    bool validated = false;
    std::uint32_t required_engine_import_count = 0;
    std::uint32_t available_engine_import_count = 0;
    std::uint32_t missing_engine_import_count = 0;
    std::vector<std::string> missing_engine_imports;  // in check order
    std::string status;
};

// One of the game's user messages as the loader reports it.
struct MetamodSdkUserMessageRegistration {
    std::string name;
    int size = 0;  // the game's declared payload size, -1 for variable length
    int id = 0;    // 0 while the game has not registered it
    bool registered = false;
    std::string status;
};

struct MetamodSdkUserMessageRegistrationReport {
    bool registered = false;  // every message resolved
    std::uint32_t required_user_message_count = 0;
    std::uint32_t registered_user_message_count = 0;
    std::uint32_t failed_user_message_count = 0;
    std::vector<MetamodSdkUserMessageRegistration> messages;
    std::string status;
};

// How many engine functions the plugin cannot run without.
inline constexpr std::uint32_t kRequiredEngineImportCount = 17;

// The game's user messages the plugin sends or reads. The game registers
// them with its own sizes when a map loads; the plugin only looks them up.
inline constexpr std::array<const char*, 10> kGameUserMessages = {
    "ShowMenu", "MOTD",   "SayText",   "TextMsg", "TeamInfo",
    "DeathMsg", "Damage", "SendAudio", "HLTV",    "ResetHUD"};

// Player slots are edicts 1 .. maxClients; the engine never has more.
inline constexpr int kMaxClientSlots = 32;

// Copies the engine table (all 158 slots) and keeps the globals pointer; a
// null argument clears both.
MetamodSdkEngineImportSnapshot CaptureIronpostMetamodEngineImports(const enginefuncs_t* functions,
                                                                   globalvars_t* globals);
[[nodiscard]] MetamodSdkEngineImportSnapshot IronpostMetamodEngineImportSnapshot();
// The captured table, or null. Call engine functions through EngineCall.
[[nodiscard]] const enginefuncs_t* IronpostMetamodCapturedEngineFunctions();
[[nodiscard]] globalvars_t* IronpostMetamodCapturedGlobals();

// Keeps the loader's utility table and the plugin's identity, which every
// utility call passes first (Meta_Query hands both over); forgets the
// user-message ids found through an earlier one.
void CaptureIronpostMetamodUtilityFunctions(const mutil_funcs_t* utility, plid_t plugin);
[[nodiscard]] const mutil_funcs_t* IronpostMetamodCapturedUtilityFunctions();

// Checks the required engine functions; cheap, runs afresh on every call.
[[nodiscard]] MetamodSdkEngineImportValidationReport IronpostValidateMetamodEngineImports();
// The same verdict without building a report (no allocation).
[[nodiscard]] bool IronpostMetamodEngineImportsValidated();

// Looks up the ids of kGameUserMessages through the loader; ids already
// found are kept, the rest are asked for again on the next call. Never
// registers a message. Never throws: an exception leaves the earlier ids.
[[nodiscard]] MetamodSdkUserMessageRegistrationReport IronpostRegisterMetamodSdkUserMessages();
// Runs the lookup while some id is still unknown; true once all are known.
// Meant for every frame and for server activation: free once resolved.
bool IronpostResolveMetamodSdkUserMessagesIfPending();
// The looked-up id of `name` (exact, case-sensitive), or 0.
[[nodiscard]] int IronpostMetamodSdkUserMessageId(const std::string& name);

// Calls `slot` of `table` when both exist. A void slot gives true when it
// was called; any other gives its result, or nothing when it was missing.
template <typename Table, typename Fn, typename... Args>
[[nodiscard]] auto IronpostTableCall(const Table* table, Fn Table::*slot, Args&&... args) {
    static_assert(std::is_pointer_v<Fn>, "slots are function pointers");
    using Result = std::invoke_result_t<Fn, Args...>;
    const Fn function = table != nullptr ? table->*slot : nullptr;
    if constexpr (std::is_void_v<Result>) {
        if (function == nullptr) {
            return false;
        }
        function(std::forward<Args>(args)...);
        return true;
    } else {
        if (function == nullptr) {
            return std::optional<Result>();
        }
        return std::optional<Result>(function(std::forward<Args>(args)...));
    }
}

// The one way to call the engine: a missing table or function is a result,
// never a null call. Example: EngineCall(&enginefuncs_t::pfnServerPrint, "x\n").
template <typename Fn, typename... Args>
[[nodiscard]] auto EngineCall(Fn enginefuncs_t::*slot, Args&&... args) {
    return IronpostTableCall(IronpostMetamodCapturedEngineFunctions(), slot,
                             std::forward<Args>(args)...);
}

// The same for the loader's utility table; the plugin's identity goes first.
[[nodiscard]] plid_t IronpostMetamodPluginId();
template <typename Fn, typename... Args>
[[nodiscard]] auto MetamodUtilityCall(Fn mutil_funcs_t::*slot, Args&&... args) {
    return IronpostTableCall(IronpostMetamodCapturedUtilityFunctions(), slot,
                             IronpostMetamodPluginId(), std::forward<Args>(args)...);
}

// maxClients from the globals, within 0 .. kMaxClientSlots; 0 without globals.
[[nodiscard]] int IronpostMetamodMaxClients();
// The edict of a player slot when the engine has one in use; null otherwise.
[[nodiscard]] edict_t* IronpostMetamodSlotEdict(int slot);
// The slot's edict when a client is in the server there (in use, spawned by
// the game, FL_CLIENT); null otherwise. Send messages only to these.
[[nodiscard]] edict_t* IronpostMetamodClientEdict(int slot);
// A client in the slot carries the fake-client flag (a bot).
[[nodiscard]] bool IronpostMetamodSlotIsFakeClient(int slot);
// Every bot in the server, found by the fake-client flag over the player
// slots, including bots whose connect the hooks never saw.
[[nodiscard]] std::vector<int> IronpostMetamodFakeClientSlots();
// The slot whose client has this engine user id (the number in log lines);
// 0 when none has.
[[nodiscard]] int IronpostMetamodSlotForUserId(int user_id);

// The engine's authentication id of the client in `slot`, copied at once
// (the engine reuses its buffers); nothing without a client or an answer.
[[nodiscard]] std::optional<std::string> IronpostMetamodClientAuthId(int slot);
// Prints on the server console; skipped without the engine function.
void IronpostMetamodServerPrint(const std::string& text);

// The game directory as the engine reports it: a full path or a name relative
// to the server root (e.g. "cstrike"); empty when unavailable.
[[nodiscard]] std::string IronpostMetamodGameDirectory();
// `path` under `game_directory`; absolute paths and an empty game directory
// leave it unchanged. The server runs from its root, so a relative game
// directory still names the right place.
[[nodiscard]] std::string IronpostResolveAgainstGameDirectory(const std::string& game_directory,
                                                              const std::string& path);
// `path` under the engine's game directory.
[[nodiscard]] std::string IronpostMetamodResolveGamePath(const std::string& path);

// Remembers an exception stopped before it reached the engine or the loader.
void RecordIronpostStoppedException(const char* where, const char* what) noexcept;

// Runs `body` and returns its result; an exception of any kind is recorded
// under `where` and `neutral` is returned instead. Every exported function and
// hook runs its work through this.
template <typename Result, typename Body>
Result IronpostNoThrow(const char* where, Result neutral, Body&& body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (const std::exception& error) {
        RecordIronpostStoppedException(where, error.what());
    } catch (...) {
        RecordIronpostStoppedException(where, "unknown exception");
    }
    return neutral;
}

// The same for work without a result.
template <typename Body>
void IronpostNoThrow(const char* where, Body&& body) noexcept {
    try {
        std::forward<Body>(body)();
    } catch (const std::exception& error) {
        RecordIronpostStoppedException(where, error.what());
    } catch (...) {
        RecordIronpostStoppedException(where, "unknown exception");
    }
}

}  // namespace ironpost

IRONPOST_EXPORT const char* ironpost_metamod_sdk_engine_import_status();
IRONPOST_EXPORT int ironpost_metamod_sdk_engine_imports_captured();
IRONPOST_EXPORT int ironpost_metamod_sdk_engine_functions_captured();
IRONPOST_EXPORT int ironpost_metamod_sdk_globals_captured();
IRONPOST_EXPORT int ironpost_metamod_sdk_engine_imports_validated();
IRONPOST_EXPORT unsigned ironpost_metamod_sdk_required_engine_import_count();
IRONPOST_EXPORT unsigned ironpost_metamod_sdk_available_engine_import_count();
IRONPOST_EXPORT unsigned ironpost_metamod_sdk_missing_engine_import_count();
IRONPOST_EXPORT const char* ironpost_metamod_sdk_engine_import_validation_status();
IRONPOST_EXPORT int ironpost_metamod_sdk_user_messages_registered();
IRONPOST_EXPORT unsigned ironpost_metamod_sdk_required_user_message_count();
IRONPOST_EXPORT unsigned ironpost_metamod_sdk_registered_user_message_count();
IRONPOST_EXPORT int ironpost_metamod_sdk_user_message_id(const char* name);
IRONPOST_EXPORT const char* ironpost_metamod_sdk_user_message_registration_status();
// "where: what" of the last exception stopped at the plugin's edge; "" when none.
IRONPOST_EXPORT const char* ironpost_metamod_sdk_last_stopped_exception();
IRONPOST_EXPORT unsigned ironpost_metamod_sdk_stopped_exception_count();
