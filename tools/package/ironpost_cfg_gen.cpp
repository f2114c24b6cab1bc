// Writes the ironpost.cfg shipped in the package: every configuration key at
// its built-in default, each under its description. Built from the plugin's
// own key table, so the file always lists exactly the keys the plugin reads.
// Usage: ironpost_cfg_gen <output path>

#include <fstream>
#include <iostream>
#include <string>

#include "ironpost_config.h"

namespace {

// Numbers and flags stand bare; every other value is quoted, because "//"
// (as in a URL) starts a comment outside quotes and an empty value needs "".
std::string RenderValue(const std::string& value) {
    const bool decimal =
        !value.empty() && value.find_first_not_of("0123456789") == std::string::npos;
    return decimal ? value : "\"" + value + "\"";
}

std::string RenderDefaultConfig() {
    std::string text =
        "// Iron-Post configuration, read once when the plugin attaches.\n"
        "// Each line is a key, white space and a value. \"//\" starts a comment\n"
        "// outside double quotes, so keep values such as URLs quoted. Every key is\n"
        "// listed at its built-in default; unknown keys are warned about, bad values\n"
        "// stop the plugin from loading. The loaded values are published as console\n"
        "// variables of the same names.\n";
    for (const ironpost::CvarDefinition& definition :
         ironpost::BuildCvarDefinitions(ironpost::IronPostConfig())) {
        text += "\n// " + definition.description + "\n";
        text += definition.name + " " + RenderValue(definition.default_value) + "\n";
    }
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: ironpost_cfg_gen <output path>\n";
        return 2;
    }
    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    out << RenderDefaultConfig();
    out.close();
    if (!out) {
        std::cerr << "ironpost_cfg_gen: cannot write " << argv[1] << "\n";
        return 1;
    }
    return 0;
}
