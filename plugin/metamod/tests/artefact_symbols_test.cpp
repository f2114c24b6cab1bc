// The packaged plugin's dynamic symbols, as nm lists them: it exports exactly
// the listed plain-named functions, and it imports only the C library at or
// below the floor the README states (the game server loads its own old C++
// runtime first, so nothing may come from a C++ runtime or libgcc).

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Symbol {
    char type;         // nm's letter: 'T' defined function, 'U' import, 'w' weak import...
    std::string name;  // with "@VERSION" for versioned imports
};

std::vector<Symbol> PluginSymbols() {
    const std::string command =
        std::string(IRONPOST_NM) + " -D --with-symbol-versions '" IRONPOST_PACKAGED_PLUGIN "'";
    FILE* pipe = popen(command.c_str(), "r");
    std::vector<Symbol> symbols;
    char line[1024];
    while (pipe != nullptr && std::fgets(line, sizeof(line), pipe) != nullptr) {
        std::istringstream fields(line);
        std::vector<std::string> words{std::istream_iterator<std::string>(fields), {}};
        if (words.size() >= 2) {
            symbols.push_back({words[words.size() - 2][0], words.back()});
        }
    }
    EXPECT_TRUE(pipe != nullptr && pclose(pipe) == 0 && !symbols.empty()) << command;
    return symbols;
}

TEST(ArtefactSymbols, ExportsExactlyTheListedFunctions) {
    std::ifstream list(IRONPOST_ARTEFACT_DIR "/ironpost_mm.exports");
    std::set<std::string> expected;
    for (std::string name; std::getline(list, name);) {
        if (!name.empty() && name[0] != '#') {
            expected.insert(name);
        }
    }
    std::set<std::string> exported;  // every defined symbol, as a function
    for (const Symbol& symbol : PluginSymbols()) {
        if (symbol.type != 'U' && symbol.type != 'w') {
            exported.insert(symbol.type == 'T' ? symbol.name : symbol.name + " (not a function)");
        }
    }
    EXPECT_FALSE(expected.empty());
    EXPECT_EQ(exported, expected);
}

TEST(ArtefactSymbols, ImportsOnlyTheCLibraryAtOrBelowTheFloor) {
    std::string highest = "GLIBC_2.0";
    for (const Symbol& symbol : PluginSymbols()) {
        const std::size_t at = symbol.name.find("@GLIBC_2.");
        if (at != std::string::npos) {
            const std::string version = symbol.name.substr(at + 1);
            highest = strverscmp(version.c_str(), highest.c_str()) > 0 ? version : highest;
        }
#if defined(__i386__)
        // A strong import that is not the C library's would bind to whatever
        // the server loaded first, such as its old libstdc++.
        EXPECT_TRUE(symbol.type != 'U' || at != std::string::npos) << symbol.name;
#endif
    }
    std::cout << "the plugin needs " << highest << " at most\n";
#if defined(__i386__)
    const std::string floor = "GLIBC_2.4";  // stated in the README
    EXPECT_LE(strverscmp(highest.c_str(), floor.c_str()), 0)
        << "needs " << highest << "; pin the new symbol in ironpost_glibc_compat.cpp";
#else
    GTEST_SKIP() << "the floor concerns the shipped i386 plugin";
#endif
}

}  // namespace
