// The loader's entry points.

#include "ironpost_metamod_entrypoints.h"

#include "ironpost_metamod_module.h"
#include "ironpost_metamod_process.h"
#include "ironpost_metamod_sdk_engine_imports.h"
#include "ironpost_metamod_sdk_function_binding.h"

namespace ironpost {

namespace {

// The loader keeps this record's address and reads it after each call.
plugin_info_t g_plugin_info = {
    META_INTERFACE_VERSION,
    "Iron-Post",
    "0.0.0",
    __DATE__,
    "Iron-Post maintainers",
    "https://ironpost.gg",
    "ironpost",
    PT_STARTUP,      // loaded only when the server starts
    PT_CHANGELEVEL,  // unloadable at a map change
};

}  // namespace

const plugin_info_t& IronpostMetamodPluginInfo() {
    return g_plugin_info;
}

}  // namespace ironpost

using namespace ironpost;

void GiveFnptrsToDll(enginefuncs_t* engine_functions, globalvars_t* globals) {
    IronpostNoThrow("GiveFnptrsToDll", [&] {
        static_cast<void>(CaptureIronpostMetamodEngineImports(engine_functions, globals));
    });
}

int Meta_Query(const char* /*interface_version*/, plugin_info_t** plugin_info,
               mutil_funcs_t* utility_functions) {
    return IronpostNoThrow("Meta_Query", 0, [&] {
        if (plugin_info == nullptr || ironpost_metamod_process_query() != 1) {
            return 0;
        }
        IronpostMetamodLoaderGlobals().utility = utility_functions;
        CaptureIronpostMetamodUtilityFunctions(utility_functions, &g_plugin_info);
        *plugin_info = &g_plugin_info;
        return 1;
    });
}

int Meta_Attach(PLUG_LOADTIME /*now*/, META_FUNCTIONS* function_table, meta_globals_t* meta_globals,
                gamedll_funcs_t* gamedll_functions) {
    return IronpostNoThrow("Meta_Attach", 0, [&] {
        if (meta_globals == nullptr || function_table == nullptr) {
            return 0;
        }
        if (ironpost_metamod_process_attach_default_config() != 1) {
            return 0;
        }
        if (!IronpostValidateMetamodEngineImports().validated ||
            !BindIronpostMetamodMetaFunctionTable(function_table).bound) {
            static_cast<void>(ironpost_metamod_process_detach());
            return 0;
        }
        MetamodLoaderGlobals& loader = IronpostMetamodLoaderGlobals();
        loader.globals = meta_globals;
        loader.gamedll = gamedll_functions;
        RegisterIronpostMetamodServerCommands();
        return 1;
    });
}

int Meta_Detach(PLUG_LOADTIME /*now*/, PL_UNLOAD_REASON /*reason*/) {
    return IronpostNoThrow("Meta_Detach", 0, [] {
        if (ironpost_metamod_process_detach() != 1) {
            return 0;
        }
        MetamodLoaderGlobals& loader = IronpostMetamodLoaderGlobals();
        loader.globals = nullptr;
        loader.gamedll = nullptr;
        return 1;
    });
}
