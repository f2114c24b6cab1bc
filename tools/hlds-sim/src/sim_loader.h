#pragma once

// Loads a plugin exactly as Metamod-P does and carries the engine's and the
// game's calls into its hooks. Load: dlopen, Meta_Init, GiveFnptrsToDll,
// Meta_Query("5:13") with the interface and load-time checks, Meta_Attach,
// then the getters through the filled META_FUNCTIONS table in the loader's
// order with the table sizes and interface versions the loader passes.
// Every hook call resets the result code first and counts a hook that left
// it unset, as the loader warns about it; a refusal in ClientConnect counts
// only when the result code lets the plugin's answer stand.

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "sim_engine.h"

namespace ironpost::sim {

class PluginLoader {
  public:
    explicit PluginLoader(SimEngine& engine);
    // A plugin still attached stays mapped: the loader never unloads at exit.
    ~PluginLoader() = default;
    PluginLoader(const PluginLoader&) = delete;
    PluginLoader& operator=(const PluginLoader&) = delete;

    // Queries and attaches the plugin at server start; false with Error().
    [[nodiscard]] bool Load(const std::string& path);
    // "meta unload": Meta_Detach, then dlclose once it agreed; false when the
    // plugin refused (it then stays attached).
    bool Unload();
    [[nodiscard]] bool Loaded() const { return handle_ != nullptr; }
    [[nodiscard]] const std::string& Error() const { return error_; }
    // The loader's calls into the plugin, in order.
    [[nodiscard]] const std::vector<std::string>& Calls() const { return calls_; }
    [[nodiscard]] const plugin_info_t* Info() const { return info_; }

    // An exported function of the plugin, or null.
    [[nodiscard]] void* Symbol(const char* name) const;
    template <typename Fn>
    [[nodiscard]] Fn Function(const char* name) const {
        return reinterpret_cast<Fn>(Symbol(name));
    }
    // The text of an exported status function without arguments; "" when
    // the plugin has none of that name.
    [[nodiscard]] std::string Status(const char* name) const;

    // The engine's and the game's calls, through the pre and post tables.
    // ClientConnect returns false when the plugin refused the client.
    bool ClientConnect(edict_t* edict, const std::string& name, const std::string& address,
                       std::string& reject_reason);
    void ClientDisconnect(edict_t* edict);
    void ClientPutInServer(edict_t* edict);
    void ClientCommand(edict_t* edict);
    void ClientUserInfoChanged(edict_t* edict, char* info);
    void ServerActivate(edict_t* edicts, int edict_count, int max_clients);
    void ServerDeactivate();
    void StartFrame();
    void GameInit();
    void GameShutdown();
    // A line the game writes to the log, handed to the alert hooks the way
    // the loader's engine wrapper does: at_logged, format "%s".
    void LogLine(const std::string& line);

    // Hooks that returned with the result code unset, by hook name.
    [[nodiscard]] const std::map<std::string, long>& UnsetResults() const { return unset_; }
    // The longest single call into a hook, in the simulator's steady clock,
    // and the hook's name: the frame time the server's players would feel.
    [[nodiscard]] double LongestHookMs() const { return longest_hook_ms_; }
    [[nodiscard]] const std::string& LongestHook() const { return longest_hook_; }

  private:
    template <typename Fn, typename... Args>
    void Hook(const char* name, Fn pre, Fn post, Args... args);
    void BeforeCall();
    void AfterCall(const char* name, bool post);
    template <typename Call>
    void Timed(const char* name, Call call);
    bool Fail(const std::string& error);

    SimEngine& engine_;
    void* handle_ = nullptr;
    std::string error_;
    std::vector<std::string> calls_;
    plugin_info_t* info_ = nullptr;
    META_FUNCTIONS meta_{};
    meta_globals_t globals_{};
    DLL_FUNCTIONS game_dll_{};
    NEW_DLL_FUNCTIONS game_new_dll_{};
    gamedll_funcs_t gamedll_{};
    DLL_FUNCTIONS dll_{};
    DLL_FUNCTIONS dll_post_{};
    NEW_DLL_FUNCTIONS new_dll_{};
    NEW_DLL_FUNCTIONS new_dll_post_{};
    enginefuncs_t engine_hooks_{};
    enginefuncs_t engine_hooks_post_{};
    META_RES status_ = MRES_UNSET;
    std::map<std::string, long> unset_;
    double longest_hook_ms_ = 0;
    std::string longest_hook_;
};

}  // namespace ironpost::sim
