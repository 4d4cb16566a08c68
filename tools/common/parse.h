// Parsing of command-line and console arguments, shared by spphone and
// spphone-sim. Every parser returns std::nullopt (with a short reason in
// *error when given) instead of accepting a value partly.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tools {

// The value of a hexadecimal digit of either case, or -1.
int HexDigit(char c);

// A non-negative integer in decimal or 0x-hexadecimal, at most max.
std::optional<uint64_t> ParseUnsigned(std::string_view s, uint64_t max, std::string *error = nullptr);

// A duration: "1.2s", "750ms", "2m", or a bare number of seconds ("3", "0.5").
// At most 24 hours; negative values are refused.
std::optional<std::chrono::milliseconds> ParseDuration(std::string_view s, std::string *error = nullptr);

// A block of bytes of exactly width bytes. "hex:0a 0b:0c..." gives the bytes
// (spaces, ':' and '-' between pairs are allowed); anything else is taken as
// text. Either is padded with zeros up to width; text longer than maxText
// bytes and hex longer than width are refused. maxText = width - 1 keeps room
// for a terminating zero.
std::optional<std::vector<uint8_t>> ParseBytes(std::string_view s, size_t width, size_t maxText,
                                               std::string *error = nullptr);

// The bytes as given, not padded: hex:... or text, at most max bytes.
std::optional<std::vector<uint8_t>> ParseByteString(std::string_view s, size_t max, std::string *error = nullptr);

// A key: a single character stands for its own code ('F', '5', '#'); longer
// forms are numbers ("0x46", "70").
std::optional<uint8_t> ParseKey(std::string_view s, std::string *error = nullptr);

// "on"/"off", "yes"/"no", "true"/"false", "1"/"0".
std::optional<bool> ParseSwitch(std::string_view s);

// Splits a console line into words; "double quoted" words keep their spaces
// (\" and \\ escape inside quotes). False for an unterminated quote.
bool SplitWords(std::string_view line, std::vector<std::string> *words);

} // namespace tools
