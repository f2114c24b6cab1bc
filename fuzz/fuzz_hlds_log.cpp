// Any bytes as one log line (with or without the engine's prefix): never a
// crash, every text field a view inside the input, and every line either read
// or refused with a reason.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "ironpost_hlds_log.h"

namespace {

void CheckInside(std::string_view view, std::string_view input) {
    if (!view.empty() &&
        (view.data() < input.data() || view.data() + view.size() > input.data() + input.size())) {
        std::abort();
    }
}

void CheckPlayer(const ironpost::HldsLogPlayer& player, std::string_view input) {
    CheckInside(player.name, input);
    CheckInside(player.auth_id, input);
    CheckInside(player.team, input);
    if (player.user_id < 0 || player.name.size() > ironpost::kHldsLogNameMaxBytes) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    if (const auto time = ironpost::ParseHldsLogPrefix(input)) {
        (void)ironpost::HldsLogTimeSeconds(*time);
    }
    const std::string_view body = ironpost::StripHldsLogPrefix(input);
    CheckInside(body, input);
    const ironpost::HldsLogLine line = ironpost::ParseHldsLogLine(body);
    const bool read =
        line.kind != ironpost::HldsLogKind::Ignored && line.kind != ironpost::HldsLogKind::Refused;
    if (read != line.reason.empty()) {
        std::abort();
    }
    CheckPlayer(line.actor, input);
    CheckPlayer(line.victim, input);
    for (const std::string_view view : {line.weapon, line.team, line.trigger, line.text,
                                        line.new_name, line.address, line.kicked_by, line.map}) {
        CheckInside(view, input);
    }
    return 0;
}
