#include "ironpost_metamod_sdk_extractors.h"

#include <cstring>
#include <optional>

namespace ironpost {
namespace {

// Every status is a literal, so storing one never allocates.
const char* g_slot_status = "";
const char* g_command_status = "";
const char* g_client_connect_status = "";
const char* g_team_info_status = "";
const char* g_death_msg_status = "";
const char* g_damage_status = "";
const char* g_round_start_status = "";
const char* g_round_end_status = "";
const char* g_round_win_status = "";
const char* g_weapon_purchase_status = "";
const char* g_buy_setup_status = "";

// A refusal: a default event, `status` also left as the kind's last status.
template <typename Result>
Result Refuse(const char*& last_status, const char* status) {
    last_status = status;
    Result result;
    result.status = status;
    return result;
}

template <typename Result>
Result Accept(Result result, const char*& last_status, const char* status) {
    last_status = status;
    result.extracted = true;
    result.status = status;
    return result;
}

// The status a caller reports when the slot extraction it ran failed.
struct SlotFailureStatuses {
    const char* null_edict;
    const char* invalid_slot;
    const char* not_validated;
};

const char* SlotFailure(const MetamodSdkSlotExtractionResult& slot,
                        const SlotFailureStatuses& statuses) {
    if (slot.status == "sdk_slot_extraction_null_edict") {
        return statuses.null_edict;
    }
    if (slot.status == "sdk_slot_extraction_invalid_slot") {
        return statuses.invalid_slot;
    }
    return statuses.not_validated;
}

std::string TextOrEmpty(const char* text) {
    return text != nullptr ? std::string(text) : std::string();
}

}  // namespace

MetamodSdkSlotExtractionResult IronpostExtractMetamodSdkSlot(const edict_t* edict) {
    using Result = MetamodSdkSlotExtractionResult;
    if (edict == nullptr) {
        return Refuse<Result>(g_slot_status, "sdk_slot_extraction_null_edict");
    }
    const std::optional<int> slot = IronpostMetamodEngineImportsValidated()
                                        ? EngineCall(&enginefuncs_t::pfnIndexOfEdict, edict)
                                        : std::nullopt;
    if (!slot.has_value()) {
        return Refuse<Result>(g_slot_status, "sdk_slot_extraction_engine_imports_not_validated");
    }
    if (*slot < 1) {
        return Refuse<Result>(g_slot_status, "sdk_slot_extraction_invalid_slot");
    }
    Result result;
    result.slot = *slot;
    return Accept(std::move(result), g_slot_status, "sdk_slot_extracted");
}

MetamodSdkClientConnectExtractionResult IronpostExtractMetamodSdkClientConnect(edict_t* edict,
                                                                               const char* name) {
    using Result = MetamodSdkClientConnectExtractionResult;
    constexpr const char* kNotValidated =
        "sdk_client_connect_extraction_engine_imports_not_validated";
    const MetamodSdkSlotExtractionResult slot = IronpostExtractMetamodSdkSlot(edict);
    if (!slot.extracted) {
        return Refuse<Result>(
            g_client_connect_status,
            SlotFailure(slot, {"sdk_client_connect_extraction_null_edict",
                               "sdk_client_connect_extraction_invalid_slot", kNotValidated}));
    }
    const std::optional<const char*> auth_id =
        EngineCall(&enginefuncs_t::pfnGetPlayerAuthId, edict);
    if (!auth_id.has_value()) {
        return Refuse<Result>(g_client_connect_status, kNotValidated);
    }
    Result result;
    result.event.slot = slot.slot;
    result.event.is_bot = (edict->v.flags & FL_FAKECLIENT) != 0;
    // The engine reuses its id buffers, so copy at once.
    result.event.steam_id = TextOrEmpty(*auth_id);
    if (result.event.steam_id.empty() && result.event.is_bot) {
        result.event.steam_id = "BOT";
    }
    if (result.event.steam_id.empty()) {
        return Refuse<Result>(g_client_connect_status,
                              "sdk_client_connect_extraction_missing_steam_id");
    }
    result.event.name = TextOrEmpty(name);
    return Accept(std::move(result), g_client_connect_status, "sdk_client_connect_extracted");
}

MetamodSdkCommandExtractionResult IronpostExtractMetamodSdkClientCommand(const edict_t* edict) {
    using Result = MetamodSdkCommandExtractionResult;
    constexpr const char* kNotValidated = "sdk_command_extraction_engine_imports_not_validated";
    const MetamodSdkSlotExtractionResult slot = IronpostExtractMetamodSdkSlot(edict);
    if (!slot.extracted) {
        return Refuse<Result>(
            g_command_status,
            SlotFailure(slot, {"sdk_command_extraction_null_edict",
                               "sdk_command_extraction_invalid_slot", kNotValidated}));
    }
    const enginefuncs_t* engine = IronpostMetamodCapturedEngineFunctions();
    if (engine == nullptr || engine->pfnCmd_Argc == nullptr || engine->pfnCmd_Argv == nullptr ||
        engine->pfnCmd_Args == nullptr) {
        return Refuse<Result>(g_command_status, kNotValidated);
    }
    const std::int32_t argc = EngineCall(&enginefuncs_t::pfnCmd_Argc).value_or(0);
    const std::string command =
        argc < 1 ? std::string()
                 : TextOrEmpty(EngineCall(&enginefuncs_t::pfnCmd_Argv, 0).value_or(nullptr));
    if (command.empty()) {
        return Refuse<Result>(g_command_status, "sdk_command_extraction_empty_command");
    }
    Result result;
    result.argc = argc;
    result.event.slot = slot.slot;
    result.event.command = command;
    const std::int32_t readable = argc < kMaxCommandArguments ? argc : kMaxCommandArguments;
    for (std::int32_t index = 1; index < readable; ++index) {
        result.event.args.push_back(
            TextOrEmpty(EngineCall(&enginefuncs_t::pfnCmd_Argv, index).value_or(nullptr)));
    }
    // The engine answers null when the command has no arguments.
    result.raw_args = TextOrEmpty(EngineCall(&enginefuncs_t::pfnCmd_Args).value_or(nullptr));
    return Accept(std::move(result), g_command_status, "sdk_command_extracted");
}

MetamodSdkTeamInfoExtractionResult IronpostExtractMetamodSdkTeamInfo(std::int32_t slot,
                                                                     const char* team) {
    using Result = MetamodSdkTeamInfoExtractionResult;
    if (slot < 1) {
        return Refuse<Result>(g_team_info_status, "sdk_team_info_extraction_invalid_slot");
    }
    if (team == nullptr || team[0] == '\0') {
        return Refuse<Result>(g_team_info_status, "sdk_team_info_extraction_empty_team");
    }
    Result result;
    result.event.slot = slot;
    result.event.team_name = team;
    return Accept(std::move(result), g_team_info_status, "sdk_team_info_extracted");
}

MetamodSdkDeathMsgExtractionResult IronpostExtractMetamodSdkDeathMsg(std::int32_t killer,
                                                                     std::int32_t victim,
                                                                     std::int32_t headshot) {
    using Result = MetamodSdkDeathMsgExtractionResult;
    if (killer < 1) {
        return Refuse<Result>(g_death_msg_status, "sdk_death_msg_extraction_invalid_killer");
    }
    if (victim < 1) {
        return Refuse<Result>(g_death_msg_status, "sdk_death_msg_extraction_invalid_victim");
    }
    if (killer == victim) {
        return Refuse<Result>(g_death_msg_status, "sdk_death_msg_extraction_self_kill");
    }
    Result result;
    result.event = {killer, victim, headshot != 0};
    return Accept(std::move(result), g_death_msg_status, "sdk_death_msg_extracted");
}

MetamodSdkDamageExtractionResult IronpostExtractMetamodSdkDamage(std::int32_t attacker,
                                                                 std::int32_t victim,
                                                                 std::uint64_t damage) {
    using Result = MetamodSdkDamageExtractionResult;
    if (attacker < 1) {
        return Refuse<Result>(g_damage_status, "sdk_damage_extraction_invalid_attacker");
    }
    if (victim < 1) {
        return Refuse<Result>(g_damage_status, "sdk_damage_extraction_invalid_victim");
    }
    if (attacker == victim) {
        return Refuse<Result>(g_damage_status, "sdk_damage_extraction_self_damage");
    }
    if (damage == 0) {
        return Refuse<Result>(g_damage_status, "sdk_damage_extraction_zero_damage");
    }
    Result result;
    result.event = {attacker, victim, damage};
    return Accept(std::move(result), g_damage_status, "sdk_damage_extracted");
}

MetamodSdkTeamInfoExtractionResult IronpostExtractMetamodSdkTeamInfoUserMessage(
    const std::uint8_t* payload, std::size_t length) {
    using Result = MetamodSdkTeamInfoExtractionResult;
    if (payload == nullptr) {
        return Refuse<Result>(g_team_info_status, "sdk_team_info_message_null_payload");
    }
    if (length < 2) {
        return Refuse<Result>(g_team_info_status, "sdk_team_info_message_short_payload");
    }
    const void* end = std::memchr(payload + 1, '\0', length - 1);
    if (end == nullptr) {
        return Refuse<Result>(g_team_info_status, "sdk_team_info_message_unterminated_team");
    }
    // The NUL found above ends the team name inside the payload.
    return IronpostExtractMetamodSdkTeamInfo(payload[0],
                                             reinterpret_cast<const char*>(payload + 1));
}

MetamodSdkDeathMsgExtractionResult IronpostExtractMetamodSdkDeathMsgUserMessage(
    const std::uint8_t* payload, std::size_t length) {
    using Result = MetamodSdkDeathMsgExtractionResult;
    if (payload == nullptr) {
        return Refuse<Result>(g_death_msg_status, "sdk_death_msg_message_null_payload");
    }
    if (length < 3) {
        return Refuse<Result>(g_death_msg_status, "sdk_death_msg_message_short_payload");
    }
    return IronpostExtractMetamodSdkDeathMsg(payload[0], payload[1], payload[2]);
}

MetamodSdkDamageExtractionResult IronpostExtractMetamodSdkDamageUserMessage(
    const std::uint8_t* payload, std::size_t length) {
    using Result = MetamodSdkDamageExtractionResult;
    if (payload == nullptr) {
        return Refuse<Result>(g_damage_status, "sdk_damage_message_null_payload");
    }
    if (length < 4) {
        return Refuse<Result>(g_damage_status, "sdk_damage_message_short_payload");
    }
    return IronpostExtractMetamodSdkDamage(payload[0], payload[1], payload[2]);
}

MetamodSdkRoundStartExtractionResult IronpostExtractMetamodSdkRoundStart(
    std::uint32_t round_number) {
    using Result = MetamodSdkRoundStartExtractionResult;
    if (round_number == 0) {
        return Refuse<Result>(g_round_start_status, "sdk_round_start_extraction_invalid_round");
    }
    Result result;
    result.event.round_number = round_number;
    return Accept(std::move(result), g_round_start_status, "sdk_round_start_extracted");
}

MetamodSdkRoundEndExtractionResult IronpostExtractMetamodSdkRoundEnd(
    std::uint64_t now_ms, const char* request_id, const char* received_at, const char* server_id,
    const char* session_id, const char* map_name_hash, const char* previous_round_hash,
    const char* roster_root, const char* config_hash) {
    using Result = MetamodSdkRoundEndExtractionResult;
    Result result;
    MetamodSdkRoundEndEvent& event = result.event;
    event.now_ms = now_ms;
    const struct {
        const char* text;
        std::string* field;
        const char* missing_status;
    } fields[] = {
        {request_id, &event.request_id, "sdk_round_end_extraction_missing_request_id"},
        {received_at, &event.received_at, "sdk_round_end_extraction_missing_received_at"},
        {server_id, &event.server_id, "sdk_round_end_extraction_missing_server_id"},
        {session_id, &event.session_id, "sdk_round_end_extraction_missing_session_id"},
        {map_name_hash, &event.map_name_hash, "sdk_round_end_extraction_missing_map_name_hash"},
        {previous_round_hash, &event.previous_round_hash,
         "sdk_round_end_extraction_missing_previous_round_hash"},
        {roster_root, &event.roster_root, "sdk_round_end_extraction_missing_roster_root"},
        {config_hash, &event.config_hash, "sdk_round_end_extraction_missing_config_hash"},
    };
    for (const auto& field : fields) {
        *field.field = TextOrEmpty(field.text);
        if (field.field->empty()) {
            return Refuse<Result>(g_round_end_status, field.missing_status);
        }
    }
    return Accept(std::move(result), g_round_end_status, "sdk_round_end_extracted");
}

MetamodSdkRoundWinExtractionResult IronpostExtractMetamodSdkRoundWin(std::int32_t slot) {
    using Result = MetamodSdkRoundWinExtractionResult;
    if (slot < 1) {
        return Refuse<Result>(g_round_win_status, "sdk_round_win_extraction_invalid_slot");
    }
    Result result;
    result.event.slot = slot;
    return Accept(std::move(result), g_round_win_status, "sdk_round_win_extracted");
}

MetamodSdkWeaponPurchaseExtractionResult IronpostExtractMetamodSdkWeaponPurchase(
    std::int32_t slot, const char* weapon, std::uint64_t cost, std::uint32_t round_number) {
    using Result = MetamodSdkWeaponPurchaseExtractionResult;
    if (slot < 1) {
        return Refuse<Result>(g_weapon_purchase_status,
                              "sdk_weapon_purchase_extraction_invalid_slot");
    }
    if (weapon == nullptr || weapon[0] == '\0') {
        return Refuse<Result>(g_weapon_purchase_status,
                              "sdk_weapon_purchase_extraction_empty_weapon");
    }
    Result result;
    result.event = {slot, weapon, cost, round_number};
    return Accept(std::move(result), g_weapon_purchase_status, "sdk_weapon_purchase_extracted");
}

MetamodSdkBuySetupExtractionResult IronpostExtractMetamodSdkBuySetup() {
    return Accept(MetamodSdkBuySetupExtractionResult{}, g_buy_setup_status,
                  "sdk_buy_setup_extracted");
}

}  // namespace ironpost

using namespace ironpost;

const char* ironpost_metamod_sdk_last_slot_extraction_status() {
    return g_slot_status;
}
const char* ironpost_metamod_sdk_last_command_extraction_status() {
    return g_command_status;
}
const char* ironpost_metamod_sdk_last_client_connect_extraction_status() {
    return g_client_connect_status;
}
const char* ironpost_metamod_sdk_last_team_info_extraction_status() {
    return g_team_info_status;
}
const char* ironpost_metamod_sdk_last_death_msg_extraction_status() {
    return g_death_msg_status;
}
const char* ironpost_metamod_sdk_last_damage_extraction_status() {
    return g_damage_status;
}
const char* ironpost_metamod_sdk_last_round_start_extraction_status() {
    return g_round_start_status;
}
const char* ironpost_metamod_sdk_last_round_end_extraction_status() {
    return g_round_end_status;
}
const char* ironpost_metamod_sdk_last_round_win_extraction_status() {
    return g_round_win_status;
}
const char* ironpost_metamod_sdk_last_weapon_purchase_extraction_status() {
    return g_weapon_purchase_status;
}
const char* ironpost_metamod_sdk_last_buy_setup_extraction_status() {
    return g_buy_setup_status;
}
