#pragma once

// A minimal engine and loader for the engine-layer targets: every function
// the plugin calls is there and quiet, the client command and the players'
// ids come from fields a target sets, and the loader knows the game's usual
// user-message ids. One per process (Fake()).

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ironpost_metamod_sdk_engine_imports.h"

namespace ironpost::fuzz {

struct Engine {
    enginefuncs_t table{};
    globalvars_t globals{};
    mutil_funcs_t utility{};
    plugin_info_t plugin{};
    edict_t edicts[kMaxClientSlots + 1]{};
    int user_ids[kMaxClientSlots + 1]{};
    std::vector<std::string> argv;
    std::int32_t argc = 0;
    std::optional<std::string> args;
    std::optional<std::string> auth_ids[kMaxClientSlots + 1];  // none: null
    std::string game_dir = "cstrike";
    std::vector<cvar_t*> cvars;  // like the engine, kept for the life of the process
};

// The game's own ids, as the loader reports them once a map is loaded.
inline constexpr std::pair<const char*, int> kGameMessageIds[] = {
    {"TeamInfo", 86}, {"DeathMsg", 83}, {"Damage", 71},     {"MOTD", 104}, {"ShowMenu", 96},
    {"TextMsg", 77},  {"SayText", 76},  {"SendAudio", 100}, {"HLTV", 108}, {"ResetHUD", 79}};

inline Engine& Fake() {
    static Engine* engine = new Engine();
    return *engine;
}

inline void IgnoreAlert(ALERT_TYPE, const char*, ...) {}

// Fills the tables once; the loader's start-up hands them to the plugin.
inline Engine& InstalledFake() {
    static const bool filled = [] {
        enginefuncs_t& t = Fake().table;
        Fake().globals.time = 1.0f;
        Fake().globals.maxClients = kMaxClientSlots;
        t.pfnCVarRegister = [](cvar_t* cvar) { Fake().cvars.push_back(cvar); };
        t.pfnCVarGetPointer = [](const char*) -> cvar_t* { return nullptr; };
        t.pfnGetPlayerAuthId = [](edict_t* edict) -> const char* {
            const auto& id = Fake().auth_ids[Fake().table.pfnIndexOfEdict(edict)];
            return id ? id->c_str() : nullptr;
        };
        t.pfnIndexOfEdict = [](const edict_t* edict) {
            const edict_t* first = Fake().edicts;
            return edict >= first && edict <= first + kMaxClientSlots
                       ? static_cast<int>(edict - first)
                       : 0;
        };
        t.pfnPEntityOfEntIndex = [](int index) -> edict_t* {
            return index >= 0 && index <= kMaxClientSlots ? &Fake().edicts[index] : nullptr;
        };
        t.pfnGetPlayerUserId = [](edict_t* edict) {
            return Fake().user_ids[Fake().table.pfnIndexOfEdict(edict)];
        };
        t.pfnCmd_Argc = [] { return Fake().argc; };
        t.pfnCmd_Argv = [](int index) -> const char* {
            const auto& argv = Fake().argv;
            return index >= 0 && index < static_cast<int>(argv.size()) ? argv[index].c_str() : "";
        };
        t.pfnCmd_Args = []() -> const char* {
            return Fake().args ? Fake().args->c_str() : nullptr;
        };
        t.pfnClientPrintf = [](edict_t*, PRINT_TYPE, const char*) {};
        t.pfnServerPrint = [](const char*) {};
        t.pfnAlertMessage = &IgnoreAlert;
        t.pfnMessageBegin = [](int, int, const float*, edict_t*) {};
        t.pfnMessageEnd = [] {};
        t.pfnWriteByte = [](int) {};
        t.pfnWriteChar = [](int) {};
        t.pfnWriteShort = [](int) {};
        t.pfnWriteString = [](const char*) {};
        t.pfnRegUserMsg = [](const char*, int) { return 0; };
        t.pfnServerCommand = [](const char*) {};
        t.pfnAddServerCommand = [](const char*, void (*)()) {};
        t.pfnGetGameDir = [](char* buffer) { std::strcpy(buffer, Fake().game_dir.c_str()); };
        Fake().utility.pfnGetUserMsgID = [](plid_t, const char* name, int* size) {
            for (const auto& [known, id] : kGameMessageIds) {
                if (std::strcmp(known, name) == 0) {
                    if (size != nullptr) {
                        *size = -1;
                    }
                    return id;
                }
            }
            return 0;
        };
        return true;
    }();
    (void)filled;
    return Fake();
}

}  // namespace ironpost::fuzz
