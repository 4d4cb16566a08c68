// Results of the tools as a small tree of values, printed either for people
// (aligned "name: value" lines) or as JSON for scripts; plus the byte
// renderings both programs use (hex, hex dump, text of a device buffer).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tools {

// One value of a result. An object keeps its keys in insertion order
// (keys[i] names items[i]); an array has items only.
struct Value {
    enum Kind { Null, Bool, Int, Uint, Str, Object, Array } kind = Null;
    bool b = false;
    int64_t i = 0;
    uint64_t u = 0;
    std::string s;
    std::vector<std::string> keys;
    std::vector<Value> items;
};

Value MakeBool(bool b);
Value MakeInt(int64_t i);
Value MakeUint(uint64_t u);
Value MakeStr(std::string s);
Value MakeObject();
Value MakeArray();
// Adds key: v to an object (or v to an array, key ignored); returns obj.
Value &Add(Value &obj, const std::string &key, Value v);
// The item of key in an object, or nullptr.
const Value *Find(const Value &obj, const std::string &key);

// Compact JSON on one line.
std::string ToJson(const Value &v);
// Human form: an object prints "key: value" per line (nested objects and
// arrays indented below their key); a scalar prints itself.
std::string ToText(const Value &v);

std::string JsonEscape(const std::string &s);

// "0a0b0c"
std::string Hex(const uint8_t *data, size_t n);
// Classic dump: offset, 16 hex bytes, printable ASCII; lines end with '\n'.
std::string HexDump(const uint8_t *data, size_t n);
// The bytes up to the first zero as text: printable ASCII and '\n' kept,
// anything else shown as '.'.
std::string TextOf(const uint8_t *data, size_t n);
// True when the bytes up to the first zero are printable ASCII (or '\n',
// '\t') and there is at least one of them.
bool LooksLikeText(const uint8_t *data, size_t n);
// UTF-16LE text with ASCII code units only (zero high bytes), up to a zero
// unit; empty when the bytes are not of that form.
std::string Utf16AsciiText(const uint8_t *data, size_t n);

// Little-endian reads of a device buffer.
inline uint16_t Le16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t Le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

} // namespace tools
