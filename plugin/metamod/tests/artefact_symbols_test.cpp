// The packaged plugin's dynamic symbol table: it exports exactly the listed
// plain-named functions, and everything it imports is the C library at or
// below the floor the README states (the game server loads its own old C++
// runtime first, so nothing may be needed from a C++ runtime or libgcc).

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "artefact_elf.h"

namespace {

using ironpost::testing_support::ElfDynamicView;
using ironpost::testing_support::ReadElfDynamicView;

ElfDynamicView ReadPlugin() {
    const auto view = ReadElfDynamicView(IRONPOST_PACKAGED_PLUGIN);
    EXPECT_TRUE(view.has_value()) << IRONPOST_PACKAGED_PLUGIN;
    return view.value_or(ElfDynamicView{});
}

// "GLIBC_2.1.3" -> {2, 1, 3}.
std::vector<int> GlibcVersion(const std::string& name) {
    std::vector<int> parts;
    std::istringstream in(name.substr(name.find('_') + 1));
    for (std::string part; std::getline(in, part, '.');) {
        parts.push_back(std::stoi(part));
    }
    return parts;
}

// The loader's entry points, Ironpost... hooks and direct functions, and
// ironpost_metamod_... status and process functions.
bool IsPlainExportName(const std::string& name) {
    for (const char* exact :
         {"GiveFnptrsToDll", "GetEntityAPI2", "GetEngineFunctions", "GetNewDLLFunctions"}) {
        if (name == exact) {
            return true;
        }
    }
    for (const std::string prefix : {"Meta_", "Ironpost", "ironpost_metamod_"}) {
        if (name.size() > prefix.size() && name.rfind(prefix, 0) == 0) {
            return name.find_first_not_of(
                       "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                       "0123456789_") == std::string::npos;
        }
    }
    return false;
}

TEST(ArtefactSymbols, ExportsExactlyTheListedPlainNamedFunctions) {
    std::ifstream list(IRONPOST_ARTEFACT_DIR "/ironpost_mm.exports");
    ASSERT_TRUE(list) << "missing ironpost_mm.exports";
    std::set<std::string> expected;
    for (std::string name; std::getline(list, name);) {
        if (!name.empty() && name[0] != '#') {
            EXPECT_TRUE(IsPlainExportName(name)) << name << " is not a plain export name";
            expected.insert(name);
        }
    }
    std::set<std::string> exported;
    for (const auto& symbol : ReadPlugin().symbols) {
        if (symbol.defined) {
            EXPECT_EQ(symbol.type, STT_FUNC) << symbol.name << " is exported but not a function";
            exported.insert(symbol.name);
        }
    }
    std::vector<std::string> unexpected, missing;
    std::set_difference(exported.begin(), exported.end(), expected.begin(), expected.end(),
                        std::back_inserter(unexpected));
    std::set_difference(expected.begin(), expected.end(), exported.begin(), exported.end(),
                        std::back_inserter(missing));
    EXPECT_TRUE(unexpected.empty())
        << "exported but not listed: " << ::testing::PrintToString(unexpected);
    EXPECT_TRUE(missing.empty()) << "listed but not exported: "
                                 << ::testing::PrintToString(missing);
}

TEST(ArtefactSymbols, ImportsOnlyTheCLibraryAtOrBelowTheFloor) {
    const ElfDynamicView plugin = ReadPlugin();
    std::string highest = "GLIBC_2.0";
    for (const std::string& version : plugin.needed_versions) {
        if (version.rfind("GLIBC_2.", 0) == 0 && GlibcVersion(version) > GlibcVersion(highest)) {
            highest = version;
        }
    }
    RecordProperty("highest_glibc", highest);
    std::cout << "the plugin needs " << highest << " at most\n";
#if defined(__i386__)
    // A strong import without a C library version would bind to whatever the
    // server loaded first, such as its old libstdc++.
    for (const auto& symbol : plugin.symbols) {
        if (!symbol.defined && symbol.binding != STB_WEAK) {
            EXPECT_EQ(symbol.version.rfind("GLIBC_2.", 0), 0u)
                << symbol.name << " imported at version '" << symbol.version << "'";
        }
    }
    for (const std::string& version : plugin.needed_versions) {
        EXPECT_EQ(version.rfind("GLIBC_2.", 0), 0u) << "needs " << version;
    }
    const std::string floor = "GLIBC_2.4";  // stated in the README
    EXPECT_LE(GlibcVersion(highest), GlibcVersion(floor))
        << "the plugin needs " << highest << ", above its floor " << floor
        << "; pin the new symbol in ironpost_glibc_compat.cpp";
#else
    GTEST_SKIP() << "the floor concerns the shipped i386 plugin";
#endif
}

}  // namespace
