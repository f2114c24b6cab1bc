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

constexpr std::size_t kStringPoolBytes = 1 << 20;
// Ids the simulated game gives its user messages when a map loads, with the
// sizes it declares (-1: variable length).
const std::map<std::string, std::pair<int, int>> kGameMessages = {
    {"Damage", {71, 12}},   {"SayText", {76, -1}},    {"TextMsg", {77, -1}},
    {"ResetHUD", {79, 1}},  {"DeathMsg", {83, -1}},   {"TeamInfo", {86, -1}},
    {"ShowMenu", {96, -1}}, {"SendAudio", {100, -1}}, {"MOTD", {104, -1}},
    {"HLTV", {108, 2}},     {"ScoreInfo", {85, 9}},   {"StatusIcon", {107, -1}}};

float ToFloat(const std::string& value) {
    char* end = nullptr;
    const float number = std::strtof(value.c_str(), &end);
    return end != value.c_str() ? number : 0.0f;
}

}  // namespace

std::string PrintableText(std::string text) {
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
        Output(EngineOutput::Kind::ServerCommand, 0,
               PrintableText(text) + " (refused: no line end)", {}, true);
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
    Output(EngineOutput::Kind::ServerCommand, 0, PrintableText(line));
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
        return PrintableText(out);
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

}  // namespace ironpost::sim
