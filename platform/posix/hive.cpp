// The registry's tree, and its text form as Windows exports a registry:
// sections per key, "name"="text", dword:, hex: and hex(type): values.
#include "hive.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace winplat {

// ---------------------------------------------------------------- tree

Key *FindSubKey(Key &key, const WString &name) {
    for (Key &sub : key.SubKeys) {
        if (CompareIgnoringCase(sub.Name, name) == 0)
            return &sub;
    }
    return nullptr;
}

Key *Walk(Key &root, const std::vector<WString> &path) {
    Key *key = &root;
    for (size_t i = 0; key != nullptr && i < path.size(); i++)
        key = FindSubKey(*key, path[i]);
    return key;
}

Key &WalkCreating(Key &root, const std::vector<WString> &path, bool *created) {
    Key *key = &root;
    *created = false;
    for (const WString &name : path) {
        Key *sub = FindSubKey(*key, name);
        if (sub == nullptr) {
            key->SubKeys.push_back(Key{name, {}, {}});
            sub = &key->SubKeys.back();
            *created = true;
        }
        key = sub;
    }
    return *key;
}

Value *FindValue(Key &key, const WString &name) {
    for (Value &value : key.Values) {
        if (CompareIgnoringCase(value.Name, name) == 0)
            return &value;
    }
    return nullptr;
}

bool Storable(const WString &name) {
    return name.find_first_of(u"\r\n") == WString::npos && name.find(u'\0') == WString::npos &&
           Utf8ToUtf16(Utf16ToUtf8(name)) == name;
}

LONG SplitSubKey(LPCWSTR subKey, std::vector<WString> *parts) {
    parts->clear();
    if (subKey == nullptr)
        return ERROR_SUCCESS;
    if (subKey[0] == u'\\')
        return ERROR_BAD_PATHNAME;
    WString name;
    for (const WCHAR *p = subKey;; p++) {
        if (*p == u'\\' || *p == 0) {
            if (!name.empty())
                parts->push_back(name);
            name.clear();
            if (*p == 0)
                break;
        } else {
            name.push_back(*p);
        }
    }
    return ERROR_SUCCESS;
}

// ---------------------------------------------------------------- export format

namespace {

const char *const Header = "Windows Registry Editor Version 5.00";

std::string Quote(const WString &text) {
    std::string out = "\"";
    for (char c : Utf16ToUtf8(text)) {
        if (c == '\\' || c == '"')
            out.push_back('\\');
        out.push_back(c);
    }
    return out + "\"";
}

// A REG_SZ that the quoted form holds exactly: one terminator at the end,
// no line breaks and no lone surrogates.
bool IsPlainString(const std::vector<BYTE> &data, WString *text) {
    if (data.size() < 2 || data.size() % 2 != 0)
        return false;
    text->assign(data.size() / 2 - 1, 0);
    memcpy(text->data(), data.data(), data.size() - 2);
    return data[data.size() - 2] == 0 && data[data.size() - 1] == 0 && Storable(*text);
}

// "prefix" followed by the bytes, wrapped with trailing backslashes as regedit does.
void AppendHex(std::string &out, std::string line, const std::vector<BYTE> &data) {
    char piece[4];
    for (size_t i = 0; i < data.size(); i++) {
        snprintf(piece, sizeof piece, i + 1 < data.size() ? "%02x," : "%02x", data[i]);
        if (line.size() + strlen(piece) > 78 && line.size() > 2) {
            out += line + "\\\n";
            line = "  ";
        }
        line += piece;
    }
    out += line + "\n";
}

void AppendValue(std::string &out, const Value &value) {
    std::string line = value.Name.empty() ? "@=" : Quote(value.Name) + "=";
    WString text;
    char prefix[16];
    if (value.Type == REG_SZ && IsPlainString(value.Data, &text)) {
        out += line + Quote(text) + "\n";
    } else if (value.Type == REG_DWORD && value.Data.size() == 4) {
        DWORD number;
        memcpy(&number, value.Data.data(), 4);
        snprintf(prefix, sizeof prefix, "dword:%08x", number);
        out += line + prefix + "\n";
    } else {
        if (value.Type == REG_BINARY)
            snprintf(prefix, sizeof prefix, "hex:");
        else
            snprintf(prefix, sizeof prefix, "hex(%x):", value.Type);
        AppendHex(out, line + prefix, value.Data);
    }
}

void AppendKey(std::string &out, const std::string &path, const Key &key, bool isRoot) {
    // Every key has a section, so empty keys survive; a root only when it has values.
    if (!isRoot || !key.Values.empty()) {
        out += "[" + path + "]\n";
        for (const Value &value : key.Values)
            AppendValue(out, value);
        out += "\n";
    }
    for (const Key &sub : key.SubKeys)
        AppendKey(out, path + "\\" + Utf16ToUtf8(sub.Name), sub, false);
}

} // namespace

std::string ExportHive(const Hive &hive) {
    std::string out = std::string(Header) + "\n\n";
    for (int root = 0; root < RootCount; root++)
        AppendKey(out, RootNames[root], hive.Roots[root], true);
    return out;
}

// ---------------------------------------------------------------- parsing

namespace {

struct Parser {
    std::string Error; // reason of the first failure

    bool Fail(const std::string &reason) {
        Error = reason;
        return false;
    }

    // Text that is valid UTF-8, as UTF-16.
    bool Decode(const std::string &utf8, WString *out) {
        *out = Utf8ToUtf16(utf8);
        return Utf16ToUtf8(*out) == utf8 || Fail("text is not valid UTF-8");
    }

    // A quoted string at line[*pos] with \\ and \" escapes.
    bool Quoted(const std::string &line, size_t *pos, WString *out) {
        std::string text;
        size_t i = *pos + 1;
        for (; i < line.size() && line[i] != '"'; i++) {
            if (line[i] == '\\') {
                if (i + 1 >= line.size() || (line[i + 1] != '\\' && line[i + 1] != '"'))
                    return Fail("unknown escape in a quoted string (only \\\\ and \\\" exist)");
                i++;
            }
            text.push_back(line[i]);
        }
        if (i >= line.size())
            return Fail("missing closing quote");
        *pos = i + 1;
        return Decode(text, out);
    }

    // Comma-separated two-digit hexadecimal bytes (the list may be empty).
    bool Bytes(const std::string &text, std::vector<BYTE> *out) {
        size_t i = 0;
        while (i < text.size()) {
            while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
                i++;
            char *end = nullptr;
            const char *start = text.c_str() + i;
            if (!isxdigit(static_cast<unsigned char>(*start)))
                return Fail("expected a hexadecimal byte");
            unsigned long byte = strtoul(start, &end, 16);
            if (end - start > 2)
                return Fail("hexadecimal byte with more than two digits");
            out->push_back(static_cast<BYTE>(byte));
            i = static_cast<size_t>(end - text.c_str());
            while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
                i++;
            if (i < text.size() && text[i++] != ',')
                return Fail("expected ',' between hexadecimal bytes");
        }
        return true;
    }

    bool Data(const std::string &text, Value *value) {
        if (!text.empty() && text[0] == '"') {
            size_t pos = 0;
            WString string;
            if (!Quoted(text, &pos, &string))
                return false;
            if (pos != text.size())
                return Fail("unexpected text after the string");
            value->Type = REG_SZ;
            value->Data.resize((string.size() + 1) * 2, 0);
            memcpy(value->Data.data(), string.data(), string.size() * 2);
            return true;
        }
        if (text.rfind("dword:", 0) == 0) {
            std::string digits = text.substr(6);
            if (digits.empty() || digits.size() > 8 ||
                digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                return Fail("dword needs one to eight hexadecimal digits");
            DWORD number = static_cast<DWORD>(strtoul(digits.c_str(), nullptr, 16));
            value->Type = REG_DWORD;
            value->Data.resize(4);
            memcpy(value->Data.data(), &number, 4);
            return true;
        }
        if (text.rfind("hex:", 0) == 0) {
            value->Type = REG_BINARY;
            return Bytes(text.substr(4), &value->Data);
        }
        if (text.rfind("hex(", 0) == 0) {
            size_t close = text.find("):");
            std::string type = close == std::string::npos ? "" : text.substr(4, close - 4);
            if (type.empty() || type.size() > 8 ||
                type.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                return Fail("hex(type) needs a hexadecimal type number");
            value->Type = static_cast<DWORD>(strtoul(type.c_str(), nullptr, 16));
            return Bytes(text.substr(close + 2), &value->Data);
        }
        if (text == "-")
            return Fail("value deletion ('=-') does not belong in a hive");
        return Fail("unknown value data (expected \"string\", dword:, hex: or hex(n):)");
    }

    bool Section(const std::string &line, Hive &hive, Key **current) {
        if (line.back() != ']')
            return Fail("key section without closing ']'");
        std::string inner = line.substr(1, line.size() - 2);
        if (!inner.empty() && inner[0] == '-')
            return Fail("key deletion ('[-...]') does not belong in a hive");
        WString path;
        if (!Decode(inner, &path))
            return false;
        std::vector<WString> parts;
        size_t slash = path.find(u'\\');
        WString root = path.substr(0, slash);
        if (slash != WString::npos && (SplitSubKey(path.c_str() + slash + 1, &parts) != 0 ||
                                       path.back() == u'\\' || path.find(u"\\\\") != WString::npos))
            return Fail("empty key name in '" + inner + "'");
        int index = -1;
        if (CompareIgnoringCase(root, u"HKEY_LOCAL_MACHINE") == 0 ||
            CompareIgnoringCase(root, u"HKLM") == 0)
            index = LocalMachine;
        if (CompareIgnoringCase(root, u"HKEY_CURRENT_USER") == 0 ||
            CompareIgnoringCase(root, u"HKCU") == 0)
            index = CurrentUser;
        if (index < 0)
            return Fail("unknown root key '" + Utf16ToUtf8(root) + "'");
        bool created;
        *current = &WalkCreating(hive.Roots[index], parts, &created);
        return true;
    }

    bool ValueLine(const std::string &line, Key *current) {
        if (current == nullptr)
            return Fail("value outside of a key section");
        // The name: @ for the default value, else a quoted string.
        Value value{};
        size_t pos = 0;
        if (line[0] == '@')
            pos = 1;
        else if (!Quoted(line, &pos, &value.Name))
            return false;
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t'))
            pos++;
        if (pos >= line.size() || line[pos] != '=')
            return Fail("expected '=' after the value name");
        pos++;
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t'))
            pos++;
        if (!Data(line.substr(pos), &value))
            return false;
        // A name given twice keeps the last data.
        if (Value *existing = FindValue(*current, value.Name))
            *existing = value;
        else
            current->Values.push_back(value);
        return true;
    }

    // Parses the whole text; on failure *line is where it failed.
    bool Parse(std::string text, Hive &hive, int *lineNumber) {
        // The export format may also come as UTF-16 with a byte order mark.
        if (text.size() >= 2 && static_cast<unsigned char>(text[0]) == 0xFF &&
            static_cast<unsigned char>(text[1]) == 0xFE) {
            WString wide((text.size() - 2) / 2, 0);
            memcpy(wide.data(), text.data() + 2, wide.size() * 2);
            text = Utf16ToUtf8(wide);
        } else if (text.rfind("\xEF\xBB\xBF", 0) == 0) {
            text.erase(0, 3);
        }
        std::istringstream in(text);
        std::string raw;
        bool headerSeen = false;
        Key *current = nullptr;
        int number = 0;
        while (std::getline(in, raw)) {
            *lineNumber = ++number;
            std::string line = Trim(raw);
            // A trailing backslash continues the line (wrapped hex data).
            while (!line.empty() && line.back() == '\\' && std::getline(in, raw)) {
                number++;
                line.pop_back();
                line += Trim(raw);
            }
            if (line.empty() || line[0] == ';')
                continue;
            if (!headerSeen) {
                if (line != Header)
                    return Fail(std::string("expected the first line '") + Header + "'");
                headerSeen = true;
            } else if (line[0] == '[') {
                if (!Section(line, hive, &current))
                    return false;
            } else if (line[0] == '@' || line[0] == '"') {
                if (!ValueLine(line, current))
                    return false;
            } else {
                return Fail("unexpected text (expected [key], \"name\"=... or @=...)");
            }
        }
        *lineNumber = number;
        return headerSeen || text.empty() || Fail("missing header line");
    }

    static std::string Trim(const std::string &text) {
        size_t start = text.find_first_not_of(" \t\r");
        if (start == std::string::npos)
            return "";
        size_t end = text.find_last_not_of(" \t\r");
        return text.substr(start, end - start + 1);
    }
};

} // namespace

bool ParseHive(std::string text, Hive &hive, int *line, std::string *error) {
    Parser parser;
    bool ok = parser.Parse(std::move(text), hive, line);
    *error = parser.Error;
    return ok;
}

} // namespace winplat
