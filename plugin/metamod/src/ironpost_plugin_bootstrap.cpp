#include "ironpost_plugin_bootstrap.h"

#include <string>
#include <utility>

namespace ironpost {

namespace {

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
    return DevelopmentFileSettlementSigner(KeyMaterialFromFileContent(
        ReadBoundedRegularFile(path, kMaxServerKeyFileBytes).value_or(std::string())));
}

}  // namespace ironpost
