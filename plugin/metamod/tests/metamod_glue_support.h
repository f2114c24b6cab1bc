#pragma once

// The plugin as the loader drives it, over the fake engine: a game directory
// with the configuration and key at their default relative places, the
// loader's calls in its order, and the hooks it installed. The process
// object outlives each test, so every test detaches before it ends.

#include <filesystem>
#include <string>

#include "fake_engine.h"
#include "ironpost_metamod_entrypoints.h"
#include "ironpost_metamod_process.h"
#include "ironpost_metamod_sdk_function_binding.h"
#include "ironpost_metamod_sdk_log_source.h"
#include "scripted_http_client.h"

namespace ironpost::glue_test {

using session_test::TempDir;
using testing_support::FakeEngine;

// Worker mode against a closed port: every post fails quickly on a worker.
inline const char kBaseConfig[] =
    "ironpost_server_key_file addons/ironpost/server.key\n"
    "ironpost_backend_url \"http://127.0.0.1:9\"\n"
    "ironpost_server_id srv-1\n"
    "ironpost_http_timeout_ms 300\n"
    "ironpost_alpha_team_policy_enabled 0\n"
    "ironpost_heartbeat_interval_seconds 0\n"
    "ironpost_hud_balance_enabled 0\n";

class LoadedPlugin {
  public:
    explicit LoadedPlugin(const std::string& extra_config = "") {
        std::filesystem::create_directories(dir.Path("addons/ironpost"));
        dir.Write("addons/ironpost/server.key", std::string(session_test::kServerKey) + "\n");
        dir.Write("addons/ironpost/ironpost.cfg", kBaseConfig + extra_config);
        fake.game_dir = dir.Path("");
        fake.RegisterGameMessages();
    }
    ~LoadedPlugin() {
        if (ironpost_metamod_process_attached() == 1) {
            EXPECT_EQ(Meta_Detach(PT_ANYTIME, PNL_COMMAND), 1);
        }
    }

    // The loader's start-up calls; 1 when attached, the hook tables then filled.
    int Load() {
        GiveFnptrsToDll(&fake.engine, &fake.globals);
        if (Meta_Query("5:13", &info, &fake.utility) != 1) {
            return 0;
        }
        const int attached = Meta_Attach(PT_STARTUP, &functions, &meta, &gamedll);
        if (attached == 1) {
            int new_version = kNewDllInterfaceVersion;
            int dll_version = kGameDllInterfaceVersion;
            int engine_version = 138;
            EXPECT_EQ(functions.pfnGetNewDLLFunctions(&new_dll, &new_version), 1);
            EXPECT_EQ(functions.pfnGetEntityAPI2(&dll, &dll_version), 1);
            EXPECT_EQ(functions.pfnGetEngineFunctions(&hooks, &engine_version), 1);
        }
        if (fake.command_functions.count("cssettle") != 0) {
            OperatorCommand() = fake.command_functions.at("cssettle");
        }
        return attached;
    }

    // The operator commands' function, as the engine kept it from the one
    // registration of the process.
    static void (*&OperatorCommand())() {
        static void (*function)() = nullptr;
        return function;
    }

    // One server frame at map time `seconds`; every hook answers "ignored".
    void Frame(float seconds) {
        fake.globals.time = seconds;
        meta.mres = MRES_UNSET;
        dll.pfnStartFrame();
        EXPECT_EQ(meta.mres, MRES_IGNORED);
    }

    // A line of the game's log as the loader hands it to the alert hook.
    void Log(const std::string& line) {
        meta.mres = MRES_UNSET;
        hooks.pfnAlertMessage(at_logged, "%s", (line + "\n").c_str());
        EXPECT_EQ(meta.mres, MRES_IGNORED);
    }

    // A client arriving through the connect hook; the hook's answer.
    int Connect(int slot, int user_id, const char* auth_id, const char* name, bool bot = false) {
        char reject[128] = "Rejected by default";
        return dll.pfnClientConnect(fake.Connect(slot, user_id, auth_id, bot), name,
                                    "10.0.0.1:27005", reject);
    }

    // The player the runtime has in `slot`, if any.
    static std::optional<ConnectedPlayer> Player(int slot) {
        return IronpostMetamodProcessEntrypoint().Runtime().Host().Session().Runtime().FindPlayer(
            slot);
    }

    TempDir dir;
    FakeEngine fake;
    plugin_info_t* info = nullptr;
    META_FUNCTIONS functions{};
    meta_globals_t meta{};
    gamedll_funcs_t gamedll{};
    DLL_FUNCTIONS dll{};
    NEW_DLL_FUNCTIONS new_dll{};
    enginefuncs_t hooks{};
};

}  // namespace ironpost::glue_test
