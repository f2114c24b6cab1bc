#include "ironpost_metamod_sdk_engine_imports.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace ironpost {
namespace {

// The engine table is copied: what the loader hands over stays the loader's.
enginefuncs_t g_engine_functions{};
bool g_engine_functions_captured = false;
globalvars_t* g_globals = nullptr;
const char* g_engine_import_status = "";
const char* g_engine_import_validation_status = "";

const mutil_funcs_t* g_utility_functions = nullptr;
plid_t g_plugin_id = nullptr;

std::vector<MetamodSdkUserMessageRegistration> g_user_messages;  // the last lookup, in order
const char* g_user_message_status = "";

char g_last_stopped_exception[256] = "";
unsigned g_stopped_exception_count = 0;

template <auto Slot>
bool Present(const enginefuncs_t& engine) {
    return engine.*Slot != nullptr;
}

struct RequiredImport {
    const char* name;
    bool (*present)(const enginefuncs_t&);
};

// In check order; the names are what a validation reports as missing.
constexpr RequiredImport kRequiredImports[] = {
    {"pfnCVarRegister", &Present<&enginefuncs_t::pfnCVarRegister>},
    {"pfnGetPlayerAuthId", &Present<&enginefuncs_t::pfnGetPlayerAuthId>},
    {"pfnIndexOfEdict", &Present<&enginefuncs_t::pfnIndexOfEdict>},
    {"pfnPEntityOfEntIndex", &Present<&enginefuncs_t::pfnPEntityOfEntIndex>},
    {"pfnCmd_Argc", &Present<&enginefuncs_t::pfnCmd_Argc>},
    {"pfnCmd_Argv", &Present<&enginefuncs_t::pfnCmd_Argv>},
    {"pfnCmd_Args", &Present<&enginefuncs_t::pfnCmd_Args>},
    {"pfnClientPrintf", &Present<&enginefuncs_t::pfnClientPrintf>},
    {"pfnServerPrint", &Present<&enginefuncs_t::pfnServerPrint>},
    {"pfnAlertMessage", &Present<&enginefuncs_t::pfnAlertMessage>},
    {"pfnMessageBegin", &Present<&enginefuncs_t::pfnMessageBegin>},
    {"pfnMessageEnd", &Present<&enginefuncs_t::pfnMessageEnd>},
    {"pfnWriteByte", &Present<&enginefuncs_t::pfnWriteByte>},
    {"pfnWriteChar", &Present<&enginefuncs_t::pfnWriteChar>},
    {"pfnWriteShort", &Present<&enginefuncs_t::pfnWriteShort>},
    {"pfnWriteString", &Present<&enginefuncs_t::pfnWriteString>},
    {"pfnRegUserMsg", &Present<&enginefuncs_t::pfnRegUserMsg>},
};
static_assert(std::size(kRequiredImports) == kRequiredEngineImportCount);

struct ImportCounts {
    bool captured = false;
    std::uint32_t available = 0;
    std::uint32_t missing = 0;
};

// Counts the required functions, appending the missing names when asked;
// without `missing_names` it allocates nothing.
ImportCounts CountImports(std::vector<std::string>* missing_names) {
    ImportCounts counts;
    counts.captured = g_engine_functions_captured && g_globals != nullptr;
    for (const RequiredImport& import : kRequiredImports) {
        if (counts.captured && import.present(g_engine_functions)) {
            ++counts.available;
            continue;
        }
        ++counts.missing;
        if (missing_names != nullptr) {
            missing_names->push_back(import.name);
        }
    }
    g_engine_import_validation_status = !counts.captured ? "sdk_engine_imports_not_captured"
                                        : counts.missing > 0
                                            ? "sdk_engine_imports_missing_required_fields"
                                            : "sdk_engine_imports_validated";
    return counts;
}

bool Validated(const ImportCounts& counts) {
    return counts.captured && counts.missing == 0;
}

// The message ids the engine hands out; anything else is not a real id.
bool IsUserMessageId(int id) {
    return id >= 1 && id <= 255;
}

const MetamodSdkUserMessageRegistration* FindResolved(const char* name) {
    for (const MetamodSdkUserMessageRegistration& message : g_user_messages) {
        if (message.registered && message.name == name) {
            return &message;
        }
    }
    return nullptr;
}

MetamodSdkUserMessageRegistrationReport UnresolvedReport(const char* status) {
    MetamodSdkUserMessageRegistrationReport report;
    report.required_user_message_count = kGameUserMessages.size();
    report.status = status;
    return report;
}

MetamodSdkUserMessageRegistrationReport ResolveUserMessages() {
    if (!IronpostMetamodEngineImportsValidated()) {
        g_user_messages.clear();
        g_user_message_status = "sdk_user_messages_engine_imports_not_validated";
        return UnresolvedReport(g_user_message_status);
    }
    if (g_utility_functions == nullptr || g_utility_functions->pfnGetUserMsgID == nullptr) {
        g_user_messages.clear();
        g_user_message_status = "sdk_user_messages_lookup_unavailable";
        return UnresolvedReport(g_user_message_status);
    }
    MetamodSdkUserMessageRegistrationReport report = UnresolvedReport("");
    for (const char* name : kGameUserMessages) {
        if (const MetamodSdkUserMessageRegistration* known = FindResolved(name)) {
            report.messages.push_back(*known);
        } else {
            MetamodSdkUserMessageRegistration message;
            message.name = name;
            const std::optional<int> id =
                MetamodUtilityCall(&mutil_funcs_t::pfnGetUserMsgID, name, &message.size);
            message.registered = id.has_value() && IsUserMessageId(*id);
            message.id = message.registered ? *id : 0;
            message.status = message.registered ? "sdk_user_message_registered"
                                                : "sdk_user_message_registration_failed";
            report.messages.push_back(std::move(message));
        }
        if (report.messages.back().registered) {
            ++report.registered_user_message_count;
        } else {
            ++report.failed_user_message_count;
        }
    }
    report.registered = report.failed_user_message_count == 0;
    const char* status = report.registered ? "sdk_user_messages_registered"
                                           : "sdk_user_messages_registration_failed";
    report.status = status;
    // Committed only once built: an exception above leaves the earlier ids.
    std::vector<MetamodSdkUserMessageRegistration> messages = report.messages;
    g_user_messages.swap(messages);
    g_user_message_status = status;
    return report;
}

}  // namespace

MetamodSdkEngineImportSnapshot CaptureIronpostMetamodEngineImports(const enginefuncs_t* functions,
                                                                   globalvars_t* globals) {
    if (functions == nullptr || globals == nullptr) {
        g_engine_functions = enginefuncs_t{};
        g_engine_functions_captured = false;
        g_globals = nullptr;
        g_engine_import_status = functions == nullptr
                                     ? "sdk_engine_imports_missing_engine_functions"
                                     : "sdk_engine_imports_missing_globals";
    } else {
        std::memcpy(&g_engine_functions, functions, sizeof(g_engine_functions));
        g_engine_functions_captured = true;
        g_globals = globals;
        g_engine_import_status = "sdk_engine_imports_captured";
    }
    return IronpostMetamodEngineImportSnapshot();
}

MetamodSdkEngineImportSnapshot IronpostMetamodEngineImportSnapshot() {
    MetamodSdkEngineImportSnapshot snapshot;
    snapshot.engine_functions_captured = g_engine_functions_captured;
    snapshot.globals_captured = g_globals != nullptr;
    snapshot.captured = snapshot.engine_functions_captured && snapshot.globals_captured;
    snapshot.status = g_engine_import_status;
    return snapshot;
}

const enginefuncs_t* IronpostMetamodCapturedEngineFunctions() {
    return g_engine_functions_captured ? &g_engine_functions : nullptr;
}

globalvars_t* IronpostMetamodCapturedGlobals() {
    return g_globals;
}

void CaptureIronpostMetamodUtilityFunctions(const mutil_funcs_t* utility, plid_t plugin) {
    // Ids found through an earlier loader say nothing about this one.
    g_user_messages.clear();
    g_user_message_status = "";
    g_utility_functions = utility;
    g_plugin_id = plugin;
}

const mutil_funcs_t* IronpostMetamodCapturedUtilityFunctions() {
    return g_utility_functions;
}

plid_t IronpostMetamodPluginId() {
    return g_plugin_id;
}

MetamodSdkEngineImportValidationReport IronpostValidateMetamodEngineImports() {
    MetamodSdkEngineImportValidationReport report;
    const MetamodSdkEngineImportSnapshot snapshot = IronpostMetamodEngineImportSnapshot();
    report.engine_functions_captured = snapshot.engine_functions_captured;
    report.globals_captured = snapshot.globals_captured;
    report.captured = snapshot.captured;
    const ImportCounts counts = CountImports(&report.missing_engine_imports);
    report.validated = Validated(counts);
    report.required_engine_import_count = kRequiredEngineImportCount;
    report.available_engine_import_count = counts.available;
    report.missing_engine_import_count = counts.missing;
    report.status = g_engine_import_validation_status;
    return report;
}

bool IronpostMetamodEngineImportsValidated() {
    return Validated(CountImports(nullptr));
}

MetamodSdkUserMessageRegistrationReport IronpostRegisterMetamodSdkUserMessages() {
    return IronpostNoThrow("IronpostRegisterMetamodSdkUserMessages",
                           UnresolvedReport("sdk_user_messages_registration_failed"),
                           ResolveUserMessages);
}

bool IronpostResolveMetamodSdkUserMessagesIfPending() {
    if (std::strcmp(g_user_message_status, "sdk_user_messages_registered") == 0) {
        return true;
    }
    return IronpostRegisterMetamodSdkUserMessages().registered;
}

int IronpostMetamodSdkUserMessageId(const std::string& name) {
    const MetamodSdkUserMessageRegistration* message = FindResolved(name.c_str());
    return message != nullptr ? message->id : 0;
}

int IronpostMetamodMaxClients() {
    return g_globals != nullptr ? std::clamp(g_globals->maxClients, 0, kMaxClientSlots) : 0;
}

edict_t* IronpostMetamodSlotEdict(int slot) {
    if (slot < 1 || slot > IronpostMetamodMaxClients()) {
        return nullptr;
    }
    edict_t* edict = EngineCall(&enginefuncs_t::pfnPEntityOfEntIndex, slot).value_or(nullptr);
    return edict != nullptr && edict->free == 0 ? edict : nullptr;
}

edict_t* IronpostMetamodClientEdict(int slot) {
    edict_t* edict = IronpostMetamodSlotEdict(slot);
    if (edict == nullptr || edict->pvPrivateData == nullptr || (edict->v.flags & FL_CLIENT) == 0) {
        return nullptr;
    }
    return edict;
}

bool IronpostMetamodSlotIsFakeClient(int slot) {
    const edict_t* edict = IronpostMetamodClientEdict(slot);
    return edict != nullptr && (edict->v.flags & FL_FAKECLIENT) != 0;
}

std::vector<int> IronpostMetamodFakeClientSlots() {
    std::vector<int> slots;
    for (int slot = 1; slot <= IronpostMetamodMaxClients(); ++slot) {
        if (IronpostMetamodSlotIsFakeClient(slot)) {
            slots.push_back(slot);
        }
    }
    return slots;
}

int IronpostMetamodSlotForUserId(int user_id) {
    if (user_id < 1) {
        return 0;
    }
    for (int slot = 1; slot <= IronpostMetamodMaxClients(); ++slot) {
        edict_t* edict = IronpostMetamodSlotEdict(slot);
        if (edict != nullptr &&
            EngineCall(&enginefuncs_t::pfnGetPlayerUserId, edict).value_or(0) == user_id) {
            return slot;
        }
    }
    return 0;
}

std::optional<std::string> IronpostMetamodClientAuthId(int slot) {
    edict_t* edict = IronpostMetamodClientEdict(slot);
    if (edict == nullptr) {
        return std::nullopt;
    }
    const char* id = EngineCall(&enginefuncs_t::pfnGetPlayerAuthId, edict).value_or(nullptr);
    return id != nullptr && *id != '\0' ? std::optional<std::string>(id) : std::nullopt;
}

void IronpostMetamodServerPrint(const std::string& text) {
    static_cast<void>(EngineCall(&enginefuncs_t::pfnServerPrint, text.c_str()));
}

std::string IronpostMetamodGameDirectory() {
    // The engine copies without a length; its own buffer is far smaller.
    std::array<char, 4096> buffer{};
    if (!EngineCall(&enginefuncs_t::pfnGetGameDir, buffer.data()) || buffer.back() != '\0') {
        return {};
    }
    return std::string(buffer.data());
}

std::string IronpostResolveAgainstGameDirectory(const std::string& game_directory,
                                                const std::string& path) {
    std::string directory = game_directory;
    while (directory.size() > 1 && directory.back() == '/') {
        directory.pop_back();
    }
    if (path.empty() || path.front() == '/' || directory.empty() || directory == ".") {
        return path;
    }
    return directory == "/" ? directory + path : directory + "/" + path;
}

std::string IronpostMetamodResolveGamePath(const std::string& path) {
    return IronpostResolveAgainstGameDirectory(IronpostMetamodGameDirectory(), path);
}

void RecordIronpostStoppedException(const char* where, const char* what) noexcept {
    std::snprintf(g_last_stopped_exception, sizeof(g_last_stopped_exception), "%s: %s",
                  where != nullptr ? where : "", what != nullptr ? what : "");
    ++g_stopped_exception_count;
}

}  // namespace ironpost

using namespace ironpost;

const char* ironpost_metamod_sdk_engine_import_status() {
    return g_engine_import_status;
}

int ironpost_metamod_sdk_engine_imports_captured() {
    return g_engine_functions_captured && g_globals != nullptr ? 1 : 0;
}

int ironpost_metamod_sdk_engine_functions_captured() {
    return g_engine_functions_captured ? 1 : 0;
}

int ironpost_metamod_sdk_globals_captured() {
    return g_globals != nullptr ? 1 : 0;
}

int ironpost_metamod_sdk_engine_imports_validated() {
    return IronpostMetamodEngineImportsValidated() ? 1 : 0;
}

unsigned ironpost_metamod_sdk_required_engine_import_count() {
    return kRequiredEngineImportCount;
}

unsigned ironpost_metamod_sdk_available_engine_import_count() {
    return CountImports(nullptr).available;
}

unsigned ironpost_metamod_sdk_missing_engine_import_count() {
    return CountImports(nullptr).missing;
}

const char* ironpost_metamod_sdk_engine_import_validation_status() {
    CountImports(nullptr);
    return g_engine_import_validation_status;
}

int ironpost_metamod_sdk_user_messages_registered() {
    return std::strcmp(g_user_message_status, "sdk_user_messages_registered") == 0 ? 1 : 0;
}

unsigned ironpost_metamod_sdk_required_user_message_count() {
    return kGameUserMessages.size();
}

unsigned ironpost_metamod_sdk_registered_user_message_count() {
    return static_cast<unsigned>(std::count_if(
        g_user_messages.begin(), g_user_messages.end(),
        [](const MetamodSdkUserMessageRegistration& message) { return message.registered; }));
}

int ironpost_metamod_sdk_user_message_id(const char* name) {
    if (name == nullptr) {
        return 0;
    }
    const MetamodSdkUserMessageRegistration* message = FindResolved(name);
    return message != nullptr ? message->id : 0;
}

const char* ironpost_metamod_sdk_user_message_registration_status() {
    return g_user_message_status;
}

const char* ironpost_metamod_sdk_last_stopped_exception() {
    return g_last_stopped_exception;
}

unsigned ironpost_metamod_sdk_stopped_exception_count() {
    return g_stopped_exception_count;
}
