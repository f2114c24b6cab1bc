#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "fake_engine.h"
#include "ironpost_metamod_process_output.h"

namespace ironpost {
namespace {

using testing_support::FakeEngine;
using Channel = EngineNotificationChannel;
using Bytes = std::vector<std::uint8_t>;
using Strings = std::vector<std::string>;

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

    // Publishes one notification; returns what reached the engine as
    // "console:<text>", "print<slot>/<type>:<text>" and, for each user
    // message (checked to be its fields, then exactly one string),
    // "<name><slot> <field bytes>:<text>".
    Strings Show(Channel channel, int slot, const std::string& message, std::uint16_t mask = 0,
                 int seconds = 10) {
        fake.console.clear();
        fake.client_prints.clear();
        fake.messages.clear();
        sink.PublishEngineNotification(
            {channel, EngineNotificationSeverity::Info, slot, message, mask, seconds, false, ""});
        Strings shown;
        for (const std::string& line : fake.console) {
            shown.push_back("console:" + line);
        }
        for (const FakeEngine::ClientPrint& print : fake.client_prints) {
            shown.push_back("print" + std::to_string(print.slot) + "/" +
                            std::to_string(print.type) + ":" + print.text);
        }
        for (const FakeEngine::UserMessage& message : fake.messages) {
            std::string to;
            for (const auto& [name, id_size] : fake.game_messages) {
                to = id_size.first == message.id ? name + std::to_string(message.slot) : to;
            }
            const Bytes& payload = message.payload;
            const auto text = payload.begin() + (to.rfind("ShowMenu", 0) == 0 ? 4 : 1);
            EXPECT_EQ(message.dest, MSG_ONE);
            EXPECT_EQ(std::find(text, payload.end(), 0), payload.end() - 1) << "one string";
            for (auto field = payload.begin(); field != text; ++field) {
                to += " " + std::to_string(*field);
            }
            shown.push_back(to + ":" + std::string(text, payload.end() - 1));
        }
        return shown;
    }
};

// The messages that carry `text` in parts of `part_bytes`, `to` and the
// more-or-last field first.
Strings Parts(const std::string& to, const std::string& text, std::size_t part_bytes,
              const char* more, const char* last) {
    Strings parts;
    for (std::size_t at = 0; at < text.size(); at += part_bytes) {
        parts.push_back(to + (at + part_bytes < text.size() ? more : last) + ":" +
                        text.substr(at, part_bytes));
    }
    return parts;
}

TEST(MetamodProcessNotificationSink, EveryUserMessageFitsTheEngineAndRejoinsToTheText) {
    Server server;
    server.sink.SetUiMode("menu");
    // Eight long recipients: 574 bytes, and the cut at 508 falls inside a character.
    std::string name, menu = "Iron-Post Zolt\n";
    while (name.size() < 30) {
        name += "\xC3\xA9";
    }
    for (int key = 1; key <= 8; ++key) {
        menu += std::to_string(key) + ". " + name + std::to_string(key) +
                " (1234567 ZOLT) STEAM_0:1:12345555\n";
    }
    // Key mask 0x3FF, 300 s held to the char's 127, "more" on all but the last.
    EXPECT_EQ(server.Show(Channel::Menu, 1, menu + "0. Exit", 0x3FF, 300),
              Parts("ShowMenu1 255 3 127", menu.substr(0, 507) + "\n...", 175, " 1", " 0"));
    EXPECT_TRUE(server.sink.LastMenuShown());

    std::string body;
    while (body.size() < 1500) {
        body += "Rule " + std::to_string(body.size()) + ": no farming\n";
    }
    EXPECT_EQ(server.Show(Channel::Motd, 1, body),
              Parts("MOTD1", body.substr(0, 1400) + "\n\n[truncated]", 60, " 0", " 1"));

    // Chat: control bytes gone, colour byte first, the player as sender, cut
    // with its line feed to 190 bytes.
    EXPECT_EQ(server.Show(Channel::Chat, 1, "#Cstrike_Chat\x03 x\x7f\n" + std::string(300, 'z')),
              Strings{"SayText1 1:\x01#Cstrike_Chat x" + std::string(173, 'z') + "\n"});
}

TEST(MetamodProcessNotificationSink, RoutesByUiModeSlotAndKnownMessages) {
    struct Case {
        const char* mode;  // null: never set, as while detached
        bool game_messages;
        Channel channel;
        int slot;
        Strings shown;
    };
    const Strings menu_as_chat = {"SayText1 1:\x01[Iron-Post] ShowMenu\n",
                                  "SayText1 1:\x01[Iron-Post] a\n",
                                  "SayText1 1:\x01[Iron-Post] b\n"};
    const Strings motd_as_chat = {"SayText1 1:\x01[Iron-Post] Iron-Post\n",
                                  "SayText1 1:\x01[Iron-Post] a\n",
                                  "SayText1 1:\x01[Iron-Post] b\n"};
    const Strings menu_without_ids = {
        "console:[Iron-Post] ShowMenu unavailable; using player-visible chat fallback.\n",
        "print1/2:[Iron-Post] ShowMenu\n", "print1/2:[Iron-Post] a\n", "print1/2:[Iron-Post] b\n"};
    const std::vector<Case> cases = {
        {"menu", true, Channel::Menu, 1, {"ShowMenu1 0 0 10 0:a\r\nb"}},
        {"chat", true, Channel::Menu, 1, menu_as_chat},
        {"tiles", true, Channel::Menu, 1, menu_as_chat},
        {nullptr, true, Channel::Menu, 1, menu_as_chat},
        {"disabled", true, Channel::Menu, 1, {}},
        {"disabled", true, Channel::Log, 0, {"console:ab\n"}},
        {"menu", false, Channel::Menu, 1, menu_without_ids},
        {"menu", false, Channel::Chat, 1, {"print1/2:ab\n"}},
        {"menu", true, Channel::Menu, 2, {}},
        {"menu", true, Channel::Chat, 3, {"console:ab\n"}},
        {"menu", true, Channel::Chat, 0, {"console:ab\n"}},
        {"menu", true, Channel::Motd, 1, {"MOTD1 1:a\r\nb"}},
        {"chat", true, Channel::Motd, 1, motd_as_chat},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases.data());
        Server server(c.game_messages);
        if (c.mode != nullptr) {
            server.sink.SetUiMode(c.mode);
        }
        static_cast<void>(server.Show(Channel::Menu, 1, "x"));  // must not vouch for the next
        const bool shown_before = server.sink.LastMenuShown();
        EXPECT_EQ(server.Show(c.channel, c.slot, "a\r\nb"), c.shown);
        EXPECT_EQ(server.sink.LastMenuShown(),
                  c.channel == Channel::Menu ? c.shown.size() == 1 : shown_before);
    }
}

TEST(MetamodProcessNotificationSink, KeepsTheLatestNotificationsAndAnExactCount) {
    MetamodProcessNotificationSink sink;  // no engine: nothing is shown, nothing fails
    EngineNotification notification;
    for (int i = 0; i < 300; ++i) {
        notification.message = std::to_string(i);
        sink.PublishEngineNotification(notification);
    }
    EXPECT_EQ(sink.NotificationCount(), 300u);
    ASSERT_EQ(sink.Notifications().size(), kNotificationRingCapacity);
    EXPECT_EQ(sink.Notifications().front().message, "44");
}

TEST(MetamodProcessCvarRegistry, RegistersEachNameOncePerProcessAndReadsBackThroughTheEngine) {
    FakeEngine fake;
    IronPostConfig config;
    config.reward_kill = 250;
    std::vector<CvarDefinition> definitions = BuildCvarDefinitions(config);
    fake.Capture();
    definitions.push_back({"ironpost_test_fraction", "-2.5", ""});
    definitions.push_back({"ironpost_test_suffix", "12ms", ""});
    definitions.push_back({"ironpost_test_huge", "1e999", ""});
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

    // The structs outlive their registries, carry the value as a decimal
    // number and keep secrets out of clients and server queries.
    const std::map<std::string, float> values = {{"ironpost_reward_kill", 250.0f},
                                                 {"ironpost_test_fraction", -2.5f},
                                                 {"ironpost_test_suffix", 0.0f},
                                                 {"ironpost_test_huge", 0.0f}};
    for (const cvar_t* cvar : fake.cvar_pointers) {
        SCOPED_TRACE(cvar->name);
        const bool secret = std::string(cvar->name) == "ironpost_backend_auth_token_file";
        EXPECT_EQ(cvar->flags, secret ? 32 : 0);
        EXPECT_EQ(cvar->value, values.count(cvar->name) ? values.at(cvar->name) : cvar->value);
    }
    fake.cvar_values.at("ironpost_reward_kill") = "7";  // the operator's change
    EXPECT_EQ(MetamodProcessCvarRegistry::EngineValue("ironpost_reward_kill"), "7");
    EXPECT_EQ(MetamodProcessCvarRegistry::EngineValue("ironpost_unknown"), std::nullopt);
}

}  // namespace
}  // namespace ironpost
