#pragma once

// Bringing the plugin up from the files an operator provides: the server's
// signing key file.

#include <cstddef>
#include <string>
#include <vector>

#include "ironpost_config.h"
#include "ironpost_crypto.h"
#include "ironpost_metamod_adapter.h"

namespace ironpost {

// Key files larger than this are refused as holding no key: a real key is a
// few hundred bytes, and a mistyped path must not pull a log or a device into
// memory on the game thread.
inline constexpr std::size_t kMaxServerKeyFileBytes = 64 * 1024;

// Loads the signer from the key file at `path`. The key is the file's bytes,
// less one trailing "\n" or "\r\n"; nothing else is trimmed or decoded. A file
// that is missing, unreadable, not a regular file, larger than
// kMaxServerKeyFileBytes or empty yields a signer without key material.
[[nodiscard]] DevelopmentFileSettlementSigner LoadDevelopmentFileSettlementSigner(
    const std::string& path);

// ---------------------------------------------------------------------------
// Loading the plugin from its configuration file

struct MetamodPluginLoadResult {
    bool loaded = false;
    IronPostConfig config;
    std::vector<std::string> warnings;
    std::vector<std::string> errors;
};

// Parses the configuration file at `path` and, when it has no errors, loads
// `adapter` with it (publishing the console variables into `cvar_registry`).
// A configuration with errors leaves the adapter untouched.
[[nodiscard]] MetamodPluginLoadResult LoadMetamodPluginFromConfigFile(
    const std::string& path, CvarRegistry& cvar_registry, MetamodPluginAdapter& adapter);

}  // namespace ironpost
