// The ironpost.cfg shipped in the package names every key once, at its
// built-in default and under its description, and parses back without a
// warning or an error.

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "ironpost_config.h"

namespace {

std::string ReadPackageFile(const std::string& relative_path) {
    std::ifstream in(std::string(IRONPOST_PACKAGE_DIR) + "/" + relative_path, std::ios::binary);
    EXPECT_TRUE(in) << relative_path;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(ArtefactPackage, ConfigListsEveryKeyAtItsDefaultAndParsesBackCleanly) {
    const std::string text = ReadPackageFile("addons/ironpost/ironpost.cfg");
    const ironpost::ConfigParseResult parsed = ironpost::ParseConfigText(text);
    EXPECT_TRUE(parsed.errors.empty()) << ::testing::PrintToString(parsed.errors);
    EXPECT_TRUE(parsed.warnings.empty()) << ::testing::PrintToString(parsed.warnings);

    // Parsing starts from the defaults, so also check that every key is
    // written out: a key missing from the file would parse "back" unnoticed.
    std::map<std::string, std::string> described_keys;  // key line -> the comment above it
    std::istringstream lines(text);
    std::string previous;
    for (std::string line; std::getline(lines, line); previous = line) {
        if (line.rfind("ironpost_", 0) == 0) {
            const std::string key = line.substr(0, line.find(' '));
            EXPECT_TRUE(described_keys.emplace(key, previous).second) << key << " written twice";
        }
    }
    const auto defaults = ironpost::BuildCvarDefinitions(ironpost::IronPostConfig());
    const auto loaded = ironpost::BuildCvarDefinitions(parsed.config);
    ASSERT_EQ(loaded.size(), defaults.size());
    EXPECT_EQ(described_keys.size(), defaults.size());
    for (std::size_t index = 0; index < defaults.size(); ++index) {
        const ironpost::CvarDefinition& definition = defaults[index];
        EXPECT_EQ(loaded[index].default_value, definition.default_value) << definition.name;
        EXPECT_EQ(described_keys[definition.name], "// " + definition.description)
            << definition.name;
    }
}

}  // namespace
