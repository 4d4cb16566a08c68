// One line of a protocol trace (JSON Lines, one flat object per line) as the
// tools read it: spphone's trace printer and spphone-sim's replay. Only flat
// objects of strings, numbers, true, false and null occur in a trace; a line
// that is anything else is refused whole.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tools {

struct TraceLine {
    // Keys in the order of the line; values as text: strings unescaped,
    // numbers, true, false and null as written.
    std::vector<std::pair<std::string, std::string>> fields;

    // The value of key, or nullptr.
    const std::string *Find(std::string_view key) const;
    std::string Text(std::string_view key, std::string_view otherwise = "") const;
    std::optional<double> Number(std::string_view key) const;
    std::optional<uint64_t> Unsigned(std::string_view key) const;
    bool Flag(std::string_view key) const; // true only for the literal true
};

// Parses one line; nullopt (with a reason in *error) for anything that is not
// one flat JSON object. A line is at most kMaxTraceLine bytes.
constexpr size_t kMaxTraceLine = 1 << 16;
std::optional<TraceLine> ParseTraceLine(std::string_view line, std::string *error = nullptr);

// The bytes of a "hex" field (two lower- or upper-case digits a byte).
std::optional<std::vector<uint8_t>> ParseHexBytes(std::string_view hex);

} // namespace tools
