// Loads the packaged plugin exactly as the loader does, over a fake engine
// and fake loader records built from our own declarations: the loader's
// calls in its order, then the engine's hooks (a client connects, types a
// command, frames run, log lines arrive), then detach and unload. What the
// fake engine recorded is what a server would have seen.
//
// On i386 the engine and the loader may call with a stack aligned to 4 bytes
// only, where code keeping SSE values on a stack it assumes 16-byte aligned
// faults: every call is then also made from each misaligned stack and must
// behave as from an aligned one. Natively the sanitizers watch the unload.

#define IRONPOST_FAKE_ENGINE_STANDALONE
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fake_engine.h"

namespace {

using ironpost::testing_support::FakeEngine;
using Word = std::uintptr_t;

#if defined(__i386__)
const unsigned kSkews[] = {0, 4, 8, 12};

// Calls `function` with four argument words and the stack pointer `skew`
// bytes below a 16-byte boundary; returns eax.
extern "C" Word ironpost_call_skewed(void* function, unsigned skew, const Word* arguments);
__asm__(
    ".text\n.globl ironpost_call_skewed\n.hidden ironpost_call_skewed\n"
    "ironpost_call_skewed:\n"
    "  push %ebp\n  mov %esp, %ebp\n  push %esi\n  push %edi\n"
    "  and $-16, %esp\n  sub 12(%ebp), %esp\n  sub $16, %esp\n"
    "  mov 16(%ebp), %esi\n  mov %esp, %edi\n  mov $4, %ecx\n  cld\n  rep movsl\n"
    "  call *8(%ebp)\n"
    "  lea -8(%ebp), %esp\n  pop %edi\n  pop %esi\n  pop %ebp\n  ret\n");
#else
const unsigned kSkews[] = {0};  // nothing calls a 64-bit plugin misaligned

Word ironpost_call_skewed(void* function, unsigned, const Word* arguments) {
    // A function ignores argument words it does not take.
    return reinterpret_cast<Word (*)(Word, Word, Word, Word)>(function)(arguments[0], arguments[1],
                                                                        arguments[2], arguments[3]);
}
#endif

Word W(const void* pointer) {
    return reinterpret_cast<Word>(pointer);
}

template <typename Function>
void* Address(Function* function) {
    return reinterpret_cast<void*>(function);
}

class LoaderPass {
  public:
    LoaderPass(unsigned skew, const std::string& game_dir) : skew_(skew) {
        fake.game_dir = game_dir;
        plugin_ = dlopen(IRONPOST_PACKAGED_PLUGIN, RTLD_NOW | RTLD_LOCAL);  // as the loader
    }
    ~LoaderPass() {
        if (plugin_ != nullptr) {
            EXPECT_EQ(dlclose(plugin_), 0) << dlerror();
        }
    }
    bool Loaded() const { return plugin_ != nullptr; }

    Word Call(void* function, Word a = 0, Word b = 0, Word c = 0, Word d = 0) {
        const Word arguments[4] = {a, b, c, d};
        return ironpost_call_skewed(function, skew_, arguments);
    }
    Word Call(const char* symbol, Word a = 0, Word b = 0, Word c = 0, Word d = 0) {
        void* function = dlsym(plugin_, symbol);
        EXPECT_NE(function, nullptr) << symbol;
        return function != nullptr ? Call(function, a, b, c, d) : 0;
    }
    std::string Text(const char* symbol) { return reinterpret_cast<const char*>(Call(symbol)); }
    // A hook call as the engine makes it; the loader's result code must say "ignored".
    Word Hook(void* function, Word a = 0, Word b = 0, Word c = 0, Word d = 0) {
        meta.mres = MRES_UNSET;
        const Word result = Call(function, a, b, c, d);
        EXPECT_EQ(meta.mres, MRES_IGNORED);
        return result;
    }
    void Log(const std::string& line) {
        const std::string text = line + "\n";
        Hook(Address(hooks.pfnAlertMessage), at_logged, W("%s"), W(text.c_str()));
    }
    void Frame(float seconds) {
        fake.globals.time = seconds;
        Hook(Address(dll.pfnStartFrame));
    }

    FakeEngine fake;
    plugin_info_t* info = nullptr;
    META_FUNCTIONS functions{};
    meta_globals_t meta{};
    gamedll_funcs_t gamedll{};
    DLL_FUNCTIONS dll{};
    NEW_DLL_FUNCTIONS new_dll{};
    enginefuncs_t hooks{};

  private:
    unsigned skew_;
    void* plugin_ = nullptr;
};

std::size_t Count(const std::vector<std::string>& lines, const std::string& wanted) {
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), wanted));
}

class ArtefactPluginLoad : public ::testing::TestWithParam<unsigned> {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("ironpost-load-" + std::to_string(::getpid()) + "-" + std::to_string(GetParam()));
        std::filesystem::create_directories(dir_ / "addons/ironpost");
        std::ofstream(dir_ / "addons/ironpost/server.key") << "artefact-test-key\n";
        std::ofstream(dir_ / "addons/ironpost/ironpost.cfg")
            << "ironpost_server_key_file addons/ironpost/server.key\n"
               "ironpost_backend_url \"http://127.0.0.1:9\"\n"
               "ironpost_http_timeout_ms 300\n"
               "ironpost_server_command_budget_per_second 2\n";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::filesystem::path dir_;
};

TEST_P(ArtefactPluginLoad, TheLoaderAndTheEngineDriveThePlugin) {
    LoaderPass pass(GetParam(), dir_.string());
    ASSERT_TRUE(pass.Loaded()) << dlerror();
    FakeEngine& fake = pass.fake;

    // The loader's order: tables, query, attach, then the getters it was given.
    pass.Call("GiveFnptrsToDll", W(&fake.engine), W(&fake.globals));
    ASSERT_EQ(pass.Call("Meta_Query", W("5:13"), W(&pass.info), W(&fake.utility)), 1u);
    ASSERT_NE(pass.info, nullptr);
    EXPECT_STREQ(pass.info->ifvers, "5:13");
    ASSERT_EQ(
        pass.Call("Meta_Attach", PT_STARTUP, W(&pass.functions), W(&pass.meta), W(&pass.gamedll)),
        1u)
        << pass.Text("ironpost_metamod_process_last_reason");
    int new_version = 1, dll_version = 140, engine_version = 138;
    ASSERT_EQ(
        pass.Call(Address(pass.functions.pfnGetNewDLLFunctions), W(&pass.new_dll), W(&new_version)),
        1u);
    ASSERT_EQ(pass.Call(Address(pass.functions.pfnGetEntityAPI2), W(&pass.dll), W(&dll_version)),
              1u);
    ASSERT_EQ(pass.Call(Address(pass.functions.pfnGetEngineFunctions), W(&pass.hooks),
                        W(&engine_version)),
              1u);

    // The game registers its messages with its map; a player connects
    // under a pending id and is validated a moment later.
    fake.RegisterGameMessages();
    char reject[128] = "default";
    fake.Connect(3, 21, "STEAM_ID_PENDING");
    EXPECT_EQ(pass.Hook(Address(pass.dll.pfnClientConnect), W(&fake.edicts[3]), W("Alice"),
                        W("10.0.0.1:27005"), W(reject)),
              1u);
    pass.Frame(1.0f);
    // The policy's commands go to the engine's buffer, two a second.
    EXPECT_LE(fake.server_commands.size(), 2u);
    fake.auth_ids[3] = "STEAM_0:1:21";
    pass.Frame(2.5f);
    pass.Log("\"Alice<21><STEAM_0:1:21><>\" joined team \"CT\"");
    EXPECT_EQ(pass.Text("ironpost_metamod_sdk_last_alert_message_reason"), "hlds_log_team_joined");
    pass.Log("World triggered \"Round_Start\"");

    // A player's command: the game's own menu message reaches the player.
    fake.argv = {"say", "/crypto"};
    fake.args = "/crypto";
    pass.Hook(Address(pass.dll.pfnClientCommand), W(&fake.edicts[3]));
    EXPECT_EQ(pass.Text("ironpost_metamod_sdk_last_client_command_reason"), "crypto_menu_rendered");
    ASSERT_FALSE(fake.messages.empty());
    EXPECT_EQ(fake.messages.back().id, 96);  // the game's ShowMenu
    EXPECT_EQ(fake.messages.back().slot, 3);
    EXPECT_TRUE(fake.registered_user_messages.empty());

    pass.Frame(4.0f);
    EXPECT_EQ(Count(fake.console, "[Iron-Post] StartFrame active.\n"), 1u);
    EXPECT_EQ(Count(fake.console, "[Iron-Post] observed Round_Start log event.\n"), 1u);
    EXPECT_FALSE(fake.server_commands.empty());
    EXPECT_EQ(fake.server_executes, 0);

    ASSERT_EQ(pass.Call("Meta_Detach", PT_ANYTIME, PNL_COMMAND), 1u);
    EXPECT_EQ(pass.Call("ironpost_metamod_process_attached"), 0u);
    EXPECT_EQ(pass.Call("ironpost_metamod_process_module_pinned"), 0u);
    EXPECT_EQ(pass.Call("ironpost_metamod_sdk_stopped_exception_count"), 0u);
}

INSTANTIATE_TEST_SUITE_P(EveryStackSkew, ArtefactPluginLoad, ::testing::ValuesIn(kSkews));

}  // namespace
