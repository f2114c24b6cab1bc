#pragma once

// A small JSON reader for the bodies the plugin and the backend exchange, and
// a writer for the simulator's own report. The reader keeps numbers as their
// text (amounts are unsigned 64-bit and must not pass through a double) and
// refuses anything deeper than a fixed nesting bound.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ironpost::sim {

struct JsonValue {
    enum class Type { Null, Bool, Number, String, Array, Object };
    Type type = Type::Null;
    bool boolean = false;
    std::string text;  // a string's bytes, or a number as written
    std::vector<JsonValue> items;
    std::vector<std::pair<std::string, JsonValue>> members;

    // The member named `key` of an object; null when absent or not an object.
    [[nodiscard]] const JsonValue* Find(std::string_view key) const;
    // A member's string; "" when it is absent or not a string.
    [[nodiscard]] std::string String(std::string_view key) const;
    // A member that is a decimal number or a decimal string; 0 otherwise.
    [[nodiscard]] std::uint64_t Unsigned(std::string_view key) const;
    // A member's array items; empty when it is absent or not an array.
    [[nodiscard]] const std::vector<JsonValue>& Items(std::string_view key) const;
};

// Reads one JSON document; nothing when it is malformed or nested too deeply.
[[nodiscard]] std::optional<JsonValue> ParseJson(std::string_view text);

// `text` as a JSON string literal; bytes that are not UTF-8 become U+FFFD.
[[nodiscard]] std::string JsonQuote(std::string_view text);

}  // namespace ironpost::sim
