// The loader half of plugin start-up: the configuration file and the runtime.

#include "ironpost_metamod_adapter.h"
#include "ironpost_plugin_bootstrap.h"

#include <utility>

namespace ironpost {

MetamodPluginLoadResult LoadMetamodPluginFromConfigFile(const std::string& path,
                                                        CvarRegistry& cvar_registry,
                                                        MetamodPluginAdapter& adapter) {
    MetamodPluginLoadResult result;
    ConfigParseResult parsed = LoadConfigFile(path);
    result.config = parsed.config;
    result.warnings = std::move(parsed.warnings);
    result.errors = std::move(parsed.errors);
    // A configuration with errors is not half-applied: the runtime is not
    // loaded and nothing is published.
    if (!result.errors.empty()) {
        return result;
    }
    result.loaded = adapter.Load(result.config, cvar_registry);
    if (!result.loaded) {
        result.errors.push_back("Metamod plugin adapter failed to load");
    }
    return result;
}

}  // namespace ironpost
