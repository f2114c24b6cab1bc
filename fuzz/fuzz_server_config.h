#pragma once

// Set-up shared by the targets that keep one loaded server across inputs: a
// configuration with a signing key in a temporary directory that is removed
// at exit, and a registry that ignores the console variables.

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "ironpost_config.h"

namespace ironpost::fuzz {

class NoCvars final : public CvarRegistry {
  public:
    void RegisterCvar(const CvarDefinition&) override {}
};

// A new directory under `parent`, removed at process exit.
inline std::string TemporaryDirectory(const std::string& parent) {
    static std::string dir;
    dir = parent + "/ironpost-fuzz-XXXXXX";
    if (::mkdtemp(dir.data()) == nullptr) {
        std::abort();
    }
    std::atexit([] { std::filesystem::remove_all(dir); });
    return dir;
}

// The path of a configuration naming a key, a loopback backend, server id
// "srv-1", then `extra` lines, written with its key into `dir` (by default
// a new temporary directory). Call once per process.
inline std::string WriteServerConfig(const std::string& extra, std::string dir = "") {
    if (dir.empty()) {
        dir = TemporaryDirectory("/tmp");
    }
    std::ofstream(dir + "/server.key") << "fuzz-key\n";
    std::ofstream(dir + "/ironpost.cfg")
        << "ironpost_server_key_file \"" << dir << "/server.key\"\n"
        << "ironpost_backend_url \"http://127.0.0.1:9\"\nironpost_server_id srv-1\n"
        << extra;
    return dir + "/ironpost.cfg";
}

}  // namespace ironpost::fuzz
