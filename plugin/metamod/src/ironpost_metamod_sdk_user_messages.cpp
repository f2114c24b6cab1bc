// User-message capture, the decoder and its round candidates.

#include "ironpost_metamod_sdk_user_messages.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

#include "ironpost_metamod_sdk_dispatch.h"
#include "ironpost_metamod_sdk_engine_imports.h"
#include "ironpost_metamod_sdk_extractors.h"
#include "ironpost_metamod_sdk_function_binding.h"
#include "ironpost_metamod_sdk_log_source.h"

namespace ironpost {

namespace {

struct Capture {
    bool active = false;
    int id = 0;
    std::vector<std::uint8_t> payload;
    bool over_limit = false;
    const char* status = "sdk_user_message_capture_not_started";
    std::uint64_t last_round_start_candidate_sequence = 0;
};

Capture& State() {
    static Capture capture;
    return capture;
}

std::string& UserMessageReason() {
    return IronpostMetamodSdkLastReasons().user_message;
}

void Append(const std::uint8_t* bytes, std::size_t count, const char* written) {
    Capture& capture = State();
    if (!capture.active) {
        capture.status = "sdk_user_message_capture_write_without_begin";
        return;
    }
    // No message of the game is longer than the engine's limit: one that
    // claims more is not one of them, and the capture must not grow forever.
    if (capture.over_limit || capture.payload.size() + count > MAX_USER_MSG_DATA) {
        capture.over_limit = true;
        capture.status = "sdk_user_message_capture_payload_capped";
        return;
    }
    capture.payload.insert(capture.payload.end(), bytes, bytes + count);
    capture.status = written;
}

// The first text of a payload starting at `offset`; up to its end without a NUL.
std::string TextAt(const std::uint8_t* payload, std::size_t length, std::size_t offset) {
    if (payload == nullptr || offset >= length) {
        return {};
    }
    const auto* begin = reinterpret_cast<const char*>(payload + offset);
    return std::string(begin, strnlen(begin, length - offset));
}

void DispatchRoundStartCandidate(const char* reason) {
    Capture& capture = State();
    const std::uint64_t sequence = IronpostMetamodEventSourceSequence();
    if (capture.last_round_start_candidate_sequence != 0 &&
        sequence >= capture.last_round_start_candidate_sequence &&
        sequence - capture.last_round_start_candidate_sequence <=
            kRoundStartCandidateSequenceWindow) {
        UserMessageReason() = "round_start_candidate_debounced";
        return;
    }
    RecordPrimaryEvent(MetamodEventSourceCategory::Round, "user-message", "round_start");
    capture.last_round_start_candidate_sequence = IronpostMetamodEventSourceSequence();
    const MetamodSdkDispatchResult result = DispatchRoundStartSettlingPrevious();
    UserMessageReason() = result.accepted ? reason : result.reason;
}

void DecodeRoundCandidate(bool text_msg, const std::string& first_text) {
    const char* marker = UserMessageRoundMarker(UserMessageRoundKey(first_text));
    if (std::strcmp(marker, "round_end") == 0) {
        RecordPrimaryEvent(MetamodEventSourceCategory::Round, "user-message", "round_end");
        const std::string scheduled = text_msg ? "text_msg_round_end_candidate_scheduled"
                                               : "send_audio_round_end_candidate_scheduled";
        UserMessageReason() =
            ScheduleAutoSettlementFromRoundCandidate(IronpostMetamodLiveNowMs(), scheduled);
        if (UserMessageReason() == scheduled) {
            IronpostMetamodServerPrint(
                "[Iron-Post] observed round-end user message candidate; auto settlement "
                "scheduled.\n");
        }
    } else if (std::strcmp(marker, "round_start") == 0) {
        DispatchRoundStartCandidate(text_msg ? "text_msg_round_start_candidate"
                                             : "send_audio_round_start_candidate");
    } else {
        UserMessageReason() = "sdk_user_message_round_candidate_ignored";
    }
}

template <typename Extraction, typename Dispatch>
void DecodeEvent(const Extraction& extracted, std::string& kind_reason, Dispatch&& dispatch) {
    if (!extracted.extracted) {
        kind_reason = extracted.status;
    } else {
        kind_reason = dispatch(extracted.event).reason;
    }
    UserMessageReason() = kind_reason;
}

void Decode(int id, const std::uint8_t* payload, std::size_t length) {
    const auto is = [id](const char* name) {
        const int known = IronpostMetamodSdkUserMessageId(name);
        return known > 0 && known == id;
    };
    const bool any_known =
        std::any_of(kGameUserMessages.begin(), kGameUserMessages.end(),
                    [](const char* name) { return IronpostMetamodSdkUserMessageId(name) > 0; });
    MetamodSdkLastReasons& reasons = IronpostMetamodSdkLastReasons();
    MetamodSdkCallbackDispatcher& dispatcher = IronpostMetamodSdkCallbackDispatcher();
    if (!any_known) {
        UserMessageReason() = "sdk_user_message_registry_not_ready";
    } else if (length > MAX_USER_MSG_DATA) {
        UserMessageReason() = "sdk_user_message_payload_too_long";
    } else if (is("TeamInfo")) {
        DecodeEvent(IronpostExtractMetamodSdkTeamInfoUserMessage(payload, length),
                    reasons.team_info, [&](const MetamodSdkTeamInfoEvent& event) {
                        RecordPrimaryEvent(MetamodEventSourceCategory::Team, "user-message",
                                           TeamSignature(event.slot, event.team_name));
                        return dispatcher.TeamInfo(event);
                    });
    } else if (is("DeathMsg")) {
        DecodeEvent(IronpostExtractMetamodSdkDeathMsgUserMessage(payload, length),
                    reasons.death_msg, [&](const MetamodSdkDeathMsgEvent& event) {
                        RecordPrimaryEvent(MetamodEventSourceCategory::Combat, "user-message",
                                           KillSignature(event.killer_slot, event.victim_slot));
                        return dispatcher.DeathMsg(event);
                    });
    } else if (is("Damage")) {
        // The game's Damage goes to the victim with armour, damage, damage
        // bits and an origin: it names no attacker to credit.
        UserMessageReason() = "sdk_user_message_game_damage_ignored";
    } else if (is("TextMsg") || is("SendAudio")) {
        // Both begin with a byte (destination, sender) before their key.
        DecodeRoundCandidate(is("TextMsg"), TextAt(payload, length, 1));
    } else if (is("HLTV")) {
        DispatchRoundStartCandidate("hltv_round_start_candidate");
    } else if (is("ResetHUD")) {
        // Sent to each player at every spawn: not a round boundary.
        UserMessageReason() = "sdk_user_message_reset_hud_ignored";
    } else {
        UserMessageReason() = "sdk_user_message_unknown_id";
    }
}

template <typename Body>
void RunCapture(const char* where, Body&& body) noexcept {
    IronpostNoThrow(where, std::forward<Body>(body));
    SetIronpostMetaResult(MRES_IGNORED);
}

void DisabledHook(bool with_reason) {
    State().status = "sdk_user_message_capture_disabled_safe_mode";
    if (with_reason) {
        UserMessageReason() = "sdk_user_message_capture_disabled_safe_mode";
    }
    SetIronpostMetaResult(MRES_IGNORED);
}

}  // namespace

std::string UserMessageRoundKey(const std::string& first_text) {
    std::string key = first_text;
    std::transform(key.begin(), key.end(), key.begin(),
                   [](unsigned char byte) { return static_cast<char>(std::tolower(byte)); });
    if (!key.empty() && key.front() == '#') {
        key.erase(0, 1);
    }
    constexpr char kRadioPrefix[] = "%!mrad_";
    if (key.rfind(kRadioPrefix, 0) == 0) {
        key.erase(0, sizeof(kRadioPrefix) - 1);
    }
    return key;
}

const char* UserMessageRoundMarker(const std::string& key) {
    static const char* const kRoundEnd[] = {
        "terwin",           "ctwin",       "rounddraw",        "round_draw",
        "terrorists_win",   "cts_win",     "target_bombed",    "bomb_defused",
        "hostages_rescued", "vip_escaped", "vip_assassinated", "all_hostages_rescued",
        "target_saved"};
    static const char* const kRoundStart[] = {"round_start",          "roundstart",
                                              "game_commencing",      "game will restart",
                                              "game_will_restart_in", "restart_round"};
    for (const char* marker : kRoundEnd) {
        if (key == marker) {
            return "round_end";
        }
    }
    for (const char* marker : kRoundStart) {
        if (key == marker) {
            return "round_start";
        }
    }
    return "";
}

}  // namespace ironpost

using namespace ironpost;

void IronpostMetamodUserMessageBegin(int id) {
    RunCapture("IronpostMetamodUserMessageBegin", [id] {
        Capture& capture = State();
        // A capture still open lost its End: it is dropped, not extended.
        capture.status = capture.active ? "sdk_user_message_capture_restarted"
                                        : "sdk_user_message_capture_started";
        capture.active = true;
        capture.id = id;
        capture.payload.clear();
        capture.over_limit = false;
    });
}

void IronpostMetamodUserMessageWriteByte(int value) {
    RunCapture("IronpostMetamodUserMessageWriteByte", [value] {
        const std::uint8_t byte = static_cast<std::uint8_t>(value);
        Append(&byte, 1, "sdk_user_message_capture_byte_written");
    });
}

void IronpostMetamodUserMessageWriteShort(int value) {
    RunCapture("IronpostMetamodUserMessageWriteShort", [value] {
        const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(value),
                                       static_cast<std::uint8_t>(value >> 8)};
        Append(bytes, 2, "sdk_user_message_capture_short_written");
    });
}

void IronpostMetamodUserMessageWriteString(const char* text) {
    RunCapture("IronpostMetamodUserMessageWriteString", [text] {
        if (!State().active) {
            State().status = "sdk_user_message_capture_write_without_begin";
        } else if (text == nullptr) {
            State().status = "sdk_user_message_capture_null_string";
        } else {
            const std::size_t length = strnlen(text, MAX_USER_MSG_DATA + 1);
            Append(reinterpret_cast<const std::uint8_t*>(text), length, "");
            static const std::uint8_t kEnd = 0;
            Append(&kEnd, 1, "sdk_user_message_capture_string_written");
        }
    });
}

void IronpostMetamodUserMessageEnd() {
    RunCapture("IronpostMetamodUserMessageEnd", [] {
        Capture& capture = State();
        if (!capture.active) {
            capture.status = "sdk_user_message_capture_end_without_begin";
            return;
        }
        const int id = capture.id;
        const std::vector<std::uint8_t> payload = std::move(capture.payload);
        const bool over_limit = capture.over_limit;
        capture.active = false;
        capture.id = 0;
        capture.payload.clear();
        capture.over_limit = false;
        if (over_limit) {
            capture.status = "sdk_user_message_capture_over_limit_dropped";
            UserMessageReason() = capture.status;
            return;
        }
        Decode(id, payload.data(), payload.size());
        capture.status = "sdk_user_message_capture_dispatched";
    });
}

void IronpostMetamodUserMessage(int id, const std::uint8_t* payload, unsigned length) {
    RunCapture("IronpostMetamodUserMessage",
               [&] { Decode(id, payload, payload != nullptr ? length : 0); });
}

void IronpostMetamodMessageBeginHook(int, int, const float*, edict_t*) {
    DisabledHook(true);
}

void IronpostMetamodMessageEndHook() {
    DisabledHook(true);
}

void IronpostMetamodWriteByteHook(int) {
    DisabledHook(false);
}

void IronpostMetamodWriteCharHook(int) {
    DisabledHook(false);
}

void IronpostMetamodWriteShortHook(int) {
    DisabledHook(false);
}

void IronpostMetamodWriteStringHook(const char*) {
    DisabledHook(false);
}

const char* ironpost_metamod_sdk_user_message_capture_status() {
    return State().status;
}

int ironpost_metamod_sdk_user_message_capture_id() {
    return State().id;
}

unsigned ironpost_metamod_sdk_user_message_capture_length() {
    return static_cast<unsigned>(State().payload.size());
}

const char* ironpost_metamod_sdk_last_user_message_reason() {
    return IronpostNoThrow("ironpost_metamod_sdk_last_user_message_reason", "",
                           [] { return UserMessageReason().c_str(); });
}
