// Any bytes through the extractors that turn raw engine input into events:
// the three user-message payload decoders, a client command as the engine
// tokenised it (any argument count, any argument bytes, a null argument
// text), a connecting client's id and name, and the plain-valued
// extractors. A minimal engine table stands in for the server; the first
// byte picks the extractor.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_engine.h"
#include "ironpost_metamod_sdk_extractors.h"

namespace {

using namespace ironpost;

void Install() {
    (void)CaptureIronpostMetamodEngineImports(&fuzz::InstalledFake().table, &fuzz::Fake().globals);
    if (!IronpostMetamodEngineImportsValidated()) {
        std::abort();
    }
}

std::vector<std::string> Pieces(const std::string& text) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (std::size_t at = text.find('\0'); at != std::string::npos; at = text.find('\0', start)) {
        pieces.push_back(text.substr(start, at - start));
        start = at + 1;
    }
    pieces.push_back(text.substr(start));
    return pieces;
}

const char* Text(const std::vector<std::string>& pieces, std::size_t index) {
    // A missing piece is a null text, which the extractors must refuse.
    return index < pieces.size() ? pieces[index].c_str() : nullptr;
}

std::int32_t Int(const std::uint8_t* bytes) {
    std::int32_t value;
    std::memcpy(&value, bytes, sizeof(value));
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool installed = (Install(), true);
    (void)installed;
    if (size < 5) {
        return 0;
    }
    const std::uint8_t* payload = data + 1;
    const std::size_t length = size - 1;
    // Copied so that a decoder reading past the end hits the sanitizer.
    const std::vector<std::uint8_t> bytes(payload, payload + length);
    const std::string rest(reinterpret_cast<const char*>(data) + 5, size - 5);
    const std::vector<std::string> pieces = Pieces(rest);
    fuzz::Engine& engine = fuzz::Fake();
    edict_t* edict = data[2] <= kMaxClientSlots ? &engine.edicts[data[2]] : nullptr;
    switch (data[0] % 6) {
        case 0: {
            const auto team = IronpostExtractMetamodSdkTeamInfoUserMessage(bytes.data(), length);
            // The team name is the payload's own text, up to its NUL.
            if (team.extracted &&
                (team.event.slot != bytes[0] ||
                 team.event.team_name != reinterpret_cast<const char*>(bytes.data() + 1))) {
                std::abort();
            }
            break;
        }
        case 1:
            (void)IronpostExtractMetamodSdkDeathMsgUserMessage(bytes.data(), length);
            (void)IronpostExtractMetamodSdkDamageUserMessage(bytes.data(), length);
            break;
        case 2: {
            engine.argv = pieces;
            engine.argc = static_cast<std::int8_t>(data[1]);
            engine.args = data[3] & 1 ? std::nullopt : std::optional<std::string>(rest);
            const auto command = IronpostExtractMetamodSdkClientCommand(edict);
            if (command.extracted &&
                (command.event.args.size() >= static_cast<std::size_t>(kMaxCommandArguments) ||
                 command.event.command.empty())) {
                std::abort();
            }
            break;
        }
        case 3:
            engine.auth_ids[edict != nullptr ? data[2] : 0] =
                data[3] & 1 ? std::nullopt : std::optional<std::string>(pieces[0]);
            if (edict != nullptr) {
                edict->v.flags = data[4] & 1 ? FL_FAKECLIENT : 0;
            }
            (void)IronpostExtractMetamodSdkClientConnect(edict, Text(pieces, 1));
            break;
        case 4:
            (void)IronpostExtractMetamodSdkTeamInfo(Int(payload), Text(pieces, 0));
            (void)IronpostExtractMetamodSdkWeaponPurchase(Int(payload), Text(pieces, 1), data[1],
                                                          data[2]);
            (void)IronpostExtractMetamodSdkDeathMsg(Int(payload), data[2], data[3]);
            (void)IronpostExtractMetamodSdkDamage(data[3], Int(payload), data[4]);
            break;
        default:
            (void)IronpostExtractMetamodSdkRoundEnd(
                data[1], Text(pieces, 0), Text(pieces, 1), Text(pieces, 2), Text(pieces, 3),
                Text(pieces, 4), Text(pieces, 5), Text(pieces, 6), Text(pieces, 7));
            (void)IronpostExtractMetamodSdkRoundStart(static_cast<std::uint32_t>(Int(payload)));
            (void)IronpostExtractMetamodSdkRoundWin(Int(payload));
            break;
    }
    return 0;
}
