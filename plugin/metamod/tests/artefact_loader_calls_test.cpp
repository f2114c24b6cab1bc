// Loads the packaged plugin the way the loader does, makes the loader's calls
// and unloads it. On i386 the engine, the game DLL and the loader may call
// with a stack aligned to 4 bytes only, where code keeping SSE values on a
// stack it assumes 16-byte aligned faults: there every call is also made from
// misaligned stacks and must answer as from an aligned one. Natively the
// sanitizers watch the unload for leaks.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ironpost_platform_metamod.h"

namespace {

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

// The loader's calls, all at one skew, with zeroed records and no engine
// behind them; every result as text. Entry points join as they are exported.
std::vector<std::string> RunPass(void* plugin, unsigned skew) {
    plugin_info_t* info = nullptr;
    mutil_funcs_t utility{};
    META_FUNCTIONS functions{};
    meta_globals_t globals{};
    gamedll_funcs_t gamedll{};
    const struct {
        const char* name;
        Word arguments[4];
        char result;  // 'v' none, 'i' a number, 't' a text
    } calls[] = {
        {"GiveFnptrsToDll", {0, 0, 0, 0}, 'v'},
        {"Meta_Query", {W("5:13"), W(&info), W(&utility), 0}, 'i'},
        {"Meta_Attach", {PT_STARTUP, W(&functions), W(&globals), W(&gamedll)}, 'i'},
        {"ironpost_metamod_sdk_engine_import_validation_status", {}, 't'},
        {"ironpost_metamod_sdk_user_message_id", {W("TextMsg"), 0, 0, 0}, 'i'},
        {"ironpost_metamod_sdk_last_command_extraction_status", {}, 't'},
        {"Meta_Detach", {PT_ANYTIME, PNL_COMMAND, 0, 0}, 'i'},
    };
    std::vector<std::string> results;
    for (const auto& call : calls) {
        if (void* function = dlsym(plugin, call.name)) {
            const Word result = ironpost_call_skewed(function, skew, call.arguments);
            results.push_back(std::string(call.name) + " -> " +
                              (call.result == 't'   ? reinterpret_cast<const char*>(result)
                               : call.result == 'i' ? std::to_string(result)
                                                    : std::string("done")));
        }
    }
    return results;
}

TEST(ArtefactLoaderCalls, RunFromMisalignedStacksAndUnloadCleanly) {
    void* plugin = dlopen(IRONPOST_PACKAGED_PLUGIN, RTLD_NOW | RTLD_LOCAL);  // as the loader
    ASSERT_NE(plugin, nullptr) << dlerror();
    const std::vector<std::string> first = RunPass(plugin, 0);  // may set state up
    EXPECT_GE(first.size(), 3u);
    const std::vector<std::string> aligned = RunPass(plugin, 0);
    for (unsigned skew : kSkews) {
        EXPECT_EQ(RunPass(plugin, skew), aligned) << "with the stack " << skew << " bytes off";
    }
    EXPECT_EQ(dlclose(plugin), 0);
}

}  // namespace
