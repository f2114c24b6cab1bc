#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "fake_engine.h"
#include "ironpost_metamod_sdk_engine_imports.h"

namespace ironpost {
namespace {

using testing_support::FakeEngine;
using Strings = std::vector<std::string>;

TEST(MetamodSdkEngineImports, CaptureAndValidationReportEveryState) {
    FakeEngine fake;
    struct Case {
        const char* name;
        bool with_table;
        bool with_globals;
        void (*edit)(enginefuncs_t&);
        const char* capture_status;
        const char* validation_status;
        unsigned available;
    };
    const auto keep = [](enginefuncs_t&) {};
    const std::vector<Case> cases = {
        {"no table", false, true, keep, "sdk_engine_imports_missing_engine_functions",
         "sdk_engine_imports_not_captured", 0},
        {"no globals", true, false, keep, "sdk_engine_imports_missing_globals",
         "sdk_engine_imports_not_captured", 0},
        {"complete", true, true, keep, "sdk_engine_imports_captured",
         "sdk_engine_imports_validated", 17},
        {"three missing", true, true,
         [](enginefuncs_t& table) {
             table.pfnRegUserMsg = nullptr;
             table.pfnWriteChar = nullptr;
             table.pfnCVarRegister = nullptr;
         },
         "sdk_engine_imports_captured", "sdk_engine_imports_missing_required_fields", 14},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        enginefuncs_t table = fake.engine;
        c.edit(table);
        const MetamodSdkEngineImportSnapshot snapshot = CaptureIronpostMetamodEngineImports(
            c.with_table ? &table : nullptr, c.with_globals ? &fake.globals : nullptr);
        EXPECT_EQ(snapshot.status, c.capture_status);
        EXPECT_STREQ(ironpost_metamod_sdk_engine_import_status(), c.capture_status);
        EXPECT_EQ(ironpost_metamod_sdk_engine_imports_captured(), c.with_table && c.with_globals);

        const MetamodSdkEngineImportValidationReport report =
            IronpostValidateMetamodEngineImports();
        EXPECT_EQ(report.status, c.validation_status);
        EXPECT_EQ(report.validated, c.available == 17);
        EXPECT_EQ(report.available_engine_import_count, c.available);
        EXPECT_EQ(report.missing_engine_import_count, 17 - c.available);
        if (c.available == 14) {
            // Reported in check order, not in the order they went missing.
            EXPECT_EQ(report.missing_engine_imports,
                      (Strings{"pfnCVarRegister", "pfnWriteChar", "pfnRegUserMsg"}));
        }
        EXPECT_STREQ(ironpost_metamod_sdk_engine_import_validation_status(), c.validation_status);
        EXPECT_EQ(ironpost_metamod_sdk_available_engine_import_count(), c.available);
        EXPECT_EQ(ironpost_metamod_sdk_engine_imports_validated(), c.available == 17);
    }
}

TEST(MetamodSdkEngineImports, EngineCallTurnsAMissingFunctionIntoAResult) {
    FakeEngine fake;
    EXPECT_FALSE(EngineCall(&enginefuncs_t::pfnServerPrint, "lost\n"));  // nothing captured
    fake.engine.pfnPEntityOfEntIndex = nullptr;
    fake.Capture();
    EXPECT_TRUE(EngineCall(&enginefuncs_t::pfnServerPrint, "kept\n"));
    EXPECT_EQ(fake.console, Strings{"kept\n"});
    EXPECT_FALSE(EngineCall(&enginefuncs_t::pfnPEntityOfEntIndex, 1).has_value());
    EXPECT_EQ(IronpostMetamodClientEdict(1), nullptr);
    EXPECT_EQ(EngineCall(&enginefuncs_t::pfnCmd_Argc), std::optional<int>(0));
}

// The game registers its messages only when a map loads; the plugin keeps
// asking the loader until every id is known and never registers one itself.
TEST(MetamodSdkEngineImports, GameUserMessagesResolveOnceTheGameHasRegisteredThem) {
    FakeEngine fake;
    fake.Capture();
    CaptureIronpostMetamodUtilityFunctions(nullptr, nullptr);
    EXPECT_EQ(IronpostRegisterMetamodSdkUserMessages().status,
              "sdk_user_messages_lookup_unavailable");

    fake.Capture();
    MetamodSdkUserMessageRegistrationReport report = IronpostRegisterMetamodSdkUserMessages();
    EXPECT_FALSE(report.registered);
    EXPECT_EQ(report.failed_user_message_count, 10u);
    EXPECT_EQ(ironpost_metamod_sdk_user_messages_registered(), 0);
    EXPECT_EQ(ironpost_metamod_sdk_user_message_id("ShowMenu"), 0);

    fake.RegisterGameMessages();
    fake.game_messages.erase("HLTV");
    EXPECT_FALSE(IronpostResolveMetamodSdkUserMessagesIfPending());
    EXPECT_STREQ(ironpost_metamod_sdk_user_message_registration_status(),
                 "sdk_user_messages_registration_failed");
    EXPECT_EQ(ironpost_metamod_sdk_registered_user_message_count(), 9u);
    EXPECT_EQ(ironpost_metamod_sdk_user_message_id("ShowMenu"), 96);
    EXPECT_EQ(ironpost_metamod_sdk_user_message_id("HLTV"), 0);

    // An exception inside the loader reaches no caller and keeps what was found.
    fake.throw_in_user_message_lookup = true;
    const unsigned stopped = ironpost_metamod_sdk_stopped_exception_count();
    EXPECT_FALSE(IronpostResolveMetamodSdkUserMessagesIfPending());
    EXPECT_EQ(ironpost_metamod_sdk_stopped_exception_count(), stopped + 1);
    EXPECT_NE(std::strstr(ironpost_metamod_sdk_last_stopped_exception(),
                          "IronpostRegisterMetamodSdkUserMessages: "),
              nullptr);
    EXPECT_EQ(ironpost_metamod_sdk_user_message_id("MOTD"), 104);
    fake.throw_in_user_message_lookup = false;

    fake.RegisterGameMessages();
    const int lookups = fake.user_message_lookups;
    EXPECT_TRUE(IronpostResolveMetamodSdkUserMessagesIfPending());
    EXPECT_EQ(fake.user_message_lookups, lookups + 1) << "only the missing id is asked for";
    EXPECT_TRUE(IronpostResolveMetamodSdkUserMessagesIfPending());
    EXPECT_EQ(fake.user_message_lookups, lookups + 1) << "nothing asked once all are known";
    EXPECT_EQ(ironpost_metamod_sdk_user_messages_registered(), 1);
    EXPECT_EQ(ironpost_metamod_sdk_registered_user_message_count(), 10u);
    EXPECT_EQ(ironpost_metamod_sdk_user_message_id("HLTV"), 108);
    EXPECT_EQ(ironpost_metamod_sdk_user_message_id("showmenu"), 0) << "lookup is case-sensitive";
    EXPECT_EQ(ironpost_metamod_sdk_user_message_id(nullptr), 0);
    report = IronpostRegisterMetamodSdkUserMessages();
    EXPECT_EQ(report.messages[6].name, "Damage");
    EXPECT_EQ(report.messages[6].size, 12) << "the game's size, not one of our own";
    EXPECT_TRUE(fake.registered_user_messages.empty());
}

TEST(MetamodSdkEngineImports, NoThrowReturnsTheNeutralAnswerForAnyException) {
    const std::vector<void (*)()> throwers = {
        [] { throw std::bad_alloc(); },
        [] {
            throw std::system_error(
                std::make_error_code(std::errc::resource_unavailable_try_again));
        },
        [] { throw std::runtime_error("config"); },
        [] { throw 42; },
    };
    for (auto thrower : throwers) {
        const unsigned before = ironpost_metamod_sdk_stopped_exception_count();
        EXPECT_EQ(IronpostNoThrow("Meta_Attach", 0,
                                  [&] {
                                      thrower();
                                      return 1;
                                  }),
                  0);
        IronpostNoThrow("IronpostMetamodStartFrame", thrower);
        EXPECT_EQ(ironpost_metamod_sdk_stopped_exception_count(), before + 2);
    }
    EXPECT_STREQ(ironpost_metamod_sdk_last_stopped_exception(),
                 "IronpostMetamodStartFrame: unknown exception");
}

// Bots that bot code connected by calling the game directly never pass the
// connect hook; the fake-client flag over the player slots still finds them.
TEST(MetamodSdkEngineImports, ClientSlotsFindBotsAndLogUserIds) {
    FakeEngine fake;
    fake.globals.maxClients = 6;
    fake.Capture();
    fake.Connect(1, 7, "STEAM_0:1:7");
    fake.Connect(2, 9, "BOT", /*bot=*/true);
    fake.Connect(5, 11, "BOT", /*bot=*/true);
    fake.Connect(3, 10, "BOT", /*bot=*/true)->pvPrivateData = nullptr;  // left; game object gone
    fake.Connect(7, 12, "BOT", /*bot=*/true);                           // beyond maxClients
    fake.edicts[5].free = 1;

    EXPECT_EQ(IronpostMetamodFakeClientSlots(), (std::vector<int>{2}));
    EXPECT_EQ(IronpostMetamodClientEdict(1), &fake.edicts[1]);
    EXPECT_EQ(IronpostMetamodClientEdict(4), nullptr) << "in use but nobody connected";
    EXPECT_EQ(IronpostMetamodSlotForUserId(9), 2);
    EXPECT_EQ(IronpostMetamodSlotForUserId(7), 1);
    EXPECT_EQ(IronpostMetamodSlotForUserId(12), 0);
    EXPECT_EQ(IronpostMetamodSlotForUserId(0), 0);
}

TEST(MetamodSdkEngineImports, RelativePathsResolveUnderTheGameDirectory) {
    struct Case {
        const char* game_dir;
        const char* path;
        const char* resolved;
    };
    for (const Case& c : std::vector<Case>{
             {"cstrike", "addons/ironpost/ironpost.cfg", "cstrike/addons/ironpost/ironpost.cfg"},
             {"/srv/hlds/cstrike/", "addons/x.key", "/srv/hlds/cstrike/addons/x.key"},
             {"/srv/hlds/cstrike", "/etc/ironpost.cfg", "/etc/ironpost.cfg"},
             {"", "addons/x.key", "addons/x.key"},
             {"/", "x.key", "/x.key"},
         }) {
        EXPECT_EQ(IronpostResolveAgainstGameDirectory(c.game_dir, c.path), c.resolved)
            << c.game_dir;
    }
    FakeEngine fake;
    fake.game_dir = "/home/hlds/cstrike";
    fake.Capture();
    EXPECT_EQ(IronpostMetamodResolveGamePath("addons/a"), "/home/hlds/cstrike/addons/a");
    fake.engine.pfnGetGameDir = nullptr;
    fake.Capture();
    EXPECT_EQ(IronpostMetamodResolveGamePath("addons/a"), "addons/a");
}

}  // namespace
}  // namespace ironpost
