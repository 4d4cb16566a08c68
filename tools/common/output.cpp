#include "tools/common/output.h"

#include <cstdio>
#include <cstring>

namespace tools {

Value MakeBool(bool b) {
    Value v;
    v.kind = Value::Bool;
    v.b = b;
    return v;
}

Value MakeInt(int64_t i) {
    Value v;
    v.kind = Value::Int;
    v.i = i;
    return v;
}

Value MakeUint(uint64_t u) {
    Value v;
    v.kind = Value::Uint;
    v.u = u;
    return v;
}

Value MakeStr(std::string s) {
    Value v;
    v.kind = Value::Str;
    v.s = std::move(s);
    return v;
}

Value MakeObject() {
    Value v;
    v.kind = Value::Object;
    return v;
}

Value MakeArray() {
    Value v;
    v.kind = Value::Array;
    return v;
}

Value &Add(Value &obj, const std::string &key, Value v) {
    if (obj.kind == Value::Object)
        obj.keys.push_back(key);
    obj.items.push_back(std::move(v));
    return obj;
}

const Value *Find(const Value &obj, const std::string &key) {
    if (obj.kind != Value::Object)
        return nullptr;
    for (size_t k = 0; k < obj.keys.size(); ++k)
        if (obj.keys[k] == key)
            return &obj.items[k];
    return nullptr;
}

std::string JsonEscape(const std::string &s) {
    std::string out;
    out.reserve(s.size() + 2);
    for (unsigned char c : s) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c >= 0x7F) {
                // Device bytes are not necessarily UTF-8: escape everything
                // outside printable ASCII so the output is always valid JSON.
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out;
}

namespace {

// Appends rather than concatenating temporaries: GCC 12 at -O3 warns
// (wrongly, -Wrestrict) about "x" + std::string&&.
void AppendJson(std::string &out, const Value &v) {
    switch (v.kind) {
    case Value::Null: out += "null"; return;
    case Value::Bool: out += v.b ? "true" : "false"; return;
    case Value::Int: out += std::to_string(v.i); return;
    case Value::Uint: out += std::to_string(v.u); return;
    case Value::Str:
        out += '"';
        out += JsonEscape(v.s);
        out += '"';
        return;
    case Value::Object:
        out += '{';
        for (size_t k = 0; k < v.items.size(); ++k) {
            if (k)
                out += ',';
            out += '"';
            out += JsonEscape(v.keys[k]);
            out += "\":";
            AppendJson(out, v.items[k]);
        }
        out += '}';
        return;
    case Value::Array:
        out += '[';
        for (size_t k = 0; k < v.items.size(); ++k) {
            if (k)
                out += ',';
            AppendJson(out, v.items[k]);
        }
        out += ']';
        return;
    }
}

} // namespace

std::string ToJson(const Value &v) {
    std::string out;
    AppendJson(out, v);
    return out;
}

namespace {

bool IsScalar(const Value &v) { return v.kind != Value::Object && v.kind != Value::Array; }

std::string Scalar(const Value &v) {
    switch (v.kind) {
    case Value::Null: return "-";
    case Value::Bool: return v.b ? "yes" : "no";
    case Value::Int: return std::to_string(v.i);
    case Value::Uint: return std::to_string(v.u);
    case Value::Str: return v.s;
    default: return "";
    }
}

void Indent(std::string &out, int depth) { out.append(static_cast<size_t>(depth) * 2, ' '); }

// A scalar that spans lines goes below its key, each line indented.
void MultiLine(std::string &out, const std::string &text, int depth) {
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        if (end == text.size() && start == end && start != 0)
            break; // no empty line for a trailing newline
        Indent(out, depth);
        out.append(text, start, end - start);
        out += '\n';
        start = end + 1;
    }
}

void Emit(std::string &out, const Value &v, int depth);

// An object of single-line scalars only: shown as "key=value key=value".
bool IsFlatObject(const Value &v) {
    if (v.kind != Value::Object)
        return false;
    for (const Value &e : v.items)
        if (!IsScalar(e) || Scalar(e).find('\n') != std::string::npos)
            return false;
    return true;
}

std::string FlatLine(const Value &v) {
    std::string line;
    for (size_t k = 0; k < v.items.size(); ++k) {
        std::string s = Scalar(v.items[k]);
        if (v.items[k].kind == Value::Str && (s.empty() || s.find(' ') != std::string::npos))
            s = "\"" + s + "\"";
        line += (k ? " " : "") + v.keys[k] + "=" + s;
    }
    return line;
}

void EmitKeyed(std::string &out, const std::string &key, const Value &item, int depth) {
    Indent(out, depth);
    out += key + ":";
    if (IsScalar(item)) {
        std::string s = Scalar(item);
        if (s.find('\n') != std::string::npos) {
            out += '\n';
            MultiLine(out, s, depth + 1);
        } else {
            out += " " + s + "\n";
        }
        return;
    }
    if (item.kind == Value::Array && !item.items.empty() && IsScalar(item.items[0])) {
        bool allScalar = true;
        for (const Value &e : item.items)
            allScalar = allScalar && IsScalar(e);
        if (allScalar) {
            out += " ";
            for (size_t k = 0; k < item.items.size(); ++k)
                out += (k ? ", " : "") + Scalar(item.items[k]);
            out += "\n";
            return;
        }
    }
    if (item.items.empty()) {
        out += " (none)\n";
        return;
    }
    out += "\n";
    Emit(out, item, depth + 1);
}

void Emit(std::string &out, const Value &v, int depth) {
    if (IsScalar(v)) {
        MultiLine(out, Scalar(v), depth);
        return;
    }
    if (v.kind == Value::Object) {
        for (size_t k = 0; k < v.items.size(); ++k)
            EmitKeyed(out, v.keys[k], v.items[k], depth);
        return;
    }
    for (size_t k = 0; k < v.items.size(); ++k) {
        if (IsFlatObject(v.items[k])) {
            Indent(out, depth);
            out += FlatLine(v.items[k]) + "\n";
            continue;
        }
        if (k && !IsScalar(v.items[k]))
            out += "\n";
        Emit(out, v.items[k], depth);
    }
}

} // namespace

std::string ToText(const Value &v) {
    std::string out;
    Emit(out, v, 0);
    return out;
}

std::string Hex(const uint8_t *data, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(n * 2);
    for (size_t k = 0; k < n; ++k) {
        out += digits[data[k] >> 4];
        out += digits[data[k] & 15];
    }
    return out;
}

std::string HexDump(const uint8_t *data, size_t n) {
    std::string out;
    char buf[32];
    bool skipping = false;
    for (size_t line = 0; line < n; line += 16) {
        // Full lines equal to the one before show as a single "*" (the last
        // line always shows, so the length can be read off).
        if (line >= 16 && line + 16 < n && std::memcmp(data + line, data + line - 16, 16) == 0) {
            if (!skipping)
                out += "*\n";
            skipping = true;
            continue;
        }
        skipping = false;
        std::snprintf(buf, sizeof buf, "%04zx ", line);
        out += buf;
        std::string ascii;
        for (size_t k = line; k < line + 16; ++k) {
            if (k < n) {
                std::snprintf(buf, sizeof buf, " %02x", data[k]);
                out += buf;
                ascii += (data[k] >= 0x20 && data[k] < 0x7F) ? static_cast<char>(data[k]) : '.';
            } else {
                out += "   ";
            }
        }
        out += "  " + ascii + "\n";
    }
    return out;
}

std::string TextOf(const uint8_t *data, size_t n) {
    std::string out;
    for (size_t k = 0; k < n && data[k] != 0; ++k) {
        uint8_t c = data[k];
        out += (c == '\n' || (c >= 0x20 && c < 0x7F)) ? static_cast<char>(c) : '.';
    }
    return out;
}

bool LooksLikeText(const uint8_t *data, size_t n) {
    size_t k = 0;
    for (; k < n && data[k] != 0; ++k) {
        uint8_t c = data[k];
        if (!(c == '\n' || c == '\t' || (c >= 0x20 && c < 0x7F)))
            return false;
    }
    return k > 0;
}

std::string Utf16AsciiText(const uint8_t *data, size_t n) {
    std::string out;
    for (size_t k = 0; k + 1 < n; k += 2) {
        if (data[k] == 0 && data[k + 1] == 0)
            break;
        if (data[k + 1] != 0 || data[k] < 0x20 || data[k] >= 0x7F)
            return {};
        out += static_cast<char>(data[k]);
    }
    return out;
}

} // namespace tools
