#include "sim_loader.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstring>

namespace ironpost::sim {

namespace {

using MetaInitFn = void (*)();
using GiveFnptrsFn = void (*)(enginefuncs_t*, globalvars_t*);
using MetaQueryFn = int (*)(const char*, plugin_info_t**, mutil_funcs_t*);
using MetaAttachFn = int (*)(PLUG_LOADTIME, META_FUNCTIONS*, meta_globals_t*, gamedll_funcs_t*);
using MetaDetachFn = int (*)(PLUG_LOADTIME, PL_UNLOAD_REASON);
using StatusFn = const char* (*)();

// "major:minor" of an interface version; {-1, -1} when malformed.
std::pair<int, int> InterfaceVersion(const char* text) {
    int major = -1;
    int minor = -1;
    if (text == nullptr || std::sscanf(text, "%d:%d", &major, &minor) != 2) {
        return {-1, -1};
    }
    return {major, minor};
}

}  // namespace

PluginLoader::PluginLoader(SimEngine& engine) : engine_(engine) {
    // The game DLL's own tables, which the plugin may call through to reach
    // the game directly. The simulated game does nothing in them.
    gamedll_.dllapi_table = &game_dll_;
    gamedll_.newapi_table = &game_new_dll_;
}

bool PluginLoader::Fail(const std::string& error) {
    error_ = error;
    if (handle_ != nullptr) {
        dlclose(handle_);
        handle_ = nullptr;
    }
    return false;
}

void* PluginLoader::Symbol(const char* name) const {
    return handle_ != nullptr ? dlsym(handle_, name) : nullptr;
}

std::string PluginLoader::Status(const char* name) const {
    const auto function = Function<StatusFn>(name);
    const char* text = function != nullptr ? function() : nullptr;
    return text != nullptr ? text : "";
}

bool PluginLoader::Load(const std::string& path) {
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* reason = dlerror();
        return Fail("Couldn't open file: " + std::string(reason != nullptr ? reason : path));
    }
    const auto query = Function<MetaQueryFn>("Meta_Query");
    if (query == nullptr) {
        return Fail("Couldn't find Meta_Query");
    }
    if (const auto init = Function<MetaInitFn>("Meta_Init")) {
        calls_.push_back("Meta_Init");
        init();
    }
    const auto give = Function<GiveFnptrsFn>("GiveFnptrsToDll");
    if (give == nullptr) {
        return Fail("Couldn't find GiveFnptrsToDll");
    }
    calls_.push_back("GiveFnptrsToDll");
    give(engine_.Functions(), engine_.Globals());
    calls_.push_back("Meta_Query");
    if (query(META_INTERFACE_VERSION, &info_, engine_.Utility()) != 1 || info_ == nullptr) {
        return Fail("Meta_Query did not return 1 with plugin information");
    }
    const auto [major, minor] = InterfaceVersion(info_->ifvers);
    const auto [own_major, own_minor] = InterfaceVersion(META_INTERFACE_VERSION);
    if (major != own_major || minor > own_minor) {
        return Fail(std::string("plugin interface version ") +
                    (info_->ifvers != nullptr ? info_->ifvers : "(none)") +
                    " does not fit the loader's " + META_INTERFACE_VERSION);
    }
    if (info_->loadable < PT_STARTUP) {
        return Fail("plugin may not be loaded at server start");
    }
    engine_.SetPlugin(path, info_);
    const auto attach = Function<MetaAttachFn>("Meta_Attach");
    calls_.push_back("Meta_Attach");
    if (attach == nullptr || attach(PT_STARTUP, &meta_, &globals_, &gamedll_) != 1) {
        return Fail("Meta_Attach did not return 1");
    }
    // The loader's order; a getter that fails fails the load.
    int version = NEW_DLL_FUNCTIONS_VERSION;
    const auto get = [&](const char* name, auto getter, auto* table, int interface_version) {
        if (getter == nullptr) {
            return true;
        }
        calls_.push_back(name);
        version = interface_version;
        return getter(table, &version) != 0;
    };
    if (!get("GetNewDLLFunctions", meta_.pfnGetNewDLLFunctions, &new_dll_,
             NEW_DLL_FUNCTIONS_VERSION) ||
        !get("GetNewDLLFunctions_Post", meta_.pfnGetNewDLLFunctions_Post, &new_dll_post_,
             NEW_DLL_FUNCTIONS_VERSION) ||
        !get("GetEntityAPI2", meta_.pfnGetEntityAPI2, &dll_, INTERFACE_VERSION) ||
        !get("GetEntityAPI2_Post", meta_.pfnGetEntityAPI2_Post, &dll_post_, INTERFACE_VERSION)) {
        return Fail("Failure calling " + calls_.back() + " (interface version " +
                    std::to_string(version) + ")");
    }
    if (meta_.pfnGetEntityAPI2 == nullptr && meta_.pfnGetEntityAPI2_Post == nullptr) {
        if (meta_.pfnGetEntityAPI != nullptr) {
            calls_.push_back("GetEntityAPI");
            if (meta_.pfnGetEntityAPI(&dll_, INTERFACE_VERSION) == 0) {
                return Fail("Failure calling GetEntityAPI");
            }
        }
        if (meta_.pfnGetEntityAPI_Post != nullptr) {
            calls_.push_back("GetEntityAPI_Post");
            if (meta_.pfnGetEntityAPI_Post(&dll_post_, INTERFACE_VERSION) == 0) {
                return Fail("Failure calling GetEntityAPI_Post");
            }
        }
    }
    if (!get("GetEngineFunctions", meta_.pfnGetEngineFunctions, &engine_hooks_,
             ENGINE_INTERFACE_VERSION) ||
        !get("GetEngineFunctions_Post", meta_.pfnGetEngineFunctions_Post, &engine_hooks_post_,
             ENGINE_INTERFACE_VERSION)) {
        return Fail("Failure calling " + calls_.back());
    }
    return true;
}

bool PluginLoader::Unload() {
    if (handle_ == nullptr) {
        return true;
    }
    const auto detach = Function<MetaDetachFn>("Meta_Detach");
    calls_.push_back("Meta_Detach");
    if (detach == nullptr || detach(PT_ANYTIME, PNL_COMMAND) != 1) {
        error_ = "Meta_Detach did not return 1; the plugin stays loaded";
        return false;
    }
    calls_.push_back("dlclose");
    dlclose(handle_);
    handle_ = nullptr;
    dll_ = dll_post_ = DLL_FUNCTIONS{};
    new_dll_ = new_dll_post_ = NEW_DLL_FUNCTIONS{};
    engine_hooks_ = engine_hooks_post_ = enginefuncs_t{};
    return true;
}

void PluginLoader::BeforeCall() {
    globals_.prev_mres = globals_.mres;
    globals_.mres = MRES_UNSET;
    globals_.status = status_;
}

void PluginLoader::AfterCall(const char* name, bool post) {
    if (globals_.mres == MRES_UNSET) {
        ++unset_[std::string(name) + (post ? "_Post" : "")];
    }
    if (globals_.mres > status_) {
        status_ = globals_.mres;
    }
}

template <typename Call>
void PluginLoader::Timed(const char* name, Call call) {
    const auto start = std::chrono::steady_clock::now();
    call();
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (ms > longest_hook_ms_) {
        longest_hook_ms_ = ms;
        longest_hook_ = name;
    }
}

template <typename Fn, typename... Args>
void PluginLoader::Hook(const char* name, Fn pre, Fn post, Args... args) {
    status_ = MRES_UNSET;
    if (pre != nullptr) {
        BeforeCall();
        Timed(name, [&] { pre(args...); });
        AfterCall(name, false);
    }
    if (post != nullptr) {
        BeforeCall();
        Timed(name, [&] { post(args...); });
        AfterCall(name, true);
    }
}

bool PluginLoader::ClientConnect(edict_t* edict, const std::string& name,
                                 const std::string& address, std::string& reject_reason) {
    char reject[128] = "Connection rejected by game";
    status_ = MRES_UNSET;
    qboolean result = 1;
    if (dll_.pfnClientConnect != nullptr) {
        BeforeCall();
        qboolean plugin = 0;
        Timed("ClientConnect", [&] {
            plugin = dll_.pfnClientConnect(edict, name.c_str(), address.c_str(), reject);
        });
        AfterCall("ClientConnect", false);
        // The plugin's answer stands only when it overrides or supersedes the game's.
        if (globals_.mres >= MRES_OVERRIDE) {
            result = plugin;
        }
    }
    if (dll_post_.pfnClientConnect != nullptr) {
        globals_.orig_ret = &result;
        BeforeCall();
        dll_post_.pfnClientConnect(edict, name.c_str(), address.c_str(), reject);
        AfterCall("ClientConnect", true);
        globals_.orig_ret = nullptr;
    }
    reject[sizeof(reject) - 1] = '\0';
    reject_reason = result != 0 ? "" : reject;
    return result != 0;
}

void PluginLoader::ClientDisconnect(edict_t* edict) {
    Hook("ClientDisconnect", dll_.pfnClientDisconnect, dll_post_.pfnClientDisconnect, edict);
}

void PluginLoader::ClientPutInServer(edict_t* edict) {
    Hook("ClientPutInServer", dll_.pfnClientPutInServer, dll_post_.pfnClientPutInServer, edict);
}

void PluginLoader::ClientCommand(edict_t* edict) {
    Hook("ClientCommand", dll_.pfnClientCommand, dll_post_.pfnClientCommand, edict);
}

void PluginLoader::ClientUserInfoChanged(edict_t* edict, char* info) {
    Hook("ClientUserInfoChanged", dll_.pfnClientUserInfoChanged, dll_post_.pfnClientUserInfoChanged,
         edict, info);
}

void PluginLoader::ServerActivate(edict_t* edicts, int edict_count, int max_clients) {
    Hook("ServerActivate", dll_.pfnServerActivate, dll_post_.pfnServerActivate, edicts, edict_count,
         max_clients);
}

void PluginLoader::ServerDeactivate() {
    Hook("ServerDeactivate", dll_.pfnServerDeactivate, dll_post_.pfnServerDeactivate);
}

void PluginLoader::StartFrame() {
    Hook("StartFrame", dll_.pfnStartFrame, dll_post_.pfnStartFrame);
}

void PluginLoader::GameInit() {
    Hook("GameInit", dll_.pfnGameInit, dll_post_.pfnGameInit);
}

void PluginLoader::GameShutdown() {
    Hook("GameShutdown", new_dll_.pfnGameShutdown, new_dll_post_.pfnGameShutdown);
}

void PluginLoader::LogLine(const std::string& line) {
    Hook("AlertMessage", engine_hooks_.pfnAlertMessage, engine_hooks_post_.pfnAlertMessage,
         at_logged, "%s", line.c_str());
}

}  // namespace ironpost::sim
