#pragma once

// Rebuilding one of the game's user messages from its begin, write and end
// calls, and reading kills, team changes and round boundaries from it. The
// engine's message functions are not hooked (the plugin runs in safe mode):
// other code in the process may hand messages over through the capture
// functions below. A message's ids are the game's own, looked up once it
// registered them. Round candidates come only from a message's key (its
// first text), never from text a player chose. Main thread only.

#include <cstddef>
#include <cstdint>
#include <string>

#include "ironpost_export.h"
#include "ironpost_platform_metamod.h"

namespace ironpost {

// A round start candidate within this many events of the last one is the same round.
inline constexpr std::uint64_t kRoundStartCandidateSequenceWindow = 4;

// The key a round marker is compared with: the message's first text,
// lower-cased, without a leading '#' (a localisation key) or the game's radio
// prefix "%!mrad_" (SendAudio).
[[nodiscard]] std::string UserMessageRoundKey(const std::string& first_text);
// The key's meaning: "round_end", "round_start" or "" for neither.
[[nodiscard]] const char* UserMessageRoundMarker(const std::string& key);

}  // namespace ironpost

IRONPOST_EXPORT void IronpostMetamodUserMessageBegin(int id);
IRONPOST_EXPORT void IronpostMetamodUserMessageWriteByte(int value);
IRONPOST_EXPORT void IronpostMetamodUserMessageWriteShort(int value);
IRONPOST_EXPORT void IronpostMetamodUserMessageWriteString(const char* text);
IRONPOST_EXPORT void IronpostMetamodUserMessageEnd();
// Decodes one whole message of the game's id `id`.
IRONPOST_EXPORT void IronpostMetamodUserMessage(int id, const std::uint8_t* payload,
                                                unsigned length);

// Engine-hook forms with the engine's signatures; never installed, they
// capture nothing and say so.
IRONPOST_EXPORT void IronpostMetamodMessageBeginHook(int destination, int id, const float* origin,
                                                     edict_t* edict);
IRONPOST_EXPORT void IronpostMetamodMessageEndHook();
IRONPOST_EXPORT void IronpostMetamodWriteByteHook(int value);
IRONPOST_EXPORT void IronpostMetamodWriteCharHook(int value);
IRONPOST_EXPORT void IronpostMetamodWriteShortHook(int value);
IRONPOST_EXPORT void IronpostMetamodWriteStringHook(const char* text);

IRONPOST_EXPORT const char* ironpost_metamod_sdk_user_message_capture_status();
IRONPOST_EXPORT int ironpost_metamod_sdk_user_message_capture_id();
IRONPOST_EXPORT unsigned ironpost_metamod_sdk_user_message_capture_length();
IRONPOST_EXPORT const char* ironpost_metamod_sdk_last_user_message_reason();
