// The hook tables, the hooks and the frame loop.

#include "ironpost_metamod_sdk_function_binding.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <limits>
#include <string>
#include <vector>

#include "ironpost_metamod_process.h"
#include "ironpost_metamod_sdk_dispatch.h"
#include "ironpost_metamod_sdk_engine_imports.h"
#include "ironpost_metamod_sdk_extractors.h"
#include "ironpost_metamod_sdk_log_source.h"

namespace ironpost {

namespace {

struct BindingState {
    const char* binding_status = "sdk_function_binding_unavailable";
    const char* engine_hook_status = "sdk_engine_function_hook_table_unbound";
    std::uint32_t meta_count = 0;
    std::uint32_t game_dll_count = 0;
    std::uint32_t new_dll_count = 0;
    std::uint32_t engine_hook_count = 0;
};

BindingState& Binding() {
    static BindingState state;
    return state;
}

// The frame loop's own memory; process-wide, it survives re-attach.
struct FrameState {
    bool banner_printed = false;
    std::uint64_t map_changes_seen = 0;
    std::uint64_t next_user_message_lookup_ms = 0;
    std::uint64_t next_bot_scan_ms = 0;
    std::deque<std::string> deferred_commands;
    bool deferral_announced = false;
};

FrameState& Frame() {
    static FrameState state;
    return state;
}

// The game's messages are registered when a map loads; while some id is
// unknown it is looked up again at most this often.
constexpr std::uint64_t kUserMessageLookupIntervalMs = 1000;
// How often the client slots are scanned for bots no hook announced.
constexpr std::uint64_t kBotScanIntervalMs = 1000;

MetamodSdkCallbackDispatcher& Dispatcher() {
    return IronpostMetamodSdkCallbackDispatcher();
}

MetamodSdkLastReasons& Reasons() {
    return IronpostMetamodSdkLastReasons();
}

bool Attached() {
    return IronpostMetamodProcessEntrypoint().IsAttached();
}

// Runs a hook's work: nothing it throws reaches the engine, and the loader
// always reads "ignored" afterwards.
template <typename Body>
void RunHook(const char* where, Body&& body) noexcept {
    IronpostNoThrow(where, std::forward<Body>(body));
    SetIronpostMetaResult(MRES_IGNORED);
}

void Print(const std::string& text) {
    IronpostMetamodServerPrint(text);
}

// The entity's name as the engine keeps it; empty when it cannot be read.
std::string EdictName(const edict_t* edict) {
    const globalvars_t* globals = IronpostMetamodCapturedGlobals();
    if (edict == nullptr || globals == nullptr || globals->pStringBase == nullptr ||
        edict->v.netname == 0) {
        return {};
    }
    const char* name = globals->pStringBase + edict->v.netname;
    return std::string(name, strnlen(name, 31));
}

// Bots added by calling the game directly never pass the connect hook, and
// their log lines may carry made-up ids: every client with the fake-client
// flag is admitted as a bot, and a bot whose slot emptied is let go.
void ReconcileBots(std::uint64_t now_ms) {
    FrameState& frame = Frame();
    if (now_ms < frame.next_bot_scan_ms || !Attached()) {
        return;
    }
    frame.next_bot_scan_ms = now_ms + kBotScanIntervalMs;
    const PluginRuntime& runtime =
        IronpostMetamodProcessEntrypoint().Runtime().Host().Session().Runtime();
    for (int slot = 1; slot <= IronpostMetamodMaxClients(); ++slot) {
        const std::optional<ConnectedPlayer> known = runtime.FindPlayer(slot);
        if (IronpostMetamodSlotIsFakeClient(slot)) {
            if (!known || !known->is_bot) {
                const std::string name = EdictName(IronpostMetamodClientEdict(slot));
                const MetamodSdkDispatchResult result =
                    Dispatcher().ClientConnect({slot, name.empty() ? "BOT" : name, "BOT", true});
                Reasons().client_connect = result.reason;
            }
        } else if (known && known->is_bot && IronpostMetamodClientEdict(slot) == nullptr) {
            const MetamodSdkDispatchResult result = Dispatcher().ClientDisconnect({slot});
            Reasons().client_disconnect = result.reason;
        }
    }
}

void RunScheduledAutoSettlement(std::uint64_t now_ms) {
    const std::uint64_t due = PendingAutoSettlementDueMs();
    if (due == 0 || due > now_ms) {
        return;
    }
    ClearPendingAutoSettlement();
    if (!ActiveCombatRoundForAutoSettlement()) {
        Reasons().alert_message = "auto_settlement_skipped_no_active_combat_round";
        Print("[Iron-Post] auto settlement skipped: no active combat round.\n");
        return;
    }
    const MetamodSdkDispatchResult result = DispatchOperatorSettlement();
    Reasons().alert_message = result.reason;
    if (result.accepted) {
        Print("[Iron-Post] auto settlement submitted.\n");
        return;
    }
    std::string line = "[Iron-Post] auto settlement failed: " + result.reason;
    if (!result.errors.empty()) {
        line += " (" + result.errors.front() + ")";
    }
    Print(line + ".\n");
}

// The policy's server commands go to the engine's command buffer, which the
// engine runs after the frame: running it here (pfnServerExecute) would run
// whatever else is queued, a map change included, inside the frame hook.
// Commands the budget holds back wait for the next window.
void RunServerCommands(const std::vector<AlphaTeamPolicyAction>& actions, std::uint64_t now_ms) {
    FrameState& frame = Frame();
    MetamodServerCommandBudget& budget = IronpostMetamodServerCommandBudget();
    for (const AlphaTeamPolicyAction& action : actions) {
        if (action.kind == AlphaTeamPolicyActionKind::MovePlayerTeam) {
            Print("[Iron-Post] alpha policy skipped unsafe live move-player action.\n");
        } else if (!action.command.empty()) {
            if (frame.deferred_commands.size() >= kMaxDeferredServerCommands) {
                frame.deferred_commands.pop_front();
                ++budget.dropped;
                Print("[Iron-Post] alpha policy server command dropped: too many waiting.\n");
            }
            frame.deferred_commands.push_back(action.command);
        }
    }
    while (!frame.deferred_commands.empty()) {
        if (!ConsumeServerCommandBudget(now_ms)) {
            if (!frame.deferral_announced) {
                Print(
                    "[Iron-Post] alpha policy server command deferred: command budget "
                    "exceeded.\n");
                frame.deferral_announced = true;
            }
            break;
        }
        frame.deferral_announced = false;
        std::string command = std::move(frame.deferred_commands.front());
        frame.deferred_commands.pop_front();
        Print("[Iron-Post] alpha policy server command: " + command + "\n");
        if (command.back() != '\n') {
            command += '\n';
        }
        static_cast<void>(EngineCall(&enginefuncs_t::pfnServerCommand, command.c_str()));
    }
    budget.deferred = static_cast<std::uint32_t>(frame.deferred_commands.size());
}

void RunFrame() {
    FrameState& frame = Frame();
    if (!frame.banner_printed) {
        frame.banner_printed = true;
        Print("[Iron-Post] StartFrame active.\n");
    }
    const std::uint64_t now = IronpostMetamodLiveNowMs();
    const bool new_map = IronpostMetamodMapChangeCount() != frame.map_changes_seen;
    if (new_map) {
        frame.map_changes_seen = IronpostMetamodMapChangeCount();
        if (Attached()) {
            IronpostMetamodProcessEntrypoint().Runtime().Host().OnMapChange(now);
        }
    }
    // Looked up at once after a new loader table or map, then at most once a
    // second while some id is still unknown.
    const bool never_looked_up = *ironpost_metamod_sdk_user_message_registration_status() == '\0';
    if (new_map || never_looked_up || now >= frame.next_user_message_lookup_ms) {
        frame.next_user_message_lookup_ms = now + kUserMessageLookupIntervalMs;
        IronpostResolveMetamodSdkUserMessagesIfPending();
    }
    ReconcileBots(now);

    static_cast<void>(ironpost_metamod_process_drain_backend_completions(now));
    static_cast<void>(ironpost_metamod_process_submit_heartbeat_if_due(now));
    static_cast<void>(ironpost_metamod_process_submit_player_balances_if_due(now));
    RunScheduledAutoSettlement(now);
    static_cast<void>(ironpost_metamod_process_submit_round_events_if_due(now));

    const MetamodSdkDispatchResult tick = Dispatcher().StartFrame({now});
    if (IronpostMetamodCapturedEngineFunctions() != nullptr) {
        RunServerCommands(tick.alpha_team_policy_actions, IronpostMetamodLiveNowMs());
    }
    static_cast<void>(ironpost_metamod_process_submit_game_state_if_due(now));
    Reasons().start_frame = tick.reason;
}

// The operator's console command, as the server (slot 0).
__attribute__((force_align_arg_pointer)) void RunServerConsoleCommand() {
    IronpostNoThrow("IronpostMetamodServerConsoleCommand", [] {
        MetamodSdkClientCommandEvent event;
        const int argc = EngineCall(&enginefuncs_t::pfnCmd_Argc).value_or(0);
        for (int index = 0; index < std::min(argc, 80); ++index) {
            const char* word = EngineCall(&enginefuncs_t::pfnCmd_Argv, index).value_or(nullptr);
            (index == 0 ? event.command : event.args.emplace_back()) = word != nullptr ? word : "";
        }
        if (event.command.empty()) {
            return;
        }
        const MetamodSdkDispatchResult result = Dispatcher().ClientCommand(event);
        Reasons().client_command = result.reason;
        std::string line = "[Iron-Post] " + event.command + ": " + result.reason;
        if (!result.errors.empty()) {
            line += " (" + result.errors.front() + ")";
        }
        Print(line + ".\n");
    });
}

bool g_server_commands_registered = false;

// Direct entry functions: extract, record the primary event, dispatch.
template <typename Extraction, typename Dispatch>
void RunDirect(const char* where, std::string& last_reason, Extraction&& extract,
               Dispatch&& dispatch) {
    RunHook(where, [&] {
        const auto extracted = extract();
        if (!extracted.extracted) {
            last_reason = extracted.status;
            return;
        }
        last_reason = dispatch(extracted.event).reason;
    });
}

// A last reason for a status function; "" should reading it ever fail.
const char* ReasonText(std::string MetamodSdkLastReasons::*member) noexcept {
    return IronpostNoThrow("ironpost_metamod_sdk_last_reason", "",
                           [member] { return (Reasons().*member).c_str(); });
}

std::string RefusalCountsJson() {
    std::string out = "{";
    MetamodProcessEntrypoint& process = IronpostMetamodProcessEntrypoint();
    if (process.IsAttached()) {
        for (const auto& [rule, count] :
             process.Runtime().Host().Session().Runtime().RefusalCounts()) {
            if (out.size() > 1) {
                out += ",";
            }
            out += "\"" + TelemetryJsonEscape(rule) + "\":" + std::to_string(count);
        }
    }
    return out + "}";
}

}  // namespace

MetamodLoaderGlobals& IronpostMetamodLoaderGlobals() {
    static MetamodLoaderGlobals globals;
    return globals;
}

void SetIronpostMetaResult(META_RES result) {
    if (meta_globals_t* globals = IronpostMetamodLoaderGlobals().globals) {
        globals->mres = result;
    }
}

MetamodSdkFunctionTableBindingResult BindIronpostMetamodMetaFunctionTable(META_FUNCTIONS* table) {
    BindingState& state = Binding();
    MetamodSdkFunctionTableBindingResult result;
    if (table == nullptr) {
        state.binding_status = "sdk_meta_function_table_null";
        result.reason = state.binding_status;
        return result;
    }
    *table = META_FUNCTIONS{};
    table->pfnGetEntityAPI2 = &GetEntityAPI2;
    table->pfnGetNewDLLFunctions = &GetNewDLLFunctions;
    table->pfnGetEngineFunctions = &GetEngineFunctions;
    state.meta_count = 3;
    state.game_dll_count = 0;
    state.new_dll_count = 0;
    state.binding_status = "sdk_meta_function_table_bound";
    result.bound = true;
    result.meta_function_count = state.meta_count;
    result.reason = state.binding_status;
    return result;
}

void RegisterIronpostMetamodServerCommands() {
    if (g_server_commands_registered) {
        return;
    }
    const bool csround =
        EngineCall(&enginefuncs_t::pfnAddServerCommand, "csround", &RunServerConsoleCommand);
    const bool cssettle =
        EngineCall(&enginefuncs_t::pfnAddServerCommand, "cssettle", &RunServerConsoleCommand);
    g_server_commands_registered = csround && cssettle;
}

bool ConsumeServerCommandBudget(std::uint64_t now_ms) {
    const IronPostConfig* config = IronpostMetamodProcessEntrypoint().AttachedConfig();
    const std::uint32_t limit = config != nullptr ? config->server_command_budget_per_second : 8;
    MetamodServerCommandBudget& budget = IronpostMetamodServerCommandBudget();
    if (limit == 0) {
        return false;
    }
    if (budget.window_ms == 0 || now_ms >= budget.window_ms + 1000) {
        budget.window_ms = std::max<std::uint64_t>(now_ms, 1);
        budget.used = 1;
        return true;
    }
    if (budget.used < limit) {
        ++budget.used;
        return true;
    }
    return false;
}

}  // namespace ironpost

using namespace ironpost;

int GetEntityAPI2(DLL_FUNCTIONS* table, int* interface_version) {
    int bound = 0;
    IronpostNoThrow("GetEntityAPI2", [&] {
        BindingState& state = Binding();
        if (table == nullptr) {
            state.binding_status = "sdk_game_dll_function_table_null";
            return;
        }
        if (interface_version != nullptr && *interface_version != kGameDllInterfaceVersion) {
            *interface_version = kGameDllInterfaceVersion;
            state.binding_status = "sdk_game_dll_interface_mismatch";
            return;
        }
        *table = DLL_FUNCTIONS{};
        table->pfnClientConnect = &IronpostMetamodClientConnect;
        table->pfnClientDisconnect = &IronpostMetamodClientDisconnect;
        table->pfnClientCommand = &IronpostMetamodClientCommand;
        table->pfnStartFrame = &IronpostMetamodStartFrame;
        state.game_dll_count = 4;
        state.binding_status = "sdk_game_dll_function_table_bound";
        bound = 1;
    });
    return bound;
}

int GetNewDLLFunctions(NEW_DLL_FUNCTIONS* table, int* interface_version) {
    int bound = 0;
    IronpostNoThrow("GetNewDLLFunctions", [&] {
        BindingState& state = Binding();
        if (table == nullptr) {
            state.binding_status = "sdk_new_dll_function_table_null";
            return;
        }
        if (interface_version != nullptr && *interface_version != kNewDllInterfaceVersion) {
            *interface_version = kNewDllInterfaceVersion;
            state.binding_status = "sdk_new_dll_interface_mismatch";
            return;
        }
        *table = NEW_DLL_FUNCTIONS{};
        // The loader never detaches at exit: shutdown is the last chance to
        // settle the round being played.
        table->pfnGameShutdown = &IronpostMetamodGameShutdown;
        state.new_dll_count = 1;
        state.binding_status = "sdk_new_dll_function_table_bound";
        bound = 1;
    });
    return bound;
}

int GetEngineFunctions(enginefuncs_t* table, int* /*interface_version*/) {
    BindingState& state = Binding();
    if (table == nullptr) {
        state.engine_hook_status = "sdk_engine_function_hook_table_null";
        state.engine_hook_count = 0;
        return 0;
    }
    *table = enginefuncs_t{};
    table->pfnAlertMessage = &IronpostMetamodAlertMessageHook;
    state.engine_hook_count = 1;
    state.engine_hook_status = "sdk_engine_function_hook_table_bound_safe_mode";
    return 1;
}

int IronpostMetamodClientConnect(edict_t* edict, const char* name, const char* /*address*/,
                                 char /*reject_reason*/[128]) {
    // The plugin observes connections and never refuses one: a client it
    // cannot reward (HLTV, a LAN id, an unloaded plugin) plays unrewarded.
    // The reject buffer is left to the engine and the other plugins.
    RunHook("IronpostMetamodClientConnect", [&] {
        const MetamodSdkClientConnectExtractionResult extracted =
            IronpostExtractMetamodSdkClientConnect(edict, name);
        if (!extracted.extracted) {
            Reasons().client_connect = extracted.status;
            return;
        }
        const MetamodSdkDispatchResult result = Dispatcher().ClientConnect(extracted.event);
        Reasons().client_connect = result.reason;
        if (result.accepted) {
            RecordPrimaryEvent(
                MetamodEventSourceCategory::PlayerLifecycle, "game-dll",
                PlayerConnectSignature(extracted.event.slot, extracted.event.steam_id));
        }
    });
    return 1;
}

void IronpostMetamodClientDisconnect(edict_t* edict) {
    RunHook("IronpostMetamodClientDisconnect", [&] {
        const MetamodSdkSlotExtractionResult slot = IronpostExtractMetamodSdkSlot(edict);
        if (!slot.extracted) {
            Reasons().client_disconnect = slot.status;
            return;
        }
        const MetamodSdkDispatchResult result = Dispatcher().ClientDisconnect({slot.slot});
        Reasons().client_disconnect = result.reason;
        if (result.accepted) {
            RecordPrimaryEvent(MetamodEventSourceCategory::PlayerLifecycle, "game-dll",
                               PlayerDisconnectSignature(slot.slot));
        }
    });
}

void IronpostMetamodClientCommand(edict_t* edict) {
    // The game also runs every command, the plugin's menu replies included.
    RunHook("IronpostMetamodClientCommand", [&] {
        const MetamodSdkCommandExtractionResult extracted =
            IronpostExtractMetamodSdkClientCommand(edict);
        Reasons().client_command = extracted.extracted
                                       ? Dispatcher().ClientCommand(extracted.event).reason
                                       : extracted.status;
    });
}

void IronpostMetamodStartFrame() {
    RunHook("IronpostMetamodStartFrame", RunFrame);
}

void IronpostMetamodGameShutdown() {
    RunHook("IronpostMetamodGameShutdown", [] {
        IronpostMetamodProcessEntrypoint().Shutdown(IronpostMetamodLiveNowMs());
        Reasons().game_shutdown = "game_shutdown_handled";
    });
}

void IronpostMetamodTeamInfo(int slot, const char* team) {
    RunDirect(
        "IronpostMetamodTeamInfo", Reasons().team_info,
        [&] { return IronpostExtractMetamodSdkTeamInfo(slot, team); },
        [](const MetamodSdkTeamInfoEvent& event) {
            RecordPrimaryEvent(MetamodEventSourceCategory::Team, "direct-sdk",
                               TeamSignature(event.slot, event.team_name));
            return Dispatcher().TeamInfo(event);
        });
}

void IronpostMetamodDeathMsg(int killer, int victim, int headshot) {
    RunDirect(
        "IronpostMetamodDeathMsg", Reasons().death_msg,
        [&] { return IronpostExtractMetamodSdkDeathMsg(killer, victim, headshot); },
        [](const MetamodSdkDeathMsgEvent& event) {
            RecordPrimaryEvent(MetamodEventSourceCategory::Combat, "direct-sdk",
                               KillSignature(event.killer_slot, event.victim_slot));
            return Dispatcher().DeathMsg(event);
        });
}

void IronpostMetamodDamage(int attacker, int victim, std::uint64_t damage) {
    RunDirect(
        "IronpostMetamodDamage", Reasons().damage,
        [&] { return IronpostExtractMetamodSdkDamage(attacker, victim, damage); },
        [](const MetamodSdkDamageEvent& event) {
            RecordPrimaryEvent(
                MetamodEventSourceCategory::Combat, "direct-sdk",
                DamageSignature(event.attacker_slot, event.victim_slot, event.damage));
            return Dispatcher().Damage(event);
        });
}

void IronpostMetamodRoundStart(unsigned round_number) {
    RunDirect(
        "IronpostMetamodRoundStart", Reasons().round_start,
        [&] { return IronpostExtractMetamodSdkRoundStart(round_number); },
        [](const MetamodSdkRoundStartEvent& event) {
            RecordPrimaryEvent(MetamodEventSourceCategory::Round, "direct-sdk", "round_start");
            if (ActiveCombatRoundForAutoSettlement()) {
                ClearPendingAutoSettlement();
                static_cast<void>(DispatchOperatorSettlement());
            }
            return Dispatcher().RoundStart(event);
        });
}

void IronpostMetamodRoundEnd(std::uint64_t now_ms, const char* request_id, const char* received_at,
                             const char* server_id, const char* session_id,
                             const char* map_name_hash, const char* previous_round_hash,
                             const char* roster_root, const char* config_hash) {
    RunDirect(
        "IronpostMetamodRoundEnd", Reasons().round_end,
        [&] {
            return IronpostExtractMetamodSdkRoundEnd(now_ms, request_id, received_at, server_id,
                                                     session_id, map_name_hash, previous_round_hash,
                                                     roster_root, config_hash);
        },
        [](const MetamodSdkRoundEndEvent& event) {
            RecordPrimaryEvent(MetamodEventSourceCategory::Round, "direct-sdk", "round_end");
            return Dispatcher().RoundEnd(event);
        });
}

void IronpostMetamodRoundWin(int slot) {
    RunDirect(
        "IronpostMetamodRoundWin", Reasons().round_win,
        [&] { return IronpostExtractMetamodSdkRoundWin(slot); },
        [](const MetamodSdkRoundWinEvent& event) { return Dispatcher().RoundWin(event); });
}

void IronpostMetamodWeaponPurchase(int slot, const char* weapon, std::uint64_t cost,
                                   unsigned round_number) {
    RunDirect(
        "IronpostMetamodWeaponPurchase", Reasons().weapon_purchase,
        [&] { return IronpostExtractMetamodSdkWeaponPurchase(slot, weapon, cost, round_number); },
        [](const MetamodSdkWeaponPurchaseEvent& event) {
            return Dispatcher().WeaponPurchase(event);
        });
}

void IronpostMetamodBuySetup() {
    RunDirect(
        "IronpostMetamodBuySetup", Reasons().buy_setup,
        [] { return IronpostExtractMetamodSdkBuySetup(); },
        [](const MetamodSdkBuySetupEvent& event) { return Dispatcher().BuySetup(event); });
}

const char* ironpost_metamod_sdk_function_binding_status() {
    return Binding().binding_status;
}

unsigned ironpost_metamod_sdk_bound_meta_function_count() {
    return Binding().meta_count;
}

unsigned ironpost_metamod_sdk_bound_game_dll_function_count() {
    return Binding().game_dll_count;
}

unsigned ironpost_metamod_sdk_bound_new_dll_function_count() {
    return Binding().new_dll_count;
}

const char* ironpost_metamod_sdk_engine_function_hook_status() {
    return Binding().engine_hook_status;
}

unsigned ironpost_metamod_sdk_bound_engine_function_hook_count() {
    return Binding().engine_hook_count;
}

const char* ironpost_metamod_sdk_last_client_connect_reason() {
    return ReasonText(&MetamodSdkLastReasons::client_connect);
}

const char* ironpost_metamod_sdk_last_client_disconnect_reason() {
    return ReasonText(&MetamodSdkLastReasons::client_disconnect);
}

const char* ironpost_metamod_sdk_last_client_command_reason() {
    return ReasonText(&MetamodSdkLastReasons::client_command);
}

const char* ironpost_metamod_sdk_last_start_frame_reason() {
    return ReasonText(&MetamodSdkLastReasons::start_frame);
}

const char* ironpost_metamod_sdk_last_team_info_reason() {
    return ReasonText(&MetamodSdkLastReasons::team_info);
}

const char* ironpost_metamod_sdk_last_death_msg_reason() {
    return ReasonText(&MetamodSdkLastReasons::death_msg);
}

const char* ironpost_metamod_sdk_last_damage_reason() {
    return ReasonText(&MetamodSdkLastReasons::damage);
}

const char* ironpost_metamod_sdk_last_round_start_reason() {
    return ReasonText(&MetamodSdkLastReasons::round_start);
}

const char* ironpost_metamod_sdk_last_round_end_reason() {
    return ReasonText(&MetamodSdkLastReasons::round_end);
}

const char* ironpost_metamod_sdk_last_round_win_reason() {
    return ReasonText(&MetamodSdkLastReasons::round_win);
}

const char* ironpost_metamod_sdk_last_weapon_purchase_reason() {
    return ReasonText(&MetamodSdkLastReasons::weapon_purchase);
}

const char* ironpost_metamod_sdk_last_weapon_stats_reason() {
    return ReasonText(&MetamodSdkLastReasons::weapon_stats);
}

const char* ironpost_metamod_sdk_last_buy_setup_reason() {
    return ReasonText(&MetamodSdkLastReasons::buy_setup);
}

const char* ironpost_metamod_sdk_last_game_shutdown_reason() {
    return ReasonText(&MetamodSdkLastReasons::game_shutdown);
}

const char* ironpost_metamod_sdk_last_refusal_rule() {
    static std::string cache;
    IronpostNoThrow("ironpost_metamod_sdk_last_refusal_rule", [] {
        MetamodProcessEntrypoint& process = IronpostMetamodProcessEntrypoint();
        cache = process.IsAttached()
                    ? process.Runtime().Host().Session().Runtime().LastRefusalRule()
                    : std::string();
    });
    return cache.c_str();
}

const char* ironpost_metamod_sdk_refusal_counts_json() {
    static std::string cache = "{}";
    IronpostNoThrow("ironpost_metamod_sdk_refusal_counts_json",
                    [] { cache = RefusalCountsJson(); });
    return cache.c_str();
}
