// Any bytes as the game's user messages reaching the plugin as the loader
// loaded it: built up through the capture calls (begin, bytes, shorts,
// texts and end in any order, past the engine's size limit, without a
// begin or an end) or handed over whole with any length. Players sit in
// slots 1 to 4 and the game's ids are the usual ones (TeamInfo 86, DeathMsg
// 83, TextMsg 77, SendAudio 100, HLTV 108), so team changes, kills and round
// candidates reach the session. One input is what the game sends between
// two server frames: its first byte is how far the next frame is (so
// scheduled settlements run, and time goes back as at a map restart), the
// rest a list of steps, each an action byte and its operands (see Step).
// The server stays loaded across inputs, as it does across frames.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz_engine.h"
#include "fuzz_server_config.h"
#include "ironpost_metamod_entrypoints.h"
#include "ironpost_metamod_sdk_function_binding.h"
#include "ironpost_metamod_sdk_user_messages.h"

namespace {

using namespace ironpost;

struct Server {
    fuzz::Engine& engine = fuzz::InstalledFake();
    plugin_info_t* info = nullptr;
    META_FUNCTIONS functions{};
    meta_globals_t meta{};
    gamedll_funcs_t gamedll{};
    DLL_FUNCTIONS dll{};

    Server() {
        // In memory, so that journalling a settlement does not wait on a disk.
        engine.game_dir = fuzz::TemporaryDirectory("/dev/shm");
        const std::string config_dir = engine.game_dir + "/addons/ironpost";
        std::filesystem::create_directories(config_dir);
        (void)fuzz::WriteServerConfig(
            "ironpost_http_timeout_ms 300\nironpost_alpha_team_policy_enabled 0\n"
            "ironpost_heartbeat_interval_seconds 0\nironpost_hud_balance_enabled 0\n",
            config_dir);
        GiveFnptrsToDll(&engine.table, &engine.globals);
        int version = kGameDllInterfaceVersion;
        if (Meta_Query("5:13", &info, &engine.utility) != 1 ||
            Meta_Attach(PT_STARTUP, &functions, &meta, &gamedll) != 1 ||
            functions.pfnGetEntityAPI2(&dll, &version) != 1) {
            std::abort();
        }
        Frame(0);  // the game's ids are looked up
        for (int slot = 1; slot <= 4; ++slot) {
            edict_t& edict = engine.edicts[slot];
            edict.pvPrivateData = &engine.user_ids[slot];
            edict.v.flags = FL_CLIENT;
            engine.user_ids[slot] = 10 + slot;
            engine.auth_ids[slot] = "STEAM_0:0:" + std::to_string(slot);
            char reject[128] = "";
            const std::string name = "p" + std::to_string(slot);
            if (dll.pfnClientConnect(&edict, name.c_str(), "10.0.0.1:27005", reject) != 1) {
                std::abort();
            }
            // Seated on both sides, so that rounds are played from the start.
            const std::string team = slot % 2 ? "\x01TERRORIST" : "\x01CT";
            std::vector<std::uint8_t> team_info(team.begin(), team.end() + 1);
            team_info[0] = static_cast<std::uint8_t>(slot);
            IronpostMetamodUserMessage(86, team_info.data(),
                                       static_cast<unsigned>(team.size() + 1));
        }
    }

    // A frame `step` tenths of a second later; past an hour the map restarts.
    void Frame(std::uint8_t step) {
        engine.globals.time += static_cast<float>(step) / 10.0f;
        if (engine.globals.time > 3600.0f) {
            engine.globals.time = 1.0f;
        }
        dll.pfnStartFrame();
    }
};

// The operand bytes of one step, never past the input's end.
class Reader {
  public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    [[nodiscard]] bool Done() const { return at_ >= size_; }
    std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    // Copied, so that a decoder reading past the end hits the sanitizer.
    std::vector<std::uint8_t> Bytes(std::size_t count) {
        count = std::min(count, size_ - at_);
        std::vector<std::uint8_t> bytes(data_ + at_, data_ + at_ + count);
        at_ += count;
        return bytes;
    }
    // Up to a NUL or the end.
    std::string Text() {
        std::string text;
        while (at_ < size_ && data_[at_] != 0) {
            text.push_back(static_cast<char>(data_[at_++]));
        }
        ++at_;
        return text;
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

void CheckCapture() {
    if (ironpost_metamod_sdk_user_message_capture_length() > MAX_USER_MSG_DATA) {
        std::abort();
    }
}

void Step(Reader& in) {
    switch (in.Byte() % 6) {
        case 0:
            IronpostMetamodUserMessageBegin(in.Byte());
            break;
        case 1:
            IronpostMetamodUserMessageWriteByte(in.Byte());
            break;
        case 2: {
            const int low = in.Byte();
            IronpostMetamodUserMessageWriteShort(low | in.Byte() << 8);
            break;
        }
        case 3:
            IronpostMetamodUserMessageWriteString(in.Text().c_str());
            break;
        case 4:
            IronpostMetamodUserMessageEnd();
            // What was captured is decoded and forgotten, whatever it was.
            if (ironpost_metamod_sdk_user_message_capture_length() != 0) {
                std::abort();
            }
            break;
        default: {
            const int id = in.Byte();
            const std::vector<std::uint8_t> payload = in.Bytes(in.Byte());
            IronpostMetamodUserMessage(id, payload.data(), static_cast<unsigned>(payload.size()));
            break;
        }
    }
    CheckCapture();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Server* server = new Server();
    Reader in(data, size);
    const std::uint8_t frame_step = in.Byte();
    while (!in.Done()) {
        Step(in);
    }
    server->Frame(frame_step);
    return 0;
}
