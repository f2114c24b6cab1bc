#pragma once

// A recording stand-in for the engine and the loader, built from the
// plugin's own platform declarations. Every slot the plugin calls is filled;
// a test nulls what it wants missing and calls Capture() again (the plugin
// copies the table). Player slots 1..32 have edicts that are in use but
// empty until Connect(). It fails the test on the message misuse the real
// engine treats as fatal. One instance at a time. A test that loads the
// built plugin instead of linking it defines IRONPOST_FAKE_ENGINE_STANDALONE
// and hands the tables over through the plugin's entry points.

#include <gtest/gtest.h>

#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ironpost_metamod_sdk_engine_imports.h"

namespace ironpost::testing_support {

class FakeEngine {
  public:
    struct ClientPrint {
        int slot;
        PRINT_TYPE type;
        std::string text;
    };
    struct UserMessage {
        int dest;
        int id;
        int slot;  // 0 without an edict
        std::vector<std::uint8_t> payload;
    };

    enginefuncs_t engine{};
    globalvars_t globals{};
    mutil_funcs_t utility{};
    plugin_info_t plugin{};

    std::array<edict_t, kMaxClientSlots + 1> edicts{};
    std::array<int, kMaxClientSlots + 1> user_ids{};
    std::array<std::optional<std::string>, kMaxClientSlots + 1> auth_ids{};  // none: null
    std::vector<std::string> argv;    // the command being run, word 0 first
    std::optional<std::string> args;  // pfnCmd_Args; none: null
    std::string game_dir = "cstrike";
    std::map<std::string, std::pair<int, int>> game_messages;  // name: id, size
    bool throw_in_user_message_lookup = false;
    bool throw_in_server_print = false;
    int user_message_lookups = 0;

    std::vector<std::string> console;
    std::vector<std::string> alerts;
    std::vector<ClientPrint> client_prints;
    std::vector<UserMessage> messages;
    bool message_open = false;
    std::vector<std::string> server_commands;
    int server_executes = 0;
    std::vector<std::string> registered_cvars;
    std::vector<cvar_t*> cvar_pointers;              // as handed over; they must stay valid
    std::map<std::string, std::string> cvar_values;  // the loader's own copies; operators edit them
    cvar_t live_cvar{};
    std::vector<std::string> registered_user_messages;  // the plugin must never add one
    std::vector<std::string> added_server_commands;
    std::map<std::string, void (*)()> command_functions;  // as the engine keeps them

    FakeEngine() {
        Pointer() = this;
        globals.time = 1.0f;
        globals.maxClients = kMaxClientSlots;
        plugin.name = "fake";
        engine.pfnServerPrint = [](const char* text) {
            if (Current().throw_in_server_print) {
                throw std::bad_alloc();
            }
            Current().console.push_back(text);
        };
        engine.pfnAlertMessage = &AlertMessage;
        engine.pfnClientPrintf = [](edict_t* edict, PRINT_TYPE type, const char* text) {
            Current().client_prints.push_back({Current().Index(edict), type, text});
        };
        engine.pfnIndexOfEdict = [](const edict_t* edict) { return Current().Index(edict); };
        engine.pfnPEntityOfEntIndex = [](int index) -> edict_t* {
            auto& edicts = Current().edicts;
            return index >= 0 && index < static_cast<int>(edicts.size()) ? &edicts[index] : nullptr;
        };
        engine.pfnGetPlayerUserId = [](edict_t* edict) {
            return Current().user_ids[Current().Index(edict)];
        };
        engine.pfnGetPlayerAuthId = [](edict_t* edict) -> const char* {
            const auto& id = Current().auth_ids[Current().Index(edict)];
            return id ? id->c_str() : nullptr;
        };
        engine.pfnCmd_Argc = [] { return static_cast<int>(Current().argv.size()); };
        engine.pfnCmd_Argv = [](int index) -> const char* {
            const auto& argv = Current().argv;
            return index >= 0 && index < static_cast<int>(argv.size()) ? argv[index].c_str() : "";
        };
        engine.pfnCmd_Args = []() -> const char* {
            return Current().args ? Current().args->c_str() : nullptr;
        };
        engine.pfnMessageBegin = [](int dest, int id, const float*, edict_t* edict) {
            FakeEngine& fake = Current();
            EXPECT_FALSE(fake.message_open) << "message begun inside another";
            EXPECT_NE(id, 0) << "message without an id";
            EXPECT_TRUE((dest == MSG_ONE || dest == MSG_ONE_UNRELIABLE) == (edict != nullptr))
                << "destination and edict disagree";
            fake.message_open = true;
            fake.messages.push_back({dest, id, fake.Index(edict), {}});
        };
        engine.pfnMessageEnd = [] {
            FakeEngine& fake = Current();
            EXPECT_TRUE(fake.message_open) << "message ended without a begin";
            if (fake.message_open) {
                EXPECT_LE(fake.messages.back().payload.size(), std::size_t{MAX_USER_MSG_DATA})
                    << "message over the engine's limit";
            }
            fake.message_open = false;
        };
        engine.pfnWriteByte = [](int value) {
            Current().Write({static_cast<std::uint8_t>(value)});
        };
        engine.pfnWriteChar = [](int value) {
            Current().Write({static_cast<std::uint8_t>(value)});
        };
        engine.pfnWriteShort = [](int value) {
            Current().Write(
                {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8)});
        };
        engine.pfnWriteString = [](const char* text) {
            Current().Write(std::vector<std::uint8_t>(text, text + std::strlen(text) + 1));
        };
        engine.pfnCVarRegister = [](cvar_t* cvar) {
            FakeEngine& fake = Current();
            fake.registered_cvars.push_back(cvar->name);
            fake.cvar_pointers.push_back(cvar);
            EngineCvarList().push_back(cvar);
            fake.cvar_values.emplace(cvar->name, cvar->string);  // an earlier value is kept
        };
        engine.pfnCVarGetPointer = [](const char* name) -> cvar_t* {
            FakeEngine& fake = Current();
            const auto found = fake.cvar_values.find(name);
            if (found == fake.cvar_values.end()) {
                return nullptr;
            }
            fake.live_cvar = {found->first.c_str(), found->second.data(), 0, 0.0f, nullptr};
            return &fake.live_cvar;
        };
        engine.pfnRegUserMsg = [](const char* name, int) {
            Current().registered_user_messages.push_back(name);
            return 0;
        };
        engine.pfnServerCommand = [](const char* text) {
            Current().server_commands.push_back(text);
        };
        engine.pfnServerExecute = [] { ++Current().server_executes; };
        engine.pfnAddServerCommand = [](const char* name, void (*function)()) {
            Current().added_server_commands.push_back(name);
            Current().command_functions[name] = function;
        };
        engine.pfnGetGameDir = [](char* buffer) {
            std::strcpy(buffer, Current().game_dir.c_str());
        };
        utility.pfnGetUserMsgID = [](plid_t, const char* name, int* size) {
            FakeEngine& fake = Current();
            ++fake.user_message_lookups;
            if (fake.throw_in_user_message_lookup) {
                throw std::bad_alloc();
            }
            const auto found = fake.game_messages.find(name);
            if (found == fake.game_messages.end()) {
                return 0;
            }
            if (size != nullptr) {
                *size = found->second.second;
            }
            return found->second.first;
        };
    }

    ~FakeEngine() {
#ifndef IRONPOST_FAKE_ENGINE_STANDALONE
        CaptureIronpostMetamodEngineImports(nullptr, nullptr);
        CaptureIronpostMetamodUtilityFunctions(nullptr, nullptr);
#endif
        Pointer() = nullptr;
    }

    FakeEngine(const FakeEngine&) = delete;
    FakeEngine& operator=(const FakeEngine&) = delete;

    // Hands the tables to the plugin as GiveFnptrsToDll and Meta_Query do.
#ifndef IRONPOST_FAKE_ENGINE_STANDALONE
    void Capture() {
        static_cast<void>(CaptureIronpostMetamodEngineImports(&engine, &globals));
        CaptureIronpostMetamodUtilityFunctions(&utility, &plugin);
    }
#endif

    // A client in the server as the engine and game leave it; a bot carries
    // the fake-client flag whether or not any hook saw it arrive.
    edict_t* Connect(int slot, int user_id, const char* auth_id, bool bot = false) {
        edict_t& edict = edicts[slot];
        edict.pvPrivateData = &user_ids[slot];
        edict.v.flags = FL_CLIENT | (bot ? FL_FAKECLIENT : 0);
        user_ids[slot] = user_id;
        auth_ids[slot] = auth_id != nullptr ? std::optional<std::string>(auth_id) : std::nullopt;
        return &edict;
    }

    // The engine frees the slot (after the disconnect hooks ran).
    void Disconnect(int slot) {
        edicts[slot] = edict_t{};
        user_ids[slot] = 0;
        auth_ids[slot].reset();
    }

    // The game registers its user messages when a map loads.
    void RegisterGameMessages() {
        game_messages = {{"TeamInfo", {86, -1}}, {"DeathMsg", {83, -1}},   {"Damage", {71, 12}},
                         {"MOTD", {104, -1}},    {"ShowMenu", {96, -1}},   {"TextMsg", {77, -1}},
                         {"SayText", {76, -1}},  {"SendAudio", {100, -1}}, {"HLTV", {108, 2}},
                         {"ResetHUD", {79, 1}}};
    }

    static FakeEngine& Current() {
        return *Pointer();
    }

    // Like the engine, the process keeps every variable it was given.
    static std::vector<cvar_t*>& EngineCvarList() {
        static auto* list = new std::vector<cvar_t*>();
        return *list;
    }

  private:
    static void AlertMessage(ALERT_TYPE, const char* format, ...) {
        char line[2048];
        va_list arguments;
        va_start(arguments, format);
        std::vsnprintf(line, sizeof(line), format, arguments);
        va_end(arguments);
        Current().alerts.push_back(line);
    }

    static FakeEngine*& Pointer() {
        static FakeEngine* current = nullptr;
        return current;
    }

    int Index(const edict_t* edict) const {
        const edict_t* first = edicts.data();
        return edict >= first && edict < first + edicts.size() ? static_cast<int>(edict - first)
                                                               : 0;
    }

    void Write(const std::vector<std::uint8_t>& bytes) {
        EXPECT_TRUE(message_open) << "write outside a message";
        if (!messages.empty()) {
            messages.back().payload.insert(messages.back().payload.end(), bytes.begin(),
                                           bytes.end());
        }
    }
};

}  // namespace ironpost::testing_support
