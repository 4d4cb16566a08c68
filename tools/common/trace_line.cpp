#include "tools/common/trace_line.h"

#include <cctype>
#include <cstdlib>

#include "tools/common/parse.h"

namespace tools {

namespace {

struct Cursor {
    std::string_view s;
    size_t i = 0;
    void SkipSpace() {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\r'))
            ++i;
    }
    bool Take(char c) {
        SkipSpace();
        if (i < s.size() && s[i] == c) {
            ++i;
            return true;
        }
        return false;
    }
};

// A JSON string at the cursor (after its opening quote). Escapes other than
// \uXXXX below 0x80 keep their meaning; a \u above it is kept as '?': a trace
// writes ASCII only.
bool ReadString(Cursor &c, std::string *out) {
    out->clear();
    while (c.i < c.s.size()) {
        char ch = c.s[c.i++];
        if (ch == '"')
            return true;
        if (static_cast<unsigned char>(ch) < 0x20)
            return false;
        if (ch != '\\') {
            out->push_back(ch);
            continue;
        }
        if (c.i >= c.s.size())
            return false;
        char e = c.s[c.i++];
        switch (e) {
        case '"': case '\\': case '/': out->push_back(e); break;
        case 'b': out->push_back('\b'); break;
        case 'f': out->push_back('\f'); break;
        case 'n': out->push_back('\n'); break;
        case 'r': out->push_back('\r'); break;
        case 't': out->push_back('\t'); break;
        case 'u': {
            if (c.i + 4 > c.s.size())
                return false;
            int v = 0;
            for (int k = 0; k < 4; ++k) {
                int d = HexDigit(c.s[c.i++]);
                if (d < 0)
                    return false;
                v = v * 16 + d;
            }
            out->push_back(v < 0x80 ? static_cast<char>(v) : '?');
            break;
        }
        default: return false;
        }
    }
    return false;
}

// A JSON number: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)? (no hex, no
// leading zeros, no inf or nan).
bool IsJsonNumber(std::string_view s) {
    size_t i = 0;
    auto digits = [&] {
        const size_t start = i;
        while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])))
            ++i;
        return i > start;
    };
    if (i < s.size() && s[i] == '-')
        ++i;
    if (i < s.size() && s[i] == '0')
        ++i;
    else if (!digits())
        return false;
    if (i < s.size() && s[i] == '.') {
        ++i;
        if (!digits())
            return false;
    }
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-'))
            ++i;
        if (!digits())
            return false;
    }
    return i == s.size();
}

// A number, true, false or null: the text up to the next ',', '}' or space.
bool ReadBare(Cursor &c, std::string *out) {
    size_t start = c.i;
    while (c.i < c.s.size() && c.s[c.i] != ',' && c.s[c.i] != '}' && c.s[c.i] != ' ' && c.s[c.i] != '\t' &&
           c.s[c.i] != '\r')
        ++c.i;
    *out = std::string(c.s.substr(start, c.i - start));
    return *out == "true" || *out == "false" || *out == "null" || IsJsonNumber(*out);
}

bool Fail(std::string *error, const char *why) {
    if (error != nullptr)
        *error = why;
    return false;
}

} // namespace

const std::string *TraceLine::Find(std::string_view key) const {
    for (const auto &f : fields)
        if (f.first == key)
            return &f.second;
    return nullptr;
}

std::string TraceLine::Text(std::string_view key, std::string_view otherwise) const {
    const std::string *v = Find(key);
    return v != nullptr ? *v : std::string(otherwise);
}

std::optional<double> TraceLine::Number(std::string_view key) const {
    const std::string *v = Find(key);
    if (v == nullptr || v->empty())
        return std::nullopt;
    char *end = nullptr;
    double d = std::strtod(v->c_str(), &end);
    if (end != v->c_str() + v->size())
        return std::nullopt;
    return d;
}

std::optional<uint64_t> TraceLine::Unsigned(std::string_view key) const {
    const std::string *v = Find(key);
    if (v == nullptr || v->empty() || !std::isdigit(static_cast<unsigned char>((*v)[0])))
        return std::nullopt;
    char *end = nullptr;
    unsigned long long u = std::strtoull(v->c_str(), &end, 10);
    if (end != v->c_str() + v->size())
        return std::nullopt;
    return static_cast<uint64_t>(u);
}

bool TraceLine::Flag(std::string_view key) const {
    const std::string *v = Find(key);
    return v != nullptr && *v == "true";
}

std::optional<TraceLine> ParseTraceLine(std::string_view line, std::string *error) {
    if (line.size() > kMaxTraceLine) {
        Fail(error, "line too long");
        return std::nullopt;
    }
    Cursor c{line};
    TraceLine out;
    if (!c.Take('{')) {
        Fail(error, "not a JSON object");
        return std::nullopt;
    }
    if (!c.Take('}')) {
        do {
            std::string key, value;
            if (!c.Take('"') || !ReadString(c, &key) || !c.Take(':')) {
                Fail(error, "bad key");
                return std::nullopt;
            }
            c.SkipSpace();
            bool ok = c.Take('"') ? ReadString(c, &value) : ReadBare(c, &value);
            if (!ok) {
                Fail(error, "bad value");
                return std::nullopt;
            }
            out.fields.emplace_back(std::move(key), std::move(value));
        } while (c.Take(','));
        if (!c.Take('}')) {
            Fail(error, "unterminated object");
            return std::nullopt;
        }
    }
    c.SkipSpace();
    if (c.i != line.size()) {
        Fail(error, "text after the object");
        return std::nullopt;
    }
    return out;
}

std::optional<std::vector<uint8_t>> ParseHexBytes(std::string_view hex) {
    if (hex.size() % 2 != 0)
        return std::nullopt;
    std::vector<uint8_t> bytes;
    bytes.reserve(hex.size() / 2);
    for (size_t i = 0; i < hex.size(); i += 2) {
        int hi = HexDigit(hex[i]), lo = HexDigit(hex[i + 1]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        bytes.push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
    return bytes;
}

} // namespace tools
