#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "fake_engine.h"
#include "ironpost_metamod_process_output.h"

namespace ironpost {
namespace {

using testing_support::FakeEngine;
using Strings = std::vector<std::string>;

// A user message as the client reads it: the fields before the text, then
// exactly one string.
struct Shown {
    std::string name;
    int slot;
    std::vector<std::uint8_t> header;
    std::string text;
};

std::vector<Shown> Decode(const FakeEngine& fake) {
    std::vector<Shown> shown;
    for (const FakeEngine::UserMessage& message : fake.messages) {
        std::string name;
        for (const auto& [known, id_size] : fake.game_messages) {
            name = id_size.first == message.id ? known : name;
        }
        const std::size_t header = name == "ShowMenu" ? 4 : 1;  // short, char, byte; or byte
        EXPECT_EQ(message.dest, MSG_ONE);
        EXPECT_TRUE(message.payload.size() > header && message.payload.back() == 0) << name;
        const auto& payload = message.payload;
        const std::string text(payload.begin() + std::min(header, payload.size()),
                               payload.end() - (payload.empty() ? 0 : 1));
        EXPECT_EQ(text.find('\0'), std::string::npos) << name << ": one string, then nothing";
        shown.push_back({name, message.slot, {payload.begin(), payload.begin() + header}, text});
    }
    return shown;
}

// Everything the engine was asked to show, console first, then client
// prints, then user messages.
Strings Trace(const FakeEngine& fake) {
    Strings trace;
    for (const std::string& line : fake.console) {
        trace.push_back("console:" + line);
    }
    for (const FakeEngine::ClientPrint& print : fake.client_prints) {
        trace.push_back("print" + std::to_string(print.slot) + "/" + std::to_string(print.type) +
                        ":" + print.text);
    }
    for (const Shown& message : Decode(fake)) {
        trace.push_back(message.name + std::to_string(message.slot) + ":" + message.text);
    }
    return trace;
}

// Slot 1 holds a player, slot 2 a bot, slot 3 nobody.
struct Server {
    FakeEngine fake;
    MetamodProcessNotificationSink sink;

    explicit Server(bool game_messages = true) {
        if (game_messages) {
            fake.RegisterGameMessages();
        }
        fake.Capture();
        static_cast<void>(IronpostRegisterMetamodSdkUserMessages());
        fake.Connect(1, 11, "STEAM_0:0:1");
        fake.Connect(2, 12, "BOT", true);
    }

    void Show(EngineNotificationChannel channel, int slot, const std::string& message,
              std::uint16_t mask = 0, int seconds = 10) {
        EngineNotification notification;
        notification.channel = channel;
        notification.slot = slot;
        notification.message = message;
        notification.menu_key_mask = mask;
        notification.menu_display_seconds = seconds;
        sink.PublishEngineNotification(notification);
    }
};

std::string Joined(const std::vector<Shown>& parts, std::size_t header_bytes) {
    std::string joined;
    for (const Shown& part : parts) {
        EXPECT_EQ(part.header.size(), header_bytes);
        joined += part.text;
    }
    return joined;
}

TEST(MetamodProcessNotificationSink, EveryUserMessageFitsAndRejoinsToTheText) {
    Server server;
    server.sink.SetUiMode("menu");
    // Eight long recipients: 574 bytes, and the cut at 508 falls inside a name's character.
    std::string menu = "Iron-Post Zolt\n";
    for (int key = 1; key <= 8; ++key) {
        std::string name;
        for (int i = 0; i < 15; ++i) {
            name += "\xC3\xA9";
        }
        menu += std::to_string(key) + ". " + name + std::to_string(key) +
                " (1234567 ZOLT) STEAM_0:1:12345555\n";
    }
    menu += "0. Exit";
    server.Show(EngineNotificationChannel::Menu, 1, menu, 0x3FF, 300);
    EXPECT_TRUE(server.sink.LastMenuShown());
    const std::vector<Shown> parts = Decode(server.fake);
    ASSERT_EQ(parts.size(), 3u);
    for (std::size_t i = 0; i < parts.size(); ++i) {
        EXPECT_LE(parts[i].text.size(), kShowMenuPartBytes);
        // Key mask 0x3FF, 300 s held to the char's 127, "more" on all but the last.
        const std::uint8_t more = i + 1 < parts.size() ? 1 : 0;
        EXPECT_EQ(parts[i].header, (std::vector<std::uint8_t>{0xFF, 0x03, 127, more}));
    }
    EXPECT_EQ(Joined(parts, 4), menu.substr(0, 507) + "\n...");

    for (const std::size_t size : {1400, 1500}) {
        server.fake.messages.clear();
        std::string body;
        while (body.size() < size) {
            body += "rules line " + std::to_string(body.size()) + "\n";
        }
        body.resize(size);
        server.Show(EngineNotificationChannel::Motd, 1, body);
        const std::vector<Shown> motd = Decode(server.fake);
        for (std::size_t i = 0; i < motd.size(); ++i) {
            EXPECT_LE(motd[i].text.size(), kMotdPartBytes);
            EXPECT_EQ(motd[i].header[0], i + 1 == motd.size() ? 1 : 0) << "last part flagged";
        }
        EXPECT_EQ(Joined(motd, 1), size == 1400 ? body : body.substr(0, 1400) + "\n\n[truncated]");
    }

    // Chat: control bytes gone, colour byte first, cut with its line feed.
    server.fake.messages.clear();
    server.Show(EngineNotificationChannel::Chat, 1,
                "#Cstrike_Chat\x03 x\x7f\n" + std::string(300, 'z'));
    const std::vector<Shown> chat = Decode(server.fake);
    ASSERT_EQ(chat.size(), 1u);
    EXPECT_EQ(chat[0].header, std::vector<std::uint8_t>{1}) << "sender is the player";
    EXPECT_EQ(chat[0].text, "\x01#Cstrike_Chat x" + std::string(173, 'z') + "\n");
    EXPECT_EQ(chat[0].text.size(), kSayTextMaxBytes);
}

TEST(MetamodProcessNotificationSink, RoutesByUiModeSlotAndKnownMessages) {
    using Channel = EngineNotificationChannel;
    struct Case {
        const char* mode;  // null: never set, as while detached
        bool game_messages;
        Channel channel;
        int slot;
        Strings trace;
        bool menu_shown;
    };
    const std::string unavailable =
        "console:[Iron-Post] ShowMenu unavailable; using player-visible chat fallback.\n";
    const Strings menu_as_chat = {"SayText1:\x01[Iron-Post] ShowMenu\n",
                                  "SayText1:\x01[Iron-Post] a\n", "SayText1:\x01[Iron-Post] b\n"};
    const std::vector<Case> cases = {
        {"menu", true, Channel::Menu, 1, {"ShowMenu1:a\r\nb"}, true},
        {"chat", true, Channel::Menu, 1, menu_as_chat, false},
        {"tiles", true, Channel::Menu, 1, menu_as_chat, false},
        {nullptr, true, Channel::Menu, 1, menu_as_chat, false},
        {"disabled", true, Channel::Menu, 1, {}, false},
        {"disabled", true, Channel::Log, 0, {"console:ab\n"}, false},
        {"menu",
         false,
         Channel::Menu,
         1,
         {unavailable, "print1/2:[Iron-Post] ShowMenu\n", "print1/2:[Iron-Post] a\n",
          "print1/2:[Iron-Post] b\n"},
         false},
        {"menu", false, Channel::Chat, 1, {"print1/2:ab\n"}, false},
        {"menu", true, Channel::Menu, 2, {}, false},
        {"menu", true, Channel::Chat, 2, {}, false},
        {"menu", true, Channel::Chat, 3, {"console:ab\n"}, false},
        {"menu", true, Channel::Chat, 0, {"console:ab\n"}, false},
        {"menu", true, Channel::Chat, 33, {"console:ab\n"}, false},
        {"menu", true, Channel::Motd, 1, {"MOTD1:a\r\nb"}, false},
        {"chat",
         true,
         Channel::Motd,
         1,
         {"SayText1:\x01[Iron-Post] Iron-Post\n", "SayText1:\x01[Iron-Post] a\n",
          "SayText1:\x01[Iron-Post] b\n"},
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.mode ? c.mode : "unset") + " slot " + std::to_string(c.slot) +
                     " channel " + EngineNotificationChannelName(c.channel));
        Server server(c.game_messages);
        if (c.mode != nullptr) {
            server.sink.SetUiMode(c.mode);
        }
        server.Show(Channel::Menu, 1, "shown");  // a shown menu must not vouch for the next
        server.fake.console.clear();
        server.fake.client_prints.clear();
        server.fake.messages.clear();
        const bool shown_before = server.sink.LastMenuShown();
        server.Show(c.channel, c.slot, "a\r\nb");
        EXPECT_EQ(Trace(server.fake), c.trace);
        EXPECT_EQ(server.sink.LastMenuShown(),
                  c.channel == Channel::Menu ? c.menu_shown : shown_before);
    }
}

TEST(MetamodProcessNotificationSink, KeepsTheLatestNotificationsAndAnExactCount) {
    MetamodProcessNotificationSink sink;  // no engine: nothing is shown, nothing fails
    EngineNotification notification;
    notification.channel = EngineNotificationChannel::Log;
    for (int i = 0; i < 300; ++i) {
        notification.message = std::to_string(i);
        sink.PublishEngineNotification(notification);
    }
    EXPECT_EQ(sink.NotificationCount(), 300u);
    ASSERT_EQ(sink.Notifications().size(), kNotificationRingCapacity);
    EXPECT_EQ(sink.Notifications().front().message, "44");
    EXPECT_EQ(sink.Notifications().back().message, "299");
}

TEST(MetamodProcessCvarRegistry, RegistersEachNameOncePerProcessAndReadsBackThroughTheEngine) {
    FakeEngine fake;
    IronPostConfig config;
    config.reward_kill = 250;
    std::vector<CvarDefinition> definitions = BuildCvarDefinitions(config);
    MetamodProcessCvarRegistry early;  // before the engine table arrives: only recorded
    early.RegisterCvar(definitions[0]);
    EXPECT_TRUE(EngineRegisteredCvarNames().empty());

    fake.Capture();
    definitions.push_back({"ironpost_test_fraction", "-2.5", ""});
    definitions.push_back({"ironpost_test_huge", "1e999", ""});
    definitions.push_back({"ironpost_test_hex", "0x10", ""});
    definitions.push_back({"ironpost_test_suffix", "12ms", ""});
    for (int attach = 0; attach < 2; ++attach) {  // detach and attach again: a new registry
        MetamodProcessCvarRegistry registry;
        for (const CvarDefinition& definition : definitions) {
            registry.RegisterCvar(definition);
        }
        registry.RegisterCvar({"ironpost_reward_kill", "300", "again"});
        EXPECT_EQ(registry.RegisteredCvars().size(), definitions.size());
        EXPECT_EQ(registry.RegisteredCvars()[37].default_value, "300");
    }
    EXPECT_EQ(fake.registered_cvars.size(), definitions.size()) << "the engine is asked once";
    EXPECT_EQ(EngineRegisteredCvarNames(), fake.registered_cvars);

    // The structs stay valid after their registries are gone, carry the value
    // as a decimal number and keep secrets out of clients and queries.
    const std::map<std::string, float> values = {
        {"ironpost_reward_kill", 250.0f},  {"ironpost_chain_rpc", 0.0f},
        {"ironpost_test_fraction", -2.5f}, {"ironpost_test_huge", 0.0f},
        {"ironpost_test_hex", 0.0f},       {"ironpost_test_suffix", 0.0f}};
    for (const cvar_t* cvar : fake.cvar_pointers) {
        SCOPED_TRACE(cvar->name);
        const bool secret = std::string(cvar->name) == "ironpost_backend_auth_token_file";
        EXPECT_EQ(cvar->flags, secret ? 32 : 0);
        if (values.count(cvar->name) != 0) {
            EXPECT_EQ(cvar->value, values.at(cvar->name));
        }
    }
    fake.cvars.at("ironpost_reward_kill").value = "7";  // the operator's change
    EXPECT_EQ(MetamodProcessCvarRegistry::EngineValue("ironpost_reward_kill"), "7");
    EXPECT_EQ(MetamodProcessCvarRegistry::EngineValue("ironpost_unknown"), std::nullopt);
}

}  // namespace
}  // namespace ironpost
