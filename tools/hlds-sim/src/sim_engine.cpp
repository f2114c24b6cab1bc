#include "sim_engine.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace ironpost::sim {

namespace {

SimEngine* g_engine = nullptr;

constexpr int kEngineSlots = sizeof(enginefuncs_t) / sizeof(void*);
constexpr std::size_t kStringPoolBytes = 1 << 20;
// Ids the simulated game gives its user messages when a map loads, with the
// sizes it declares (-1: variable length).
const std::map<std::string, std::pair<int, int>> kGameMessages = {
    {"Damage", {71, 12}},   {"SayText", {76, -1}},    {"TextMsg", {77, -1}},
    {"ResetHUD", {79, 1}},  {"DeathMsg", {83, -1}},   {"TeamInfo", {86, -1}},
    {"ShowMenu", {96, -1}}, {"SendAudio", {100, -1}}, {"MOTD", {104, -1}},
    {"HLTV", {108, 2}},     {"ScoreInfo", {85, 9}},   {"StatusIcon", {107, -1}}};
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

std::string Printable(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20) {
            c = c == '\n' ? '|' : ' ';
        }
    }
    return text;
}

float ToFloat(const std::string& value) {
    char* end = nullptr;
    const float number = std::strtof(value.c_str(), &end);
    return end != value.c_str() ? number : 0.0f;
}

}  // namespace

const char* EngineOutputKindName(EngineOutput::Kind kind) {
    switch (kind) {
        case EngineOutput::Kind::ServerPrint:
            return "server print";
        case EngineOutput::Kind::ClientPrint:
            return "client print";
        case EngineOutput::Kind::ServerCommand:
            return "server command";
        case EngineOutput::Kind::UserMessage:
            return "user message";
        case EngineOutput::Kind::LogLine:
            return "log line";
        case EngineOutput::Kind::ClientExec:
            return "client command";
    }
    return "output";
}

SimEngine::SimEngine(int max_clients, std::string game_dir, std::uint64_t seed)
    : max_clients_(max_clients),
      game_dir_(std::move(game_dir)),
      random_state_(seed ^ 0x9E3779B97F4A7C15ull),
      thread_(std::this_thread::get_id()),
      edicts_(static_cast<std::size_t>(max_clients) + 1),
      clients_(static_cast<std::size_t>(max_clients) + 1),
      info_buffers_(static_cast<std::size_t>(max_clients) + 1),
      strings_(kStringPoolBytes, '\0') {
    g_engine = this;
    globals_.maxClients = max_clients_;
    globals_.maxEntities = static_cast<int>(edicts_.size());
    globals_.pStringBase = strings_.data();
    FillFunctions();
    FillUtility();
}

SimEngine::~SimEngine() {
    if (g_engine == this) {
        g_engine = nullptr;
    }
}

SimEngine& SimEngine::Current() {
    SimEngine& engine = *g_engine;
    if (std::this_thread::get_id() != engine.thread_) {
        engine.off_thread_calls_.fetch_add(1);
    }
    return engine;
}

void SimEngine::SetPlugin(std::string path, plugin_info_t* info) {
    plugin_path_ = std::move(path);
    plugin_info_ = info;
}

// ---------------------------------------------------------------------------
// Clients

SimClient* SimEngine::ClientByUserId(int user_id) {
    for (auto& client : clients_) {
        if (client && client->user_id == user_id) {
            return &*client;
        }
    }
    return nullptr;
}

SimClient* SimEngine::ClientAtSlot(int slot) {
    if (slot < 1 || slot > max_clients_ || !clients_[static_cast<std::size_t>(slot)]) {
        return nullptr;
    }
    return &*clients_[static_cast<std::size_t>(slot)];
}

SimClient* SimEngine::Seat(int user_id, const std::string& name, const std::string& auth_id,
                           bool fake) {
    for (int slot = 1; slot <= max_clients_; ++slot) {
        auto& seat = clients_[static_cast<std::size_t>(slot)];
        if (seat) {
            continue;
        }
        seat = SimClient{};
        seat->slot = slot;
        seat->user_id = user_id;
        seat->auth_id = fake ? "BOT" : auth_id;
        seat->fake = fake;
        seat->map_index = map_index_;
        edict_t& edict = edicts_[static_cast<std::size_t>(slot)];
        edict.free = 0;
        edict.serialnumber += 1;
        edict.pvPrivateData = &*seat;  // the game's player object, as far as anyone looks
        edict.v.flags = FL_CLIENT | (fake ? FL_FAKECLIENT : 0);
        Rename(slot, name);
        return &*seat;
    }
    return nullptr;
}

void SimEngine::Unseat(int slot) {
    if (ClientAtSlot(slot) == nullptr) {
        return;
    }
    clients_[static_cast<std::size_t>(slot)].reset();
    edict_t& edict = edicts_[static_cast<std::size_t>(slot)];
    edict.pvPrivateData = nullptr;
    edict.v.flags = 0;
    edict.v.netname = 0;
    info_buffers_[static_cast<std::size_t>(slot)].fill('\0');
}

void SimEngine::Rename(int slot, const std::string& name) {
    SimClient* client = ClientAtSlot(slot);
    if (client == nullptr) {
        return;
    }
    client->name = name;
    edicts_[static_cast<std::size_t>(slot)].v.netname = static_cast<string_t>(AllocString(name));
    const std::string info = "\\name\\" + name + "\\model\\gign\\rate\\25000";
    auto& buffer = info_buffers_[static_cast<std::size_t>(slot)];
    buffer.fill('\0');
    std::memcpy(buffer.data(), info.data(), std::min(info.size(), buffer.size() - 1));
}

edict_t* SimEngine::Edict(int slot) {
    return slot >= 0 && slot < static_cast<int>(edicts_.size())
               ? &edicts_[static_cast<std::size_t>(slot)]
               : nullptr;
}

char* SimEngine::InfoBuffer(int slot) {
    return slot >= 1 && slot <= max_clients_ ? info_buffers_[static_cast<std::size_t>(slot)].data()
                                             : server_info_.data();
}

std::vector<SimClient*> SimEngine::Clients() {
    std::vector<SimClient*> seated;
    for (auto& client : clients_) {
        if (client) {
            seated.push_back(&*client);
        }
    }
    return seated;
}

int SimEngine::SlotOf(const edict_t* edict) const {
    const edict_t* first = edicts_.data();
    return edict >= first && edict < first + edicts_.size() ? static_cast<int>(edict - first) : -1;
}

// ---------------------------------------------------------------------------
// Commands, map, time, cvars

void SimEngine::SetCommand(std::vector<std::string> argv, std::optional<std::string> args) {
    argv_ = std::move(argv);
    args_ = std::move(args);
}

void SimEngine::ClearCommand() {
    argv_.clear();
    args_.reset();
}

std::vector<std::string> SimEngine::Tokenize(const std::string& line) {
    std::vector<std::string> words;
    std::size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && static_cast<unsigned char>(line[at]) <= ' ') {
            ++at;
        }
        if (at >= line.size()) {
            break;
        }
        std::string word;
        if (line[at] == '"') {
            const std::size_t end = line.find('"', at + 1);
            word = line.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
            at = end == std::string::npos ? line.size() : end + 1;
        } else {
            while (at < line.size() && static_cast<unsigned char>(line[at]) > ' ') {
                word += line[at++];
            }
        }
        words.push_back(std::move(word));
    }
    return words;
}

void SimEngine::BeginMap(const std::string& map) {
    ++map_index_;
    globals_.mapname = static_cast<string_t>(AllocString(map));
    globals_.time = 1.0f;
    game_messages_ = kGameMessages;
}

void SimEngine::SetTime(double seconds) {
    globals_.frametime = static_cast<float>(seconds) - globals_.time;
    globals_.time = static_cast<float>(seconds);
}

SimEngine::StoredCvar* SimEngine::FindCvar(const std::string& name) {
    const auto found = cvars_.find(name);
    return found != cvars_.end() ? found->second.get() : nullptr;
}

SimEngine::StoredCvar& SimEngine::StoreCvar(const std::string& name, const std::string& value,
                                            int flags) {
    std::unique_ptr<StoredCvar>& stored = cvars_[name];
    if (!stored) {
        stored = std::make_unique<StoredCvar>();
        stored->name = name;
        stored->cvar.flags = flags;
    }
    stored->value = value;
    stored->cvar.name = stored->name.c_str();
    stored->cvar.string = stored->value.data();
    stored->cvar.value = ToFloat(value);
    return *stored;
}

void SimEngine::SetCvar(const std::string& name, const std::string& value) {
    StoreCvar(name, value, 0);
}

int SimEngine::AllocString(const std::string& text) {
    if (strings_used_ + text.size() + 1 > strings_.size()) {
        return 0;  // the pool is full: the empty string at offset 0
    }
    const int offset = static_cast<int>(strings_used_);
    std::memcpy(strings_.data() + strings_used_, text.c_str(), text.size() + 1);
    strings_used_ += text.size() + 1;
    return offset;
}

void SimEngine::QueueServerCommand(const std::string& text) {
    if (text.empty() || (text.back() != '\n' && text.back() != ';')) {
        Output(EngineOutput::Kind::ServerCommand, 0, Printable(text) + " (refused: no line end)",
               {}, true);
        return;
    }
    queued_commands_.push_back(text);
}

void SimEngine::ExecuteQueuedCommands() {
    std::vector<std::string> queued;
    queued.swap(queued_commands_);
    for (const std::string& text : queued) {
        std::size_t start = 0;
        for (std::size_t at = 0; at <= text.size(); ++at) {
            if (at == text.size() || text[at] == '\n' || text[at] == ';') {
                if (at > start) {
                    RunServerCommand(text.substr(start, at - start));
                }
                start = at + 1;
            }
        }
    }
}

void SimEngine::RunServerCommand(const std::string& line) {
    std::vector<std::string> words = Tokenize(line);
    if (words.empty()) {
        return;
    }
    Output(EngineOutput::Kind::ServerCommand, 0, Printable(line));
    const auto command = plugin_commands_.find(words.front());
    if (command == plugin_commands_.end()) {
        return;
    }
    const std::size_t rest = line.find(words.front()) + words.front().size();
    std::optional<std::string> args;
    if (words.size() > 1) {
        args = line.substr(line.find_first_not_of(' ', rest));
    }
    SetCommand(std::move(words), std::move(args));
    command->second();
    ClearCommand();
}

std::vector<std::string> SimEngine::PluginServerCommands() const {
    std::vector<std::string> names;
    for (const auto& entry : plugin_commands_) {
        names.push_back(entry.first);
    }
    return names;
}

// ---------------------------------------------------------------------------
// Outputs and messages

void SimEngine::Output(EngineOutput::Kind kind, int slot, std::string text, std::string name,
                       bool dropped) {
    outputs_.push_back({kind, slot, std::move(name), std::move(text), dropped});
}

void SimEngine::Fault(const std::string& what) {
    if (faults_.size() < 100) {
        faults_.push_back(what);
    }
}

std::vector<EngineOutput> SimEngine::TakeOutputs() {
    std::vector<EngineOutput> taken;
    taken.swap(outputs_);
    return taken;
}

std::vector<std::string> SimEngine::Faults() const {
    std::vector<std::string> faults = faults_;
    if (const long calls = off_thread_calls_.load(); calls > 0) {
        faults.push_back(std::to_string(calls) +
                         " engine call(s) from a thread other than the engine's");
    }
    return faults;
}

void SimEngine::BeginMessage(int dest, int id, const edict_t* edict) {
    if (message_) {
        Fault("MessageBegin while another message is open");
    }
    const bool one = dest == MSG_ONE || dest == MSG_ONE_UNRELIABLE;
    bool known = plugin_messages_.count(id) != 0;
    for (const auto& entry : game_messages_) {
        known = known || entry.second.first == id;
    }
    if (id == 0 || !known) {
        Fault("MessageBegin with unregistered message id " + std::to_string(id));
    }
    if (one != (edict != nullptr)) {
        Fault(one ? "MessageBegin to one client without an edict"
                  : "MessageBegin to many clients with an edict");
    }
    message_ = OpenMessage{dest, id, edict != nullptr ? SlotOf(edict) : 0, {}};
}

void SimEngine::WriteBytes(const void* bytes, std::size_t size) {
    if (!message_) {
        Fault("message write outside a message");
        return;
    }
    const auto* data = static_cast<const std::uint8_t*>(bytes);
    message_->payload.insert(message_->payload.end(), data, data + size);
}

void SimEngine::EndMessage() {
    if (!message_) {
        Fault("MessageEnd without MessageBegin");
        return;
    }
    OpenMessage message = std::move(*message_);
    message_.reset();
    std::string name = "message " + std::to_string(message.id);
    int size = -1;
    for (const auto& entry : game_messages_) {
        if (entry.second.first == message.id) {
            name = entry.first;
            size = entry.second.second;
        }
    }
    if (const auto own = plugin_messages_.find(message.id); own != plugin_messages_.end()) {
        name = own->second;
    }
    if (size < 0 ? message.payload.size() > MAX_USER_MSG_DATA
                 : message.payload.size() != static_cast<std::size_t>(size)) {
        Fault(name + " of " + std::to_string(message.payload.size()) +
              " bytes breaks the engine's size limit");
    }
    const SimClient* client = ClientAtSlot(message.slot);
    const bool dropped = message.slot > 0 && (client == nullptr || client->fake);
    Output(EngineOutput::Kind::UserMessage, message.slot, DescribeMessage(message), name, dropped);
}

std::string SimEngine::DescribeMessage(const OpenMessage& message) const {
    const std::vector<std::uint8_t>& bytes = message.payload;
    std::size_t at = 0;
    const auto byte = [&]() -> int { return at < bytes.size() ? bytes[at++] : 0; };
    const auto text = [&]() {
        std::string out;
        while (at < bytes.size() && bytes[at] != 0) {
            out += static_cast<char>(bytes[at++]);
        }
        ++at;
        return Printable(out);
    };
    std::string name;
    for (const auto& entry : game_messages_) {
        if (entry.second.first == message.id) {
            name = entry.first;
        }
    }
    if (name == "ShowMenu") {
        at = 4;  // key mask, display time, more-parts flag
        const bool more = bytes.size() > 3 && bytes[3] != 0;
        return text() + (more ? " [more]" : "");
    }
    if (name == "MOTD") {
        const int last = byte();
        return text() + (last == 0 ? " [more]" : "");
    }
    if (name == "SayText" || name == "TextMsg") {
        byte();
        std::string out = text();
        while (at < bytes.size()) {
            out += " " + text();
        }
        return out;
    }
    return std::to_string(bytes.size()) + " bytes";
}

const char* SimEngine::AuthIdBuffer(const edict_t* edict) {
    // Like the engine: a few rotating buffers, so a caller keeping the
    // pointer sees it change under it.
    auto& buffer = auth_buffers_[next_auth_buffer_];
    next_auth_buffer_ = (next_auth_buffer_ + 1) % auth_buffers_.size();
    buffer.fill('\0');
    const SimClient* client = ClientAtSlot(SlotOf(edict));
    if (client != nullptr) {
        std::strncpy(buffer.data(), client->auth_id.c_str(), buffer.size() - 1);
    }
    return buffer.data();
}

std::uint64_t SimEngine::NextRandom() {
    std::uint64_t z = (random_state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// ---------------------------------------------------------------------------
// The tables

void SimEngine::AlertMessageEntry(ALERT_TYPE type, const char* format, ...) {
    SimEngine& engine = Current();
    va_list arguments;
    va_start(arguments, format);
    const std::string text = Format(format, arguments);
    va_end(arguments);
    if (type == at_logged) {
        engine.Output(EngineOutput::Kind::LogLine, 0, Printable(text));
    }
}

void SimEngine::ClientCommandEntry(edict_t* edict, const char* format, ...) {
    SimEngine& engine = Current();
    va_list arguments;
    va_start(arguments, format);
    const std::string text = Format(format, arguments);
    va_end(arguments);
    engine.Output(EngineOutput::Kind::ClientExec, engine.SlotOf(edict), Printable(text));
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
    engine.Output(EngineOutput::Kind::LogLine, 0, "[" + tag + "] " + Printable(text));
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
        // Through the loader's proxy: a copy is registered, an earlier value kept.
        engine.plugin_cvars_.push_back(cvar);
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
                          Printable(text != nullptr ? text : ""),
                      {}, client == nullptr || client->fake);
    };
    f.pfnServerPrint = [](const char* text) {
        Current().Output(EngineOutput::Kind::ServerPrint, 0,
                         Printable(text != nullptr ? text : ""));
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
