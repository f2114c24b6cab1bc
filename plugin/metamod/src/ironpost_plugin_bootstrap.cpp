#include "ironpost_plugin_bootstrap.h"

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <utility>

namespace ironpost {

namespace {

// The whole content of a regular file of at most `max_bytes`, or "" when it
// cannot be opened or read, is not a regular file (a FIFO or device could
// block the game thread or never end) or is larger than `max_bytes`.
std::string ReadFile(const std::string& path, std::size_t max_bytes) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error) || error) {
        return {};
    }
    std::ifstream file(path, std::ios::in | std::ios::binary);
    if (!file) {
        return {};
    }
    std::string content;
    char chunk[4096];
    while (file) {
        file.read(chunk, sizeof(chunk));
        const auto count = static_cast<std::size_t>(file.gcount());
        if (content.size() + count > max_bytes) {
            return {};
        }
        content.append(chunk, count);
    }
    if (file.bad()) {
        return {};
    }
    return content;
}

// The key is the file's bytes less one trailing line break ("\n" or "\r\n").
std::string KeyMaterialFromFileContent(std::string content) {
    if (!content.empty() && content.back() == '\n') {
        content.pop_back();
        if (!content.empty() && content.back() == '\r') {
            content.pop_back();
        }
    }
    return content;
}

}  // namespace

DevelopmentFileSettlementSigner LoadDevelopmentFileSettlementSigner(const std::string& path) {
    return DevelopmentFileSettlementSigner(
        KeyMaterialFromFileContent(ReadFile(path, kMaxServerKeyFileBytes)));
}

}  // namespace ironpost
