#include "tools/common/parse.h"

#include <cctype>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace tools {

namespace {

void SetError(std::string *error, std::string text) {
    if (error)
        *error = std::move(text);
}

// 's' with quotes. Built by appending: GCC 12 at -O3 warns (wrongly,
// -Wrestrict) about "x" + std::string&&.
std::string Quoted(std::string_view s) {
    std::string out = "'";
    out += s;
    out += "'";
    return out;
}

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char &c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

} // namespace

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::optional<uint64_t> ParseUnsigned(std::string_view s, uint64_t max, std::string *error) {
    std::string_view digits = s;
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits.remove_prefix(2);
    }
    if (digits.empty()) {
        SetError(error, Quoted(s) + " is not a number");
        return std::nullopt;
    }
    uint64_t value = 0;
    for (char c : digits) {
        int d = base == 16 ? HexDigit(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
        if (d < 0) {
            SetError(error, Quoted(s) + " is not a number");
            return std::nullopt;
        }
        if (value > (UINT64_MAX - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base)) {
            SetError(error, Quoted(s) + " is too large");
            return std::nullopt;
        }
        value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    }
    if (value > max) {
        // The limit in the base the number was given in.
        char limit[24];
        std::snprintf(limit, sizeof limit, base == 16 ? "0x%llx" : "%llu", static_cast<unsigned long long>(max));
        SetError(error, Quoted(s) + " is above " + limit);
        return std::nullopt;
    }
    return value;
}

std::optional<std::chrono::milliseconds> ParseDuration(std::string_view s, std::string *error) {
    std::string_view number = s;
    double scale = 1000.0; // bare numbers are seconds
    if (number.size() > 2 && number.substr(number.size() - 2) == "ms") {
        scale = 1.0;
        number.remove_suffix(2);
    } else if (!number.empty() && number.back() == 's') {
        number.remove_suffix(1);
    } else if (!number.empty() && number.back() == 'm') {
        scale = 60000.0;
        number.remove_suffix(1);
    }
    // Digits with at most one decimal point; no sign, no exponent.
    bool seenDigit = false;
    bool seenPoint = false;
    bool valid = true;
    for (char c : number) {
        if (c >= '0' && c <= '9')
            seenDigit = true;
        else if (c == '.' && !seenPoint)
            seenPoint = true;
        else
            valid = false;
    }
    if (!valid || !seenDigit) {
        SetError(error, Quoted(s) + " is not a duration (try 1.2s or 500ms)");
        return std::nullopt;
    }
    // strtod, not stod: a number beyond double's range gives HUGE_VAL (and
    // the refusal below) instead of an exception.
    const std::string digits(number);
    double value = std::strtod(digits.c_str(), nullptr) * scale;
    if (!(value <= 24.0 * 3600.0 * 1000.0)) {
        SetError(error, Quoted(s) + " is longer than 24 hours");
        return std::nullopt;
    }
    return std::chrono::milliseconds(static_cast<int64_t>(std::llround(value)));
}

std::optional<std::vector<uint8_t>> ParseByteString(std::string_view s, size_t max, std::string *error) {
    std::vector<uint8_t> out;
    if (s.substr(0, 4) != "hex:") {
        if (s.size() > max) {
            SetError(error, "text of " + std::to_string(s.size()) + " bytes, at most " + std::to_string(max) + " fit");
            return std::nullopt;
        }
        out.assign(s.begin(), s.end());
        return out;
    }
    int high = -1;
    for (char c : s.substr(4)) {
        if (c == ' ' || c == ':' || c == '-') {
            if (high >= 0) {
                SetError(error, "odd number of hex digits");
                return std::nullopt;
            }
            continue;
        }
        int d = HexDigit(c);
        if (d < 0) {
            SetError(error, Quoted(std::string_view(&c, 1)) + " is not a hex digit");
            return std::nullopt;
        }
        if (high < 0) {
            high = d;
        } else {
            out.push_back(static_cast<uint8_t>(high << 4 | d));
            high = -1;
        }
    }
    if (high >= 0) {
        SetError(error, "odd number of hex digits");
        return std::nullopt;
    }
    if (out.size() > max) {
        SetError(error, std::to_string(out.size()) + " bytes given, at most " + std::to_string(max) + " fit");
        return std::nullopt;
    }
    return out;
}

std::optional<std::vector<uint8_t>> ParseBytes(std::string_view s, size_t width, size_t maxText, std::string *error) {
    const bool hex = s.substr(0, 4) == "hex:";
    auto out = ParseByteString(s, hex ? width : std::min(maxText, width), error);
    if (out)
        out->resize(width, 0);
    return out;
}

std::optional<uint8_t> ParseKey(std::string_view s, std::string *error) {
    if (s.size() == 1)
        return static_cast<uint8_t>(s[0]);
    std::string why;
    auto v = ParseUnsigned(s, 255, &why);
    if (!v) {
        SetError(error, "key " + Quoted(s) + ": give one character or a code 0..255");
        return std::nullopt;
    }
    return static_cast<uint8_t>(*v);
}

std::optional<bool> ParseSwitch(std::string_view s) {
    std::string l = Lower(s);
    if (l == "on" || l == "yes" || l == "true" || l == "1")
        return true;
    if (l == "off" || l == "no" || l == "false" || l == "0")
        return false;
    return std::nullopt;
}

bool SplitWords(std::string_view line, std::vector<std::string> *words) {
    words->clear();
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i])))
            ++i;
        if (i >= line.size())
            break;
        std::string word;
        if (line[i] == '"') {
            ++i;
            bool closed = false;
            while (i < line.size()) {
                char c = line[i++];
                if (c == '"') {
                    closed = true;
                    break;
                }
                if (c == '\\' && i < line.size() && (line[i] == '"' || line[i] == '\\'))
                    c = line[i++];
                word += c;
            }
            if (!closed)
                return false;
        } else {
            while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i])))
                word += line[i++];
        }
        words->push_back(std::move(word));
    }
    return true;
}

} // namespace tools
