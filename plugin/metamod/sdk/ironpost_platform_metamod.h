#pragma once

// Our own binary-compatible declarations of the Metamod-P loader records: the
// plugin information, the loader's hook-table getters, its globals with the
// hook result code, the game-DLL tables it passes on and its utility table.
// Written from member order and sizes on Linux i386 and checked below.

#include <cstddef>

#include "ironpost_platform_engine.h"

// The interface version the plugin reports ("major:minor").
constexpr const char* META_INTERFACE_VERSION = "5:13";

// When the plugin may be loaded or unloaded; the loader compares with < and >.
enum PLUG_LOADTIME { PT_NEVER = 0, PT_STARTUP, PT_CHANGELEVEL, PT_ANYTIME, PT_ANYPAUSE };

enum PL_UNLOAD_REASON {
    PNL_NULL = 0,
    PNL_INI_DELETED,
    PNL_FILE_NEWER,
    PNL_COMMAND,
    PNL_CMD_FORCED,
    PNL_DELAYED,
    PNL_PLUGIN,
    PNL_PLG_FORCED,
    PNL_RELOAD
};

// A hook's result; the loader keeps the highest value of all plugins.
enum META_RES { MRES_UNSET = 0, MRES_IGNORED, MRES_HANDLED, MRES_OVERRIDE, MRES_SUPERCEDE };

// What pfnGetGameInfo reports.
enum ginfo_t {
    GINFO_NAME = 0,
    GINFO_DESC,
    GINFO_GAMEDIR,
    GINFO_DLL_FULLPATH,
    GINFO_DLL_FILENAME,
    GINFO_REALDLL_FULLPATH
};

// The plugin's identity. It and its texts must stay in static storage while
// the plugin is loaded: the loader keeps the pointer.
struct plugin_info_t {
    const char* ifvers;
    const char* name;
    const char* version;
    const char* date;
    const char* author;
    const char* url;
    const char* logtag;
    PLUG_LOADTIME loadable;
    PLUG_LOADTIME unloadable;
};
typedef plugin_info_t* plid_t;

// The loader's globals for the hook being run; every hook sets `mres`.
struct meta_globals_t {
    META_RES mres;
    META_RES prev_mres;
    META_RES status;
    void* orig_ret;
    void* override_ret;
};

// Filled by the plugin in Meta_Attach; the loader calls the getters through it.
struct META_FUNCTIONS {
    int (*pfnGetEntityAPI)(DLL_FUNCTIONS*, int);
    int (*pfnGetEntityAPI_Post)(DLL_FUNCTIONS*, int);
    int (*pfnGetEntityAPI2)(DLL_FUNCTIONS*, int*);
    int (*pfnGetEntityAPI2_Post)(DLL_FUNCTIONS*, int*);
    int (*pfnGetNewDLLFunctions)(NEW_DLL_FUNCTIONS*, int*);
    int (*pfnGetNewDLLFunctions_Post)(NEW_DLL_FUNCTIONS*, int*);
    int (*pfnGetEngineFunctions)(enginefuncs_t*, int*);
    int (*pfnGetEngineFunctions_Post)(enginefuncs_t*, int*);
};

// The game DLL's own tables; calls through them bypass other plugins.
struct gamedll_funcs_t {
    DLL_FUNCTIONS* dllapi_table;
    NEW_DLL_FUNCTIONS* newapi_table;
};

// The loader's utility table (interface 5:13). Valid until the plugin is
// unloaded. Slots 5 and 6 take a 40-byte record by value that the plugin never
// builds; they are declared as opaque pointers of the same size.
struct mutil_funcs_t {
    void (*pfnLogConsole)(plid_t, const char* format, ...);
    void (*pfnLogMessage)(plid_t, const char* format, ...);
    void (*pfnLogError)(plid_t, const char* format, ...);
    void (*pfnLogDeveloper)(plid_t, const char* format, ...);
    void (*pfnCenterSay)(plid_t, const char* format, ...);
    void* pfnCenterSayParms;
    void* pfnCenterSayVarargs;
    qboolean (*pfnCallGameEntity)(plid_t, const char*, entvars_t*);
    // The id of a message the game registered, 0 while it has not; `size`
    // (may be null) receives the game's declared size. Names compare exactly.
    int (*pfnGetUserMsgID)(plid_t, const char* name, int* size);
    const char* (*pfnGetUserMsgName)(plid_t, int id, int* size);
    const char* (*pfnGetPluginPath)(plid_t);
    const char* (*pfnGetGameInfo)(plid_t, ginfo_t);
    int (*pfnLoadPlugin)(plid_t, const char*, PLUG_LOADTIME, void**);
    int (*pfnUnloadPlugin)(plid_t, const char*, PLUG_LOADTIME, PL_UNLOAD_REASON);
    int (*pfnUnloadPluginByHandle)(plid_t, void*, PLUG_LOADTIME, PL_UNLOAD_REASON);
    const char* (*pfnIsQueryingClientCvar)(plid_t, const edict_t*);
    int (*pfnMakeRequestID)(plid_t);
    void (*pfnGetHookTables)(plid_t, enginefuncs_t**, DLL_FUNCTIONS**, NEW_DLL_FUNCTIONS**);
};

static_assert(sizeof(META_FUNCTIONS) == 8 * sizeof(void*));
static_assert(offsetof(META_FUNCTIONS, pfnGetEntityAPI2) == 2 * sizeof(void*));
static_assert(offsetof(META_FUNCTIONS, pfnGetNewDLLFunctions) == 4 * sizeof(void*));
static_assert(offsetof(META_FUNCTIONS, pfnGetEngineFunctions) == 6 * sizeof(void*));
static_assert(sizeof(gamedll_funcs_t) == 2 * sizeof(void*));
static_assert(sizeof(mutil_funcs_t) == 18 * sizeof(void*));
static_assert(offsetof(mutil_funcs_t, pfnGetUserMsgID) == 8 * sizeof(void*));
static_assert(sizeof(PLUG_LOADTIME) == 4 && sizeof(PL_UNLOAD_REASON) == 4 && sizeof(META_RES) == 4);
static_assert(PT_ANYPAUSE == 4 && MRES_SUPERCEDE == 4 && PNL_RELOAD == 8);

#if defined(__i386__)
static_assert(sizeof(plugin_info_t) == 36);
static_assert(offsetof(plugin_info_t, loadable) == 28 && offsetof(plugin_info_t, unloadable) == 32);
static_assert(sizeof(meta_globals_t) == 20);
static_assert(offsetof(meta_globals_t, orig_ret) == 12);
static_assert(sizeof(META_FUNCTIONS) == 32);
static_assert(offsetof(META_FUNCTIONS, pfnGetEntityAPI2) == 8);
static_assert(offsetof(META_FUNCTIONS, pfnGetEngineFunctions) == 24);
static_assert(sizeof(gamedll_funcs_t) == 8);
static_assert(sizeof(mutil_funcs_t) == 72);
static_assert(offsetof(mutil_funcs_t, pfnGetUserMsgID) == 32);
#endif
