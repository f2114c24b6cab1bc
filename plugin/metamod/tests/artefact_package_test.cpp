// The ironpost.cfg shipped in the package names every key once, at its
// built-in default and under its description, and parses back without a
// warning or an error.

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "ironpost_config.h"

namespace {

TEST(ArtefactPackage, ConfigListsEveryKeyAtItsDefaultAndParsesBackCleanly) {
    std::ifstream in(IRONPOST_PACKAGE_DIR "/addons/ironpost/ironpost.cfg", std::ios::binary);
    std::ostringstream read;
    read << in.rdbuf();
    const std::string text = read.str();
    const ironpost::ConfigParseResult parsed = ironpost::ParseConfigText(text);
    EXPECT_TRUE(parsed.errors.empty()) << ::testing::PrintToString(parsed.errors);
    EXPECT_TRUE(parsed.warnings.empty()) << ::testing::PrintToString(parsed.warnings);

    // Parsing starts from the defaults, so a key missing from the file would
    // parse "back" unnoticed: each must stand there once, under its comment.
    const auto defaults = ironpost::BuildCvarDefinitions(ironpost::IronPostConfig());
    const auto loaded = ironpost::BuildCvarDefinitions(parsed.config);
    ASSERT_EQ(loaded.size(), defaults.size());
    for (std::size_t index = 0; index < defaults.size(); ++index) {
        const ironpost::CvarDefinition& key = defaults[index];
        const std::string entry = "\n// " + key.description + "\n" + key.name + " ";
        EXPECT_NE(text.find(entry), std::string::npos) << key.name;
        EXPECT_EQ(text.find("\n" + key.name + " "), text.rfind("\n" + key.name + " ")) << key.name;
        EXPECT_EQ(loaded[index].default_value, key.default_value) << key.name;
    }
}

}  // namespace
