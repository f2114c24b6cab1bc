#pragma once

// The simulated engine: every slot of the engine function table, the engine
// globals, the player edicts with the client table behind them, console
// variables, the game's user messages, the loader's utility table, and a
// record of everything the plugin asks the engine to do. User ids are counted
// the way the engine counts them and taken from the log, while slots are the
// first free edict, so the two differ as they do on a server that has run a
// while. One instance at a time; like the engine it runs on one thread, and a
// call from any other thread is recorded as a fault.

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ironpost_platform_metamod.h"

namespace ironpost::sim {

// The auth id a client carries until the engine has validated it.
inline constexpr char kPendingAuthId[] = "STEAM_ID_PENDING";

struct SimClient {
    int slot = 0;
    int user_id = 0;
    std::string name;
    std::string auth_id;  // what pfnGetPlayerAuthId answers
    std::string team;     // "CT", "TERRORIST", "SPECTATOR" or ""
    std::string address;
    bool fake = false;     // a bot: fake-client flag on the edict, auth id "BOT"
    bool in_game = false;  // entered the game on the current map
    int map_index = 0;     // the map it last connected or entered on
};

// One thing the plugin asked of the engine.
struct EngineOutput {
    enum class Kind { ServerPrint, ClientPrint, ServerCommand, UserMessage, LogLine, ClientExec };
    Kind kind = Kind::ServerPrint;
    int slot = 0;          // the receiving player, 0 for the server
    std::string name;      // a user message's name
    std::string text;      // the printable text
    bool dropped = false;  // the engine discarded it (a bot, nobody in the slot)
};

// `text` on one line: line ends dropped, other control bytes made spaces.
[[nodiscard]] std::string PrintableText(std::string text);

// "server print", "client print", ... for listings.
[[nodiscard]] const char* EngineOutputKindName(EngineOutput::Kind kind);

class SimEngine {
  public:
    SimEngine(int max_clients, std::string game_dir, std::uint64_t seed);
    ~SimEngine();
    SimEngine(const SimEngine&) = delete;
    SimEngine& operator=(const SimEngine&) = delete;

    // The tables the loader hands the plugin.
    [[nodiscard]] enginefuncs_t* Functions() { return &functions_; }
    [[nodiscard]] globalvars_t* Globals() { return &globals_; }
    [[nodiscard]] mutil_funcs_t* Utility() { return &utility_; }
    // The plugin's path and identity, for the utility table's answers.
    void SetPlugin(std::string path, plugin_info_t* info);

    // Clients.
    [[nodiscard]] int MaxClients() const { return max_clients_; }
    [[nodiscard]] SimClient* ClientByUserId(int user_id);
    [[nodiscard]] SimClient* ClientAtSlot(int slot);
    // Seats a client in the first free slot; null when the server is full.
    SimClient* Seat(int user_id, const std::string& name, const std::string& auth_id, bool fake);
    void Unseat(int slot);
    void Rename(int slot, const std::string& name);
    [[nodiscard]] edict_t* Edict(int slot);
    [[nodiscard]] char* InfoBuffer(int slot);
    [[nodiscard]] std::vector<SimClient*> Clients();

    // The command the next client-command or server-command callback reads.
    void SetCommand(std::vector<std::string> argv, std::optional<std::string> args);
    void ClearCommand();
    // Splits a command line as the engine's tokenizer does.
    [[nodiscard]] static std::vector<std::string> Tokenize(const std::string& line);

    // Map and time. BeginMap restarts the time at 1.0 and registers the
    // game's user messages (their ids stay for the process).
    void BeginMap(const std::string& map);
    void SetTime(double seconds);
    [[nodiscard]] int MapIndex() const { return map_index_; }
    [[nodiscard]] edict_t* EdictList() { return edicts_.data(); }
    [[nodiscard]] int EdictCount() const { return static_cast<int>(edicts_.size()); }

    // A server cvar as the log's cvar lines set it.
    void SetCvar(const std::string& name, const std::string& value);
    [[nodiscard]] std::vector<std::string> RegisteredCvarNames() const { return cvar_order_; }

    // Runs the server commands queued with pfnServerCommand, as the engine
    // does at the start of a frame; commands the plugin registered call it.
    void ExecuteQueuedCommands();
    [[nodiscard]] std::vector<std::string> PluginServerCommands() const;

    // What the plugin asked for since the last call.
    [[nodiscard]] std::vector<EngineOutput> TakeOutputs();
    // Calls the real engine treats as fatal, and calls from other threads.
    [[nodiscard]] std::vector<std::string> Faults() const;
    // Engine functions the simulator does not model, by table index.
    [[nodiscard]] const std::map<int, long>& UnsimulatedCalls() const { return unsimulated_; }

    // The engine behind the static callbacks; records a call off its thread.
    static SimEngine& Current();
    void NoteUnsimulated(int index) { ++unsimulated_[index]; }

  private:
    struct StoredCvar {
        std::string name;
        std::string value;
        cvar_t cvar{};
    };
    struct OpenMessage {
        int dest = 0;
        int id = 0;
        int slot = 0;
        std::vector<std::uint8_t> payload;
    };

    void FillFunctions();
    void FillUtility();
    // The variadic entries, which must be plain functions.
    static void AlertMessageEntry(ALERT_TYPE type, const char* format, ...);
    static void ClientCommandEntry(edict_t* edict, const char* format, ...);
    static void EngineFprintfEntry(void* file, const char* format, ...);
    static void LoaderLogEntry(plid_t plugin, const char* format, ...);
    int AllocString(const std::string& text);
    [[nodiscard]] int SlotOf(const edict_t* edict) const;
    void Output(EngineOutput::Kind kind, int slot, std::string text, std::string name = {},
                bool dropped = false);
    void Fault(const std::string& what);
    StoredCvar* FindCvar(const std::string& name);
    StoredCvar& StoreCvar(const std::string& name, const std::string& value, int flags);
    void QueueServerCommand(const std::string& text);
    void RunServerCommand(const std::string& line);
    void BeginMessage(int dest, int id, const edict_t* edict);
    void WriteBytes(const void* bytes, std::size_t size);
    void EndMessage();
    [[nodiscard]] std::string DescribeMessage(const OpenMessage& message) const;
    [[nodiscard]] const char* AuthIdBuffer(const edict_t* edict);
    [[nodiscard]] std::uint64_t NextRandom();

    int max_clients_;
    std::string game_dir_;
    std::uint64_t random_state_;
    std::thread::id thread_;
    std::atomic<long> off_thread_calls_{0};
    enginefuncs_t functions_{};
    globalvars_t globals_{};
    mutil_funcs_t utility_{};
    std::string plugin_path_;
    plugin_info_t* plugin_info_ = nullptr;

    std::vector<edict_t> edicts_;
    std::vector<std::optional<SimClient>> clients_;
    std::vector<std::array<char, 256>> info_buffers_;
    std::array<char, 256> server_info_{};
    std::vector<char> strings_;
    std::size_t strings_used_ = 1;
    std::array<std::array<char, 64>, 5> auth_buffers_{};
    std::size_t next_auth_buffer_ = 0;
    std::array<char, 1024> key_value_{};
    int map_index_ = 0;

    std::vector<std::string> argv_;
    std::optional<std::string> args_;

    std::map<std::string, std::unique_ptr<StoredCvar>> cvars_;
    std::vector<std::string> cvar_order_;
    std::map<std::string, std::pair<int, int>> game_messages_;  // name: id, size
    std::map<int, std::string> plugin_messages_;
    std::optional<OpenMessage> message_;
    std::vector<std::string> queued_commands_;
    std::map<std::string, void (*)()> plugin_commands_;
    int next_request_id_ = 1;

    std::vector<EngineOutput> outputs_;
    std::vector<std::string> faults_;
    std::map<int, long> unsimulated_;
};

}  // namespace ironpost::sim
