// The engine function table and the loader's utility table of the simulated
// engine: every slot filled, the modelled ones with the engine's behaviour.

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>

#include "sim_engine.h"

namespace ironpost::sim {

namespace {

constexpr int kEngineSlots = sizeof(enginefuncs_t) / sizeof(void*);
constexpr int kFirstPluginMessageId = 146;

// One distinct stub per table slot, so a call to a slot the simulator does
// not model is named by its index instead of crashing on a null pointer.
template <int Index>
void UnsimulatedSlot() {
    SimEngine::Current().NoteUnsimulated(Index);
}

template <int... Index>
void FillStubs(enginefuncs_t& table, std::integer_sequence<int, Index...>) {
    using Stub = void (*)();
    const Stub stubs[] = {&UnsimulatedSlot<Index>...};
    static_assert(sizeof(stubs) == sizeof(enginefuncs_t), "one stub per slot");
    std::memcpy(static_cast<void*>(&table), stubs, sizeof(stubs));
}

std::string Format(const char* format, va_list arguments) {
    if (format == nullptr) {
        return {};
    }
    char buffer[2048];
    std::vsnprintf(buffer, sizeof(buffer), format, arguments);
    return buffer;
}

}  // namespace

// ---------------------------------------------------------------------------
// The tables

void SimEngine::AlertMessageEntry(ALERT_TYPE type, const char* format, ...) {
    SimEngine& engine = Current();
    va_list arguments;
    va_start(arguments, format);
    const std::string text = Format(format, arguments);
    va_end(arguments);
    if (type == at_logged) {
        engine.Output(EngineOutput::Kind::LogLine, 0, PrintableText(text));
    }
}

void SimEngine::ClientCommandEntry(edict_t* edict, const char* format, ...) {
    SimEngine& engine = Current();
    va_list arguments;
    va_start(arguments, format);
    const std::string text = Format(format, arguments);
    va_end(arguments);
    engine.Output(EngineOutput::Kind::ClientExec, engine.SlotOf(edict), PrintableText(text));
}

void SimEngine::EngineFprintfEntry(void*, const char*, ...) {
    Current().NoteUnsimulated(62);
}

void SimEngine::LoaderLogEntry(plid_t plugin, const char* format, ...) {
    SimEngine& engine = Current();
    va_list arguments;
    va_start(arguments, format);
    const std::string text = Format(format, arguments);
    va_end(arguments);
    const std::string tag = plugin != nullptr && plugin->logtag != nullptr ? plugin->logtag : "";
    engine.Output(EngineOutput::Kind::LogLine, 0, "[" + tag + "] " + PrintableText(text));
}

void SimEngine::FillFunctions() {
    FillStubs(functions_, std::make_integer_sequence<int, kEngineSlots>());
    enginefuncs_t& f = functions_;
    f.pfnPrecacheModel = [](const char*) { return 1; };
    f.pfnPrecacheSound = [](const char*) { return 1; };
    f.pfnModelIndex = [](const char*) { return 1; };
    f.pfnPrecacheGeneric = [](const char*) { return 1; };
    f.pfnChangeLevel = [](const char* map, const char*) {
        Current().Output(EngineOutput::Kind::ServerCommand, 0,
                         std::string("changelevel ") + (map ? map : "") + " (not replayed)");
    };
    f.pfnServerCommand = [](const char* text) {
        Current().QueueServerCommand(text != nullptr ? text : "");
    };
    f.pfnServerExecute = [] { Current().ExecuteQueuedCommands(); };
    f.pfnClientCommand = &ClientCommandEntry;
    f.pfnMessageBegin = [](int dest, int id, const float*, edict_t* edict) {
        Current().BeginMessage(dest, id, edict);
    };
    f.pfnMessageEnd = [] { Current().EndMessage(); };
    f.pfnWriteByte = [](int value) {
        const auto byte = static_cast<std::uint8_t>(value);
        Current().WriteBytes(&byte, 1);
    };
    f.pfnWriteChar = f.pfnWriteByte;
    f.pfnWriteShort = [](int value) {
        const std::uint8_t bytes[] = {static_cast<std::uint8_t>(value),
                                      static_cast<std::uint8_t>(value >> 8)};
        Current().WriteBytes(bytes, 2);
    };
    f.pfnWriteLong = [](int value) {
        const auto raw = static_cast<std::uint32_t>(value);
        const std::uint8_t bytes[] = {
            static_cast<std::uint8_t>(raw), static_cast<std::uint8_t>(raw >> 8),
            static_cast<std::uint8_t>(raw >> 16), static_cast<std::uint8_t>(raw >> 24)};
        Current().WriteBytes(bytes, 4);
    };
    f.pfnWriteAngle = [](float) {
        const std::uint8_t byte = 0;
        Current().WriteBytes(&byte, 1);
    };
    f.pfnWriteCoord = [](float) {
        const std::uint8_t bytes[2] = {0, 0};
        Current().WriteBytes(bytes, 2);
    };
    f.pfnWriteString = [](const char* text) {
        const char* safe = text != nullptr ? text : "";
        Current().WriteBytes(safe, std::strlen(safe) + 1);
    };
    f.pfnWriteEntity = f.pfnWriteShort;
    f.pfnCVarRegister = [](cvar_t* cvar) {
        SimEngine& engine = Current();
        if (cvar == nullptr || cvar->name == nullptr) {
            engine.Fault("pfnCVarRegister without a cvar name");
            return;
        }
        // Through the loader's proxy: a copy is registered, an earlier value
        // kept, and the plugin's own record is never looked at again, so what
        // the plugin allocated for it is the plugin's to release.
        if (engine.FindCvar(cvar->name) == nullptr) {
            engine.StoreCvar(cvar->name, cvar->string != nullptr ? cvar->string : "", cvar->flags);
            engine.cvar_order_.push_back(cvar->name);
        }
    };
    f.pfnCVarGetFloat = [](const char* name) {
        StoredCvar* cvar = Current().FindCvar(name != nullptr ? name : "");
        return cvar != nullptr ? cvar->cvar.value : 0.0f;
    };
    f.pfnCVarGetString = [](const char* name) -> const char* {
        StoredCvar* cvar = Current().FindCvar(name != nullptr ? name : "");
        return cvar != nullptr ? cvar->value.c_str() : "";
    };
    f.pfnCVarSetFloat = [](const char* name, float value) {
        SimEngine& engine = Current();
        if (StoredCvar* cvar = engine.FindCvar(name != nullptr ? name : "")) {
            char text[64];
            std::snprintf(text, sizeof(text), "%g", static_cast<double>(value));
            engine.StoreCvar(cvar->name, text, cvar->cvar.flags);
        }
    };
    f.pfnCVarSetString = [](const char* name, const char* value) {
        SimEngine& engine = Current();
        if (StoredCvar* cvar = engine.FindCvar(name != nullptr ? name : "")) {
            engine.StoreCvar(cvar->name, value != nullptr ? value : "", cvar->cvar.flags);
        }
    };
    f.pfnCVarGetPointer = [](const char* name) -> cvar_t* {
        StoredCvar* cvar = Current().FindCvar(name != nullptr ? name : "");
        return cvar != nullptr ? &cvar->cvar : nullptr;
    };
    f.pfnAlertMessage = &AlertMessageEntry;
    f.pfnEngineFprintf = &EngineFprintfEntry;
    f.pfnSzFromIndex = [](int offset) -> const char* {
        SimEngine& engine = Current();
        return offset >= 0 && static_cast<std::size_t>(offset) < engine.strings_used_
                   ? engine.strings_.data() + offset
                   : "";
    };
    f.pfnAllocString = [](const char* text) {
        return Current().AllocString(text != nullptr ? text : "");
    };
    f.pfnGetVarsOfEnt = [](edict_t* edict) { return edict != nullptr ? &edict->v : nullptr; };
    f.pfnPEntityOfEntOffset = [](int offset) {
        return Current().Edict(offset / static_cast<int>(sizeof(edict_t)));
    };
    f.pfnEntOffsetOfPEntity = [](const edict_t* edict) {
        return std::max(0, Current().SlotOf(edict)) * static_cast<int>(sizeof(edict_t));
    };
    f.pfnIndexOfEdict = [](const edict_t* edict) {
        SimEngine& engine = Current();
        const int slot = engine.SlotOf(edict);
        if (edict != nullptr && slot < 0) {
            engine.Fault("pfnIndexOfEdict with a pointer that is no edict");
        }
        return std::max(0, slot);
    };
    f.pfnPEntityOfEntIndex = [](int index) { return Current().Edict(index); };
    f.pfnFindEntityByVars = [](entvars_t* vars) -> edict_t* {
        SimEngine& engine = Current();
        for (edict_t& edict : engine.edicts_) {
            if (&edict.v == vars) {
                return &edict;
            }
        }
        return nullptr;
    };
    f.pfnRegUserMsg = [](const char* name, int) {
        SimEngine& engine = Current();
        const std::string message = name != nullptr ? name : "";
        if (const auto game = engine.game_messages_.find(message);
            game != engine.game_messages_.end()) {
            return game->second.first;
        }
        for (const auto& own : engine.plugin_messages_) {
            if (own.second == message) {
                return own.first;
            }
        }
        const int id = kFirstPluginMessageId + static_cast<int>(engine.plugin_messages_.size());
        engine.plugin_messages_[id] = message;
        return id;
    };
    f.pfnClientPrintf = [](edict_t* edict, PRINT_TYPE type, const char* text) {
        SimEngine& engine = Current();
        const int slot = engine.SlotOf(edict);
        const SimClient* client = engine.ClientAtSlot(slot);
        engine.Output(EngineOutput::Kind::ClientPrint, slot,
                      std::string(type == print_chat ? "" : "(console) ") +
                          PrintableText(text != nullptr ? text : ""),
                      {}, client == nullptr || client->fake);
    };
    f.pfnServerPrint = [](const char* text) {
        Current().Output(EngineOutput::Kind::ServerPrint, 0,
                         PrintableText(text != nullptr ? text : ""));
    };
    f.pfnCmd_Args = []() -> const char* {
        SimEngine& engine = Current();
        return engine.args_ ? engine.args_->c_str() : nullptr;
    };
    f.pfnCmd_Argv = [](int index) -> const char* {
        SimEngine& engine = Current();
        return index >= 0 && static_cast<std::size_t>(index) < engine.argv_.size()
                   ? engine.argv_[static_cast<std::size_t>(index)].c_str()
                   : "";
    };
    f.pfnCmd_Argc = [] { return static_cast<int>(Current().argv_.size()); };
    f.pfnRandomLong = [](std::int32_t low, std::int32_t high) -> std::int32_t {
        if (high <= low) {
            return low;
        }
        const auto span = static_cast<std::uint64_t>(static_cast<std::int64_t>(high) - low) + 1;
        return static_cast<std::int32_t>(low +
                                         static_cast<std::int64_t>(Current().NextRandom() % span));
    };
    f.pfnRandomFloat = [](float low, float high) {
        const double unit = static_cast<double>(Current().NextRandom() >> 11) / 9007199254740992.0;
        return static_cast<float>(low + (high - low) * unit);
    };
    f.pfnTime = [] { return Current().globals_.time; };
    f.pfnVecToYaw = [](const float*) { return 0.0f; };
    f.pfnGetGameDir = [](char* buffer) {
        if (buffer != nullptr) {
            const std::string& dir = Current().game_dir_;
            std::memcpy(buffer, dir.c_str(), dir.size() + 1);
        }
    };
    f.pfnCreateFakeClient = [](const char*) -> edict_t* {
        Current().NoteUnsimulated(103);
        return nullptr;  // bots come from the replayed log
    };
    f.pfnNumberOfEntities = [] { return Current().EdictCount(); };
    f.pfnGetInfoKeyBuffer = [](edict_t* edict) {
        SimEngine& engine = Current();
        return engine.InfoBuffer(edict != nullptr ? engine.SlotOf(edict) : 0);
    };
    f.pfnInfoKeyValue = [](char* buffer, const char* key) -> char* {
        SimEngine& engine = Current();
        engine.key_value_.fill('\0');
        if (buffer == nullptr || key == nullptr) {
            return engine.key_value_.data();
        }
        const std::vector<std::string> parts = [&] {
            std::vector<std::string> out;
            std::string part;
            for (const char* at = buffer + (*buffer == '\\' ? 1 : 0); *at != '\0'; ++at) {
                if (*at == '\\') {
                    out.push_back(part);
                    part.clear();
                } else {
                    part += *at;
                }
            }
            out.push_back(part);
            return out;
        }();
        for (std::size_t i = 0; i + 1 < parts.size(); i += 2) {
            if (parts[i] == key) {
                std::strncpy(engine.key_value_.data(), parts[i + 1].c_str(),
                             engine.key_value_.size() - 1);
            }
        }
        return engine.key_value_.data();
    };
    f.pfnSetClientKeyValue = [](int, char*, const char*, const char*) {
        Current().NoteUnsimulated(109);
    };
    f.pfnIsMapValid = [](const char*) { return 1; };
    f.pfnGetPlayerUserId = [](edict_t* edict) {
        SimEngine& engine = Current();
        const SimClient* client = engine.ClientAtSlot(engine.SlotOf(edict));
        return client != nullptr ? client->user_id : -1;
    };
    f.pfnIsDedicatedServer = [] { return 1; };
    f.pfnGetPlayerWONId = [](edict_t*) { return 0xFFFFFFFFu; };
    f.pfnGetPlayerStats = [](const edict_t*, int* ping, int* loss) {
        if (ping != nullptr) {
            *ping = 25;
        }
        if (loss != nullptr) {
            *loss = 0;
        }
    };
    f.pfnAddServerCommand = [](const char* name, void (*function)()) {
        if (name != nullptr && function != nullptr) {
            Current().plugin_commands_[name] = function;
        }
    };
    f.pfnGetPlayerAuthId = [](edict_t* edict) { return Current().AuthIdBuffer(edict); };
    f.pfnGetFileSize = [](const char*) { return -1; };
    f.pfnEngCheckParm = [](const char*, char**) { return 0; };
}

void SimEngine::FillUtility() {
    mutil_funcs_t& u = utility_;
    u.pfnLogConsole = &LoaderLogEntry;
    u.pfnLogMessage = &LoaderLogEntry;
    u.pfnLogError = &LoaderLogEntry;
    u.pfnLogDeveloper = &LoaderLogEntry;
    u.pfnCenterSay = &LoaderLogEntry;
    u.pfnCallGameEntity = [](plid_t, const char*, entvars_t*) -> qboolean { return 0; };
    u.pfnGetUserMsgID = [](plid_t, const char* name, int* size) {
        SimEngine& engine = Current();
        const auto found = engine.game_messages_.find(name != nullptr ? name : "");
        if (found == engine.game_messages_.end()) {
            return 0;
        }
        if (size != nullptr) {
            *size = found->second.second;
        }
        return found->second.first;
    };
    u.pfnGetUserMsgName = [](plid_t, int id, int* size) -> const char* {
        for (const auto& entry : Current().game_messages_) {
            if (entry.second.first == id) {
                if (size != nullptr) {
                    *size = entry.second.second;
                }
                return entry.first.c_str();
            }
        }
        return nullptr;
    };
    u.pfnGetPluginPath = [](plid_t) { return Current().plugin_path_.c_str(); };
    u.pfnGetGameInfo = [](plid_t, ginfo_t kind) -> const char* {
        SimEngine& engine = Current();
        return kind == GINFO_GAMEDIR ? engine.game_dir_.c_str() : "cstrike";
    };
    u.pfnLoadPlugin = [](plid_t, const char*, PLUG_LOADTIME, void**) { return 1; };
    u.pfnUnloadPlugin = [](plid_t, const char*, PLUG_LOADTIME, PL_UNLOAD_REASON) { return 1; };
    u.pfnUnloadPluginByHandle = [](plid_t, void*, PLUG_LOADTIME, PL_UNLOAD_REASON) { return 1; };
    u.pfnIsQueryingClientCvar = [](plid_t, const edict_t*) -> const char* { return nullptr; };
    u.pfnMakeRequestID = [](plid_t) { return Current().next_request_id_++; };
    u.pfnGetHookTables = [](plid_t, enginefuncs_t** engine, DLL_FUNCTIONS** dll,
                            NEW_DLL_FUNCTIONS** new_dll) {
        if (engine != nullptr) {
            *engine = &Current().functions_;
        }
        if (dll != nullptr) {
            *dll = nullptr;
        }
        if (new_dll != nullptr) {
            *new_dll = nullptr;
        }
    };
}

}  // namespace ironpost::sim
