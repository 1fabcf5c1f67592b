#include "json_value.h"

#include <stdlib.h>

namespace {

struct Reader {
    const std::string &Text;
    size_t At = 0;

    void Space() {
        while (At < Text.size() &&
               (Text[At] == ' ' || Text[At] == '\t' || Text[At] == '\n' || Text[At] == '\r'))
            At++;
    }
    bool Literal(const char *word) {
        size_t length = std::char_traits<char>::length(word);
        if (Text.compare(At, length, word) != 0)
            return false;
        At += length;
        return true;
    }
    static void Utf8(unsigned code, std::string &out) {
        if (code < 0x80) {
            out += (char)code;
        } else if (code < 0x800) {
            out += (char)(0xC0 | (code >> 6));
            out += (char)(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += (char)(0xE0 | (code >> 12));
            out += (char)(0x80 | ((code >> 6) & 0x3F));
            out += (char)(0x80 | (code & 0x3F));
        } else {
            out += (char)(0xF0 | (code >> 18));
            out += (char)(0x80 | ((code >> 12) & 0x3F));
            out += (char)(0x80 | ((code >> 6) & 0x3F));
            out += (char)(0x80 | (code & 0x3F));
        }
    }
    bool Hex4(unsigned *code) {
        if (At + 4 > Text.size())
            return false;
        *code = 0;
        for (int i = 0; i < 4; i++) {
            char c = Text[At++];
            int digit = c >= '0' && c <= '9'   ? c - '0'
                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                               : -1;
            if (digit < 0)
                return false;
            *code = *code * 16 + (unsigned)digit;
        }
        return true;
    }
    bool String(std::string &out) {
        if (At >= Text.size() || Text[At] != '"')
            return false;
        At++;
        while (At < Text.size()) {
            unsigned char c = (unsigned char)Text[At++];
            if (c == '"')
                return true;
            if (c < 0x20)
                return false; // control characters must be escaped
            if (c != '\\') {
                out += (char)c;
                continue;
            }
            if (At >= Text.size())
                return false;
            char e = Text[At++];
            unsigned code = 0;
            switch (e) {
            case '"':
                out += '"';
                break;
            case '\\':
                out += '\\';
                break;
            case '/':
                out += '/';
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
            case 'u':
                if (!Hex4(&code))
                    return false;
                Utf8(code, out);
                break;
            default:
                return false;
            }
        }
        return false;
    }
    bool Value(JsonValue &v) {
        Space();
        if (At >= Text.size())
            return false;
        char c = Text[At];
        if (c == '{') {
            At++;
            v.Type = JsonValue::Kind::Object;
            Space();
            if (At < Text.size() && Text[At] == '}') {
                At++;
                return true;
            }
            for (;;) {
                Space();
                std::string key;
                if (!String(key))
                    return false;
                Space();
                if (At >= Text.size() || Text[At++] != ':')
                    return false;
                JsonValue member;
                if (!Value(member) || v.Object.count(key) != 0)
                    return false;
                v.Object[key] = member;
                Space();
                if (At >= Text.size())
                    return false;
                if (Text[At] == ',') {
                    At++;
                    continue;
                }
                return Text[At++] == '}';
            }
        }
        if (c == '[') {
            At++;
            v.Type = JsonValue::Kind::Array;
            Space();
            if (At < Text.size() && Text[At] == ']') {
                At++;
                return true;
            }
            for (;;) {
                JsonValue element;
                if (!Value(element))
                    return false;
                v.Array.push_back(element);
                Space();
                if (At >= Text.size())
                    return false;
                if (Text[At] == ',') {
                    At++;
                    continue;
                }
                return Text[At++] == ']';
            }
        }
        if (c == '"') {
            v.Type = JsonValue::Kind::String;
            return String(v.String);
        }
        if (Literal("true")) {
            v.Type = JsonValue::Kind::Bool;
            v.Bool = true;
            return true;
        }
        if (Literal("false")) {
            v.Type = JsonValue::Kind::Bool;
            return true;
        }
        if (Literal("null"))
            return true;
        // A number: -?digits[.digits][e[+-]digits]
        size_t start = At;
        if (Text[At] == '-')
            At++;
        size_t digits = At;
        while (At < Text.size() && isdigit((unsigned char)Text[At]))
            At++;
        if (At == digits || (Text[digits] == '0' && At - digits > 1))
            return false;
        if (At < Text.size() && Text[At] == '.') {
            size_t fraction = ++At;
            while (At < Text.size() && isdigit((unsigned char)Text[At]))
                At++;
            if (At == fraction)
                return false;
        }
        if (At < Text.size() && (Text[At] == 'e' || Text[At] == 'E')) {
            At++;
            if (At < Text.size() && (Text[At] == '+' || Text[At] == '-'))
                At++;
            size_t exponent = At;
            while (At < Text.size() && isdigit((unsigned char)Text[At]))
                At++;
            if (At == exponent)
                return false;
        }
        v.Type = JsonValue::Kind::Number;
        v.Number = strtod(Text.substr(start, At - start).c_str(), nullptr);
        return true;
    }
};

} // namespace

const JsonValue &JsonValue::operator[](const std::string &key) const {
    static const JsonValue none;
    auto found = Object.find(key);
    return found == Object.end() ? none : found->second;
}

bool ParseJson(const std::string &text, JsonValue *value, size_t *faultAt) {
    Reader reader{text};
    *value = JsonValue();
    bool ok = reader.Value(*value);
    reader.Space();
    ok = ok && reader.At == text.size();
    if (!ok && faultAt != nullptr)
        *faultAt = reader.At;
    return ok;
}

bool ParseJsonLines(const std::string &text, std::vector<JsonValue> *values) {
    values->clear();
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        JsonValue value;
        if (!ParseJson(text.substr(start, end - start), &value))
            return false;
        values->push_back(value);
        start = end + 1;
    }
    return true;
}
