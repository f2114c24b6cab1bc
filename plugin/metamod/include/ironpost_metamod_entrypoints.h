#pragma once

// The functions the Metamod-P loader calls by name, in its order:
// GiveFnptrsToDll, Meta_Query, Meta_Attach (which fills the table through
// which the loader then asks for the hook tables), and Meta_Detach before it
// unloads the plugin. Each answers 1 on success and 0 otherwise, and never
// lets an exception reach the loader. Main thread only.

#include "ironpost_export.h"
#include "ironpost_platform_metamod.h"

namespace ironpost {

// The plugin information handed to the loader; it lives as long as the plugin.
[[nodiscard]] const plugin_info_t& IronpostMetamodPluginInfo();

}  // namespace ironpost

IRONPOST_EXPORT void GiveFnptrsToDll(enginefuncs_t* engine_functions, globalvars_t* globals);
IRONPOST_EXPORT int Meta_Query(const char* interface_version, plugin_info_t** plugin_info,
                               mutil_funcs_t* utility_functions);
IRONPOST_EXPORT int Meta_Attach(PLUG_LOADTIME now, META_FUNCTIONS* function_table,
                                meta_globals_t* meta_globals, gamedll_funcs_t* gamedll_functions);
IRONPOST_EXPORT int Meta_Detach(PLUG_LOADTIME now, PL_UNLOAD_REASON reason);
