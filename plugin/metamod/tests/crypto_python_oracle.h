#pragma once

// Runs small Python programs (hashlib, hmac) as an independent reference for
// hashing and signing. Inputs travel as hex arguments so that no byte needs
// shell quoting; callers skip when python3 is absent.

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace ironpost_test {

inline std::string ToHex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (const char ch : bytes) {
        hex.push_back(digits[static_cast<unsigned char>(ch) >> 4]);
        hex.push_back(digits[static_cast<unsigned char>(ch) & 0x0f]);
    }
    return hex;
}

// Runs `command` and returns its standard output, or nothing on a non-zero exit.
inline std::optional<std::string> Capture(const std::string& command) {
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return std::nullopt;
    }
    std::string out;
    char chunk[4096];
    for (std::size_t n = 0; (n = std::fread(chunk, 1, sizeof(chunk), pipe)) > 0;) {
        out.append(chunk, n);
    }
    return ::pclose(pipe) == 0 ? std::optional<std::string>(out) : std::nullopt;
}

inline bool PythonAvailable() {
    static const bool available = Capture("python3 -c 'print(42)' 2>/dev/null") == "42\n";
    return available;
}

// Runs `script` with python3 and `hex_args` (hex digits only) as sys.argv[1:].
inline std::optional<std::string> RunPython(const std::string& script,
                                            const std::vector<std::string>& hex_args = {}) {
    char path[] = "/tmp/ironpost_oracle_XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0) {
        return std::nullopt;
    }
    ::close(fd);
    std::ofstream(path, std::ios::binary) << script;
    std::string command = std::string("python3 ") + path;
    for (const std::string& arg : hex_args) {
        command += " " + arg;
    }
    std::optional<std::string> result = Capture(command);
    std::remove(path);
    return result;
}

// Splits `text` at line feeds; a final empty piece is dropped.
inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    if (start < text.size()) {
        lines.push_back(text.substr(start));
    }
    return lines;
}

}  // namespace ironpost_test
