// Console variables handed to the engine, and engine output calls executed
// against the engine within the limits the engine and the game impose.

#include "ironpost_metamod_process_output.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <deque>
#include <system_error>

#include "ironpost_engine_output.h"
#include "ironpost_metamod_sdk_engine_imports.h"

namespace ironpost {
namespace {

// The engine's flag for a value that is never sent out (passwords, tokens).
constexpr int kCvarProtected = 32;

// A user message is a short, a char and a byte, or one byte, before its text
// and the text's terminating zero; every part must fit the engine's limit.
static_assert(4 + kShowMenuPartBytes + 1 <= MAX_USER_MSG_DATA);
static_assert(1 + kMotdPartBytes + 1 <= MAX_USER_MSG_DATA);
static_assert(1 + kSayTextMaxBytes + 1 <= MAX_USER_MSG_DATA);

const char kShowMenuTail[] = "\n...";
const char kMotdTail[] = "\n\n[truncated]";
static_assert(kMotdBodyCutBytes + sizeof(kMotdTail) - 1 <= kMotdMaxBytes);

// A leading colour byte keeps a text that begins with '#' from being read as
// a localisation key by the client.
const char kChatColour[] = "\x01";

std::vector<std::string>& MutableEngineRegisteredCvarNames() {
    // Lives as long as the plugin's code: after an unload the loader keeps
    // the variables, and a new load finds them registered.
    static std::vector<std::string> names;
    return names;
}

// The plugin's own record of a variable it registered. The loader's proxy
// registers a copy and never reads the plugin's record again (without the
// loader the engine links it into its list, and nothing unloads the plugin).
struct OwnedCvar {
    std::string name;
    std::string value;
    cvar_t record{};
};

// Owned by the plugin's code, like a static array: released when the loader
// unloads the plugin, so a reload strands nothing on the heap.
std::deque<OwnedCvar>& OwnedCvars() {
    static std::deque<OwnedCvar> cvars;  // a deque: records never move
    return cvars;
}

// `text` read as a whole decimal number; 0 when it is not one or out of range.
float DecimalValue(const std::string& text) {
    float value = 0.0f;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value, std::chars_format::general);
    return error == std::errc() && stop == end && std::isfinite(value) ? value : 0.0f;
}

// The longest prefix of at most `max_bytes` that does not end inside a
// UTF-8 character (looks back at most three bytes).
std::string Utf8Prefix(const std::string& text, std::size_t max_bytes) {
    if (text.size() <= max_bytes) {
        return text;
    }
    std::size_t end = max_bytes;
    while (end > 0 && max_bytes - end < 3 &&
           (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    return text.substr(0, end);
}

template <typename Predicate>
std::string Without(std::string text, Predicate drop) {
    text.erase(std::remove_if(text.begin(), text.end(),
                              [&](char byte) { return drop(static_cast<unsigned char>(byte)); }),
               text.end());
    return text;
}

// One line: control bytes removed (they would end it early, colour it or
// forge further lines), cut to `max_bytes` with its line feed.
std::string OneLine(const std::string& text, std::size_t max_bytes) {
    const std::string clean =
        Without(text, [](unsigned char byte) { return byte < 0x20 || byte == 0x7F; });
    return Utf8Prefix(clean, max_bytes - 1) + "\n";
}

// A panel text without zero bytes (the engine would stop writing there).
std::string PanelText(const std::string& text) {
    return Without(text, [](unsigned char byte) { return byte == 0; });
}

// `text` when it fits `max_bytes`; otherwise its first `cut_at` bytes (whole
// characters) and `tail`.
std::string CutWithTail(const std::string& text, std::size_t cut_at, std::size_t max_bytes,
                        const std::string& tail) {
    return text.size() <= max_bytes ? text : Utf8Prefix(text, cut_at) + tail;
}

void ServerPrint(const std::string& text) {
    static_cast<void>(
        EngineCall(&enginefuncs_t::pfnServerPrint, OneLine(text, kServerLineMaxBytes).c_str()));
}

// Who a one-player output reaches: a connected human's edict, a bot (whose
// messages the engine drops), or nobody (slot 0, empty or out of range).
struct Recipient {
    edict_t* player = nullptr;
    bool bot = false;
};

Recipient FindRecipient(std::int32_t slot) {
    edict_t* edict = IronpostMetamodClientEdict(slot);
    if (edict == nullptr) {
        return {};
    }
    if ((edict->v.flags & FL_FAKECLIENT) != 0) {
        return {nullptr, true};
    }
    return {edict, false};
}

// Every function a user message needs, so that a begun message always ends.
bool CanSendMessages() {
    const enginefuncs_t* engine = IronpostMetamodCapturedEngineFunctions();
    return engine != nullptr && engine->pfnMessageBegin != nullptr &&
           engine->pfnMessageEnd != nullptr && engine->pfnWriteByte != nullptr &&
           engine->pfnWriteChar != nullptr && engine->pfnWriteShort != nullptr &&
           engine->pfnWriteString != nullptr;
}

// The id of a game message when it is known and messages can be sent; 0
// otherwise.
int SendableMessageId(const char* name) {
    return CanSendMessages() ? IronpostMetamodSdkUserMessageId(name) : 0;
}

// Sends `text` to one player in parts of at most `part_bytes`, each one
// message begun and ended before the next; `header(last)` writes the fields
// before a part's text. `id` is known and the functions present.
template <typename Header>
void SendInParts(int id, edict_t* player, const std::string& text, std::size_t part_bytes,
                 Header header) {
    std::size_t offset = 0;
    do {
        const bool last = text.size() - offset <= part_bytes;
        static_cast<void>(EngineCall(&enginefuncs_t::pfnMessageBegin, static_cast<int>(MSG_ONE), id,
                                     nullptr, player));
        header(last);
        static_cast<void>(
            EngineCall(&enginefuncs_t::pfnWriteString, text.substr(offset, part_bytes).c_str()));
        static_cast<void>(EngineCall(&enginefuncs_t::pfnMessageEnd));
        offset += part_bytes;
    } while (offset < text.size());
}

void WriteByte(int value) {
    static_cast<void>(EngineCall(&enginefuncs_t::pfnWriteByte, value));
}

// A line for one player: chat lines as the game's SayText message, with the
// console print as the fallback; slot 0 or an empty slot to the server
// console; nothing to a bot.
void PrintToSlot(std::int32_t slot, bool chat, const std::string& text) {
    const Recipient recipient = FindRecipient(slot);
    if (recipient.bot) {
        return;
    }
    if (recipient.player == nullptr) {
        ServerPrint(text);
        return;
    }
    const int say_text = chat ? SendableMessageId("SayText") : 0;
    if (say_text > 0) {
        const std::string line = kChatColour + OneLine(text, kSayTextMaxBytes - 1);
        SendInParts(say_text, recipient.player, line, kSayTextMaxBytes,
                    [slot](bool) { WriteByte(slot); });  // the sender is the player
        return;
    }
    if (!EngineCall(&enginefuncs_t::pfnClientPrintf, recipient.player,
                    chat ? print_chat : print_console, OneLine(text, kSayTextMaxBytes).c_str())) {
        ServerPrint(text);
    }
}

// A menu or MOTD panel as chat lines: the title, then at most ten body
// lines and "...".
void PrintPanel(std::int32_t slot, const std::string& title, const std::string& body) {
    PrintToSlot(slot, true, "[Iron-Post] " + (title.empty() ? std::string("Iron-Post") : title));
    for (const std::string& line : ConsoleMenuLines(body)) {
        PrintToSlot(slot, true, "[Iron-Post] " + line);
    }
}

void ShowMotd(const EngineOutputCall& call, EngineUiMode mode) {
    if (mode == EngineUiMode::Chat) {
        PrintPanel(call.slot, call.message_name, call.text);
        return;
    }
    const std::string body =
        CutWithTail(PanelText(call.text), kMotdBodyCutBytes, kMotdBodyCutBytes, kMotdTail);
    const Recipient recipient = FindRecipient(call.slot);
    const int id = SendableMessageId("MOTD");
    if (recipient.player != nullptr && id > 0) {
        SendInParts(id, recipient.player, body, kMotdPartBytes,
                    [](bool last) { WriteByte(last ? 1 : 0); });
        return;
    }
    PrintPanel(call.slot, call.message_name, body);
}

// True when the menu went out as ShowMenu messages.
bool ShowMenu(const EngineOutputCall& call, EngineUiMode mode) {
    if (mode == EngineUiMode::Chat) {
        PrintPanel(call.slot, call.message_name, call.text);
        return false;
    }
    const std::string body =
        CutWithTail(PanelText(call.text), kShowMenuMaxBytes - (sizeof(kShowMenuTail) - 1),
                    kShowMenuMaxBytes, kShowMenuTail);
    const Recipient recipient = FindRecipient(call.slot);
    const int id = SendableMessageId("ShowMenu");
    if (recipient.player != nullptr && id > 0) {
        // The char field: -1 keeps the menu up until closed.
        const int seconds = std::clamp(call.menu_display_seconds, -1, 127);
        SendInParts(id, recipient.player, body, kShowMenuPartBytes, [&](bool last) {
            static_cast<void>(EngineCall(&enginefuncs_t::pfnWriteShort, call.menu_key_mask));
            static_cast<void>(EngineCall(&enginefuncs_t::pfnWriteChar, seconds));
            WriteByte(!last || call.menu_needs_more ? 1 : 0);
        });
        return true;
    }
    if (recipient.player != nullptr && CanSendMessages()) {
        ServerPrint("[Iron-Post] ShowMenu unavailable; using player-visible chat fallback.");
    }
    PrintPanel(call.slot, call.message_name, body);
    return false;
}

// Executes one call; true when it showed a menu as ShowMenu messages.
bool Execute(const EngineOutputCall& call, EngineUiMode mode) {
    if (call.kind == EngineOutputCallKind::ServerPrint) {
        ServerPrint(call.text);
        return false;
    }
    if (mode == EngineUiMode::Disabled) {
        return false;
    }
    switch (call.kind) {
        case EngineOutputCallKind::ClientPrintf:
            PrintToSlot(call.slot, call.numeric_value == 1 || call.numeric_value == 2, call.text);
            return false;
        case EngineOutputCallKind::Motd:
            ShowMotd(call, mode);
            return false;
        case EngineOutputCallKind::ShowMenu:
            return ShowMenu(call, mode);
        default:  // the low-level message kinds are never executed one by one
            return false;
    }
}

}  // namespace

const std::vector<std::string>& EngineRegisteredCvarNames() {
    return MutableEngineRegisteredCvarNames();
}

bool IsSecretCvarName(const std::string& name) {
    for (const char* word : {"token", "secret", "password"}) {
        if (name.find(word) != std::string::npos) {
            return true;
        }
    }
    return false;
}

void MetamodProcessCvarRegistry::RegisterCvar(const CvarDefinition& definition) {
    const auto known = std::find_if(cvars_.begin(), cvars_.end(), [&](const CvarDefinition& cvar) {
        return cvar.name == definition.name;
    });
    if (known != cvars_.end()) {
        *known = definition;
    } else {
        cvars_.push_back(definition);
    }
    const enginefuncs_t* engine = IronpostMetamodCapturedEngineFunctions();
    std::vector<std::string>& names = MutableEngineRegisteredCvarNames();
    if (engine == nullptr || engine->pfnCVarRegister == nullptr ||
        std::find(names.begin(), names.end(), definition.name) != names.end()) {
        return;
    }
    names.push_back(definition.name);
    // The engine keeps a variable for the life of the process: after a reload
    // the earlier load's record is the one in use, and no second one is made.
    if (EngineCall(&enginefuncs_t::pfnCVarGetPointer, definition.name.c_str()).value_or(nullptr) !=
        nullptr) {
        return;
    }
    OwnedCvar& cvar = OwnedCvars().emplace_back();
    cvar.name = definition.name;
    cvar.value = definition.default_value;
    cvar.record.name = cvar.name.c_str();
    cvar.record.string = cvar.value.data();
    cvar.record.flags = IsSecretCvarName(definition.name) ? kCvarProtected : 0;
    cvar.record.value = DecimalValue(definition.default_value);
    static_cast<void>(EngineCall(&enginefuncs_t::pfnCVarRegister, &cvar.record));
}

std::optional<std::string> MetamodProcessCvarRegistry::EngineValue(const std::string& name) {
    const cvar_t* live =
        EngineCall(&enginefuncs_t::pfnCVarGetPointer, name.c_str()).value_or(nullptr);
    if (live == nullptr || live->string == nullptr) {
        return std::nullopt;
    }
    return std::string(live->string);
}

EngineUiMode ParseEngineUiMode(const std::string& word) {
    if (word == "menu") {
        return EngineUiMode::Menu;
    }
    return word == "disabled" ? EngineUiMode::Disabled : EngineUiMode::Chat;
}

void MetamodProcessNotificationSink::PublishEngineNotification(
    const EngineNotification& notification) {
    if (notifications_.size() == kNotificationRingCapacity) {
        notifications_.pop_front();
    }
    notifications_.push_back(notification);
    ++notification_count_;
    bool menu_shown = false;
    for (const EngineOutputCall& call : BuildEngineOutputCalls(notification)) {
        menu_shown = Execute(call, ui_mode_) || menu_shown;
    }
    if (notification.channel == EngineNotificationChannel::Menu) {
        last_menu_shown_ = menu_shown;
    }
}

void MetamodProcessNotificationSink::Clear() {
    notifications_.clear();
    notification_count_ = 0;
}

}  // namespace ironpost
