#include "sim_json.h"

#include <cstdio>

namespace ironpost::sim {

namespace {

constexpr int kMaxDepth = 32;

class Reader {
  public:
    explicit Reader(std::string_view text) : text_(text) {}

    std::optional<JsonValue> Document() {
        JsonValue value;
        if (!Value(value, 0)) {
            return std::nullopt;
        }
        SkipSpace();
        return at_ == text_.size() ? std::optional<JsonValue>(std::move(value)) : std::nullopt;
    }

  private:
    void SkipSpace() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' ||
                                      text_[at_] == '\n' || text_[at_] == '\r')) {
            ++at_;
        }
    }

    bool Take(char c) {
        SkipSpace();
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }

    bool Word(std::string_view word) {
        if (text_.substr(at_, word.size()) != word) {
            return false;
        }
        at_ += word.size();
        return true;
    }

    static void AppendUtf8(std::string& out, unsigned code) {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }

    bool String(std::string& out) {
        if (!Take('"')) {
            return false;
        }
        while (at_ < text_.size()) {
            const char c = text_[at_++];
            if (c == '"') {
                return true;
            }
            if (static_cast<unsigned char>(c) < 0x20) {
                return false;
            }
            if (c != '\\') {
                out += c;
                continue;
            }
            if (at_ >= text_.size()) {
                return false;
            }
            const char escape = text_[at_++];
            switch (escape) {
                case '"':
                case '\\':
                case '/':
                    out += escape;
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'u': {
                    unsigned code = 0;
                    for (int i = 0; i < 4; ++i) {
                        if (at_ >= text_.size()) {
                            return false;
                        }
                        const char h = text_[at_++];
                        const int digit = h >= '0' && h <= '9'   ? h - '0'
                                          : h >= 'a' && h <= 'f' ? h - 'a' + 10
                                          : h >= 'A' && h <= 'F' ? h - 'A' + 10
                                                                 : -1;
                        if (digit < 0) {
                            return false;
                        }
                        code = code * 16 + static_cast<unsigned>(digit);
                    }
                    // Surrogate halves are not paired up: the report only shows them.
                    AppendUtf8(out, code);
                    break;
                }
                default:
                    return false;
            }
        }
        return false;
    }

    bool Number(std::string& out) {
        const std::size_t start = at_;
        if (at_ < text_.size() && text_[at_] == '-') {
            ++at_;
        }
        const std::size_t digits = at_;
        while (at_ < text_.size() &&
               ((text_[at_] >= '0' && text_[at_] <= '9') || text_[at_] == '.' ||
                text_[at_] == 'e' || text_[at_] == 'E' || text_[at_] == '+' || text_[at_] == '-')) {
            ++at_;
        }
        if (at_ == digits) {
            return false;
        }
        out.assign(text_.substr(start, at_ - start));
        return true;
    }

    bool Value(JsonValue& value, int depth) {
        if (depth > kMaxDepth) {
            return false;
        }
        SkipSpace();
        if (at_ >= text_.size()) {
            return false;
        }
        const char c = text_[at_];
        if (c == '{') {
            ++at_;
            value.type = JsonValue::Type::Object;
            if (Take('}')) {
                return true;
            }
            do {
                std::pair<std::string, JsonValue> member;
                if (!String(member.first) || !Take(':') || !Value(member.second, depth + 1)) {
                    return false;
                }
                value.members.push_back(std::move(member));
            } while (Take(','));
            return Take('}');
        }
        if (c == '[') {
            ++at_;
            value.type = JsonValue::Type::Array;
            if (Take(']')) {
                return true;
            }
            do {
                value.items.emplace_back();
                if (!Value(value.items.back(), depth + 1)) {
                    return false;
                }
            } while (Take(','));
            return Take(']');
        }
        if (c == '"') {
            value.type = JsonValue::Type::String;
            return String(value.text);
        }
        if (Word("true") || Word("false")) {
            value.type = JsonValue::Type::Bool;
            value.boolean = text_[at_ - 4] == 't';
            return true;
        }
        if (Word("null")) {
            return true;
        }
        value.type = JsonValue::Type::Number;
        return Number(value.text);
    }

    std::string_view text_;
    std::size_t at_ = 0;
};

// The length of the well-formed UTF-8 sequence at `at`, or 0.
std::size_t Utf8Length(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned lead = byte(at);
    const std::size_t length = lead < 0x80                   ? 1
                               : lead >= 0xC2 && lead < 0xE0 ? 2
                               : lead >= 0xE0 && lead < 0xF0 ? 3
                               : lead >= 0xF0 && lead < 0xF5 ? 4
                                                             : 0;
    if (length == 0 || at + length > text.size()) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) {
            return 0;
        }
    }
    const unsigned second = length > 1 ? byte(at + 1) : 0x80;
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) ||
        (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F)) {
        return 0;  // overlong forms, surrogates and code points past U+10FFFF
    }
    return length;
}

}  // namespace

const JsonValue* JsonValue::Find(std::string_view key) const {
    for (const auto& [name, value] : members) {
        if (name == key) {
            return &value;
        }
    }
    return nullptr;
}

std::string JsonValue::String(std::string_view key) const {
    const JsonValue* value = Find(key);
    return value != nullptr && value->type == Type::String ? value->text : std::string();
}

std::uint64_t JsonValue::Unsigned(std::string_view key) const {
    const JsonValue* value = Find(key);
    if (value == nullptr || (value->type != Type::Number && value->type != Type::String) ||
        value->text.empty() || value->text.size() > 20) {
        return 0;
    }
    std::uint64_t result = 0;
    for (const char c : value->text) {
        if (c < '0' || c > '9') {
            return 0;
        }
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (result > (UINT64_MAX - digit) / 10) {
            return 0;
        }
        result = result * 10 + digit;
    }
    return result;
}

const std::vector<JsonValue>& JsonValue::Items(std::string_view key) const {
    static const std::vector<JsonValue> kNone;
    const JsonValue* value = Find(key);
    return value != nullptr && value->type == Type::Array ? value->items : kNone;
}

std::optional<JsonValue> ParseJson(std::string_view text) {
    return Reader(text).Document();
}

std::string JsonQuote(std::string_view text) {
    std::string out = "\"";
    for (std::size_t at = 0; at < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[at]);
        const std::size_t length = Utf8Length(text, at);
        if (length == 0) {
            out += "\\ufffd";
            ++at;
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\u%04x", c);
            out += escaped;
        } else {
            out.append(text.substr(at, length));
        }
        at += length;
    }
    return out + "\"";
}

}  // namespace ironpost::sim
