#pragma once

// Runs small Python programs as an independent reference for hashing and
// signing (hashlib, hmac, json). Inputs travel as hex command-line arguments
// so no byte needs shell quoting; tests skip when python3 is absent.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace ironpost_test {

inline std::string ToHex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (const char ch : bytes) {
        const auto byte = static_cast<unsigned char>(ch);
        hex.push_back(digits[byte >> 4]);
        hex.push_back(digits[byte & 0x0f]);
    }
    return hex;
}

inline std::string ReadAll(FILE* stream) {
    std::string out;
    char chunk[4096];
    std::size_t count = 0;
    while ((count = std::fread(chunk, 1, sizeof(chunk), stream)) > 0) {
        out.append(chunk, count);
    }
    return out;
}

inline bool PythonAvailable() {
    static const bool available = [] {
        FILE* pipe = ::popen("python3 -c 'print(42)' 2>/dev/null", "r");
        if (pipe == nullptr) {
            return false;
        }
        const std::string out = ReadAll(pipe);
        return ::pclose(pipe) == 0 && out == "42\n";
    }();
    return available;
}

// Runs `script` with python3 and `hex_args` (hex digits only) as sys.argv[1:];
// its standard output, or nothing when it could not run or exited non-zero.
inline std::optional<std::string> RunPython(const std::string& script,
                                            const std::vector<std::string>& hex_args = {}) {
    char path[] = "/tmp/ironpost_oracle_XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0) {
        return std::nullopt;
    }
    ::close(fd);
    {
        std::ofstream file(path, std::ios::binary);
        file << script;
    }
    std::string command = std::string("python3 ") + path;
    for (const std::string& arg : hex_args) {
        command += " " + arg;
    }
    FILE* pipe = ::popen(command.c_str(), "r");
    std::optional<std::string> result;
    if (pipe != nullptr) {
        std::string out = ReadAll(pipe);
        if (::pclose(pipe) == 0) {
            result = std::move(out);
        }
    }
    std::remove(path);
    return result;
}

// Splits `text` at line feeds; a final empty piece is dropped.
inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::string current;
    for (const char ch : text) {
        if (ch == '\n') {
            lines.push_back(current);
            current.clear();
        } else {
            current.push_back(ch);
        }
    }
    if (!current.empty()) {
        lines.push_back(current);
    }
    return lines;
}

}  // namespace ironpost_test
