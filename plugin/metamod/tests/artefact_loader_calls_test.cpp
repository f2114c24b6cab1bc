// Loads the packaged plugin the way the loader does, makes the loader's calls
// and unloads it again. On i386 the engine, the game DLL and the loader may
// call with a stack aligned to 4 bytes only, and code that keeps SSE values
// on a stack it assumes 16-byte aligned then faults: there every call is also
// made from deliberately misaligned stacks and must return what it returns
// from an aligned one. Natively the sanitizers watch the unload for leaks.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "ironpost_platform_metamod.h"

namespace {

#if defined(__i386__)

const unsigned kMisalignments[] = {4, 8, 12};

// Calls `function` with four argument words at a stack pointer `skew` bytes
// below a 16-byte boundary (0 is what the ABI promises; 4, 8 and 12 are what
// the engine may do) and returns its eax.
extern "C" std::uintptr_t ironpost_call_with_stack_skew(void* function, unsigned skew,
                                                        const std::uintptr_t* arguments);
__asm__(
    ".text\n"
    ".globl ironpost_call_with_stack_skew\n"
    ".hidden ironpost_call_with_stack_skew\n"
    "ironpost_call_with_stack_skew:\n"
    "  push %ebp\n"
    "  mov %esp, %ebp\n"
    "  push %esi\n"
    "  mov 16(%ebp), %esi\n"  // arguments
    "  mov 12(%ebp), %ecx\n"  // skew
    "  and $-16, %esp\n"
    "  sub %ecx, %esp\n"
    "  sub $16, %esp\n"
    "  mov (%esi), %edx\n"
    "  mov %edx, (%esp)\n"
    "  mov 4(%esi), %edx\n"
    "  mov %edx, 4(%esp)\n"
    "  mov 8(%esi), %edx\n"
    "  mov %edx, 8(%esp)\n"
    "  mov 12(%esi), %edx\n"
    "  mov %edx, 12(%esp)\n"
    "  mov 8(%ebp), %edx\n"  // function
    "  call *%edx\n"
    "  lea -4(%ebp), %esp\n"
    "  pop %esi\n"
    "  pop %ebp\n"
    "  ret\n");

#else

const unsigned kMisalignments[] = {0};  // nothing calls a 64-bit plugin misaligned

// Natively every call is aligned; a function ignores argument words it does
// not take, as on i386.
std::uintptr_t ironpost_call_with_stack_skew(void* function, unsigned,
                                             const std::uintptr_t* arguments) {
    using Word = std::uintptr_t;
    return reinterpret_cast<Word (*)(Word, Word, Word, Word)>(function)(arguments[0], arguments[1],
                                                                        arguments[2], arguments[3]);
}

#endif

// The loader's records as it hands them over: zeroed, and no engine behind
// them, so every step stays on the plugin's refusal paths.
struct LoaderRecords {
    plugin_info_t* info = nullptr;
    mutil_funcs_t utility{};
    META_FUNCTIONS functions{};
    meta_globals_t globals{};
    gamedll_funcs_t gamedll{};
};

std::uintptr_t Word(const void* pointer) {
    return reinterpret_cast<std::uintptr_t>(pointer);
}

// One pass of what the loader and other code in the process call, every call
// made with the stack `skew` bytes off; the results in call order (texts for
// status functions). Entry points join the pass once the plugin exports them.
std::vector<std::string> RunPass(void* plugin, unsigned skew) {
    static const char kInterface[] = "5:13";
    static const char kMessage[] = "TextMsg";
    LoaderRecords records;
    struct Call {
        const char* name;
        std::array<std::uintptr_t, 4> arguments;
        bool returns_text;
        bool exported_today;
    };
    const Call calls[] = {
        {"GiveFnptrsToDll", {0, 0, 0, 0}, false, false},
        {"Meta_Query",
         {Word(kInterface), Word(&records.info), Word(&records.utility), 0},
         false,
         false},
        {"Meta_Attach",
         {PT_STARTUP, Word(&records.functions), Word(&records.globals), Word(&records.gamedll)},
         false,
         false},
        {"ironpost_metamod_sdk_engine_import_validation_status", {}, true, true},
        {"ironpost_metamod_sdk_missing_engine_import_count", {}, false, true},
        {"ironpost_metamod_sdk_user_message_id", {Word(kMessage), 0, 0, 0}, false, true},
        {"ironpost_metamod_sdk_last_command_extraction_status", {}, true, true},
        {"Meta_Detach", {PT_ANYTIME, PNL_COMMAND, 0, 0}, false, false},
    };
    std::vector<std::string> results;
    for (const Call& call : calls) {
        void* function = dlsym(plugin, call.name);
        EXPECT_TRUE(function != nullptr || !call.exported_today) << call.name;
        if (function == nullptr) {
            continue;
        }
        const std::uintptr_t result =
            ironpost_call_with_stack_skew(function, skew, call.arguments.data());
        results.push_back(
            std::string(call.name) + " -> " +
            (call.returns_text ? reinterpret_cast<const char*>(result) : std::to_string(result)));
    }
    return results;
}

TEST(ArtefactLoaderCalls, RunFromMisalignedStacksAndUnloadCleanly) {
    // What the loader does: resolve everything now, keep symbols private.
    void* plugin = dlopen(IRONPOST_PACKAGED_PLUGIN, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(plugin, nullptr) << dlerror();
    RunPass(plugin, 0);  // first use may set state up
    const std::vector<std::string> aligned = RunPass(plugin, 0);
    for (unsigned skew : kMisalignments) {
        EXPECT_EQ(RunPass(plugin, skew), aligned) << "with the stack " << skew << " bytes off";
    }
    EXPECT_EQ(dlclose(plugin), 0);
}

}  // namespace
