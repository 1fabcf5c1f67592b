#include "journal.h"

#include <stdio.h>

#include <fstream>

JsonLine::JsonLine() : Body("{") {}

void JsonLine::Key(const char *name) {
    if (Body.size() > 1)
        Body += ',';
    Body += JsonQuote(name);
    Body += ':';
}

JsonLine &JsonLine::Text(const char *name, const char *text) {
    Key(name);
    Body += text != nullptr ? JsonQuote(text) : std::string("null");
    return *this;
}

JsonLine &JsonLine::Number(const char *name, int64_t value) {
    Key(name);
    Body += std::to_string(value);
    return *this;
}

JsonLine &JsonLine::Hex(const char *name, uint32_t value) {
    char text[16];
    snprintf(text, sizeof(text), "0x%X", (unsigned)value);
    Key(name);
    Body += JsonQuote(text);
    return *this;
}

JsonLine &JsonLine::Raw(const char *name, const std::string &json) {
    Key(name);
    Body += json;
    return *this;
}

std::string JsonLine::Finish() const {
    return Body + "}";
}

// Length of the valid UTF-8 sequence at `p` (at most `left` bytes), 0 when
// the bytes there are not one.
static size_t Utf8Sequence(const unsigned char *p, size_t left) {
    unsigned char c = p[0];
    size_t length;
    uint32_t code;
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
        code = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        code = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        code = c & 0x07;
    } else {
        return 0;
    }
    if (length > left)
        return 0;
    for (size_t i = 1; i < length; i++) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (p[i] & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not valid.
    if ((length == 3 && code < 0x800) || (length == 4 && (code < 0x10000 || code > 0x10FFFF)) ||
        (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

std::string JsonQuote(const char *text, size_t length) {
    std::string out = "\"";
    const unsigned char *p = (const unsigned char *)text;
    size_t i = 0;
    while (i < length) {
        unsigned char c = p[i];
        char escape[8];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            snprintf(escape, sizeof(escape), "\\u%04x", c);
            out += escape;
        } else if (c >= 0x80) {
            size_t sequence = Utf8Sequence(p + i, length - i);
            if (sequence > 0) {
                out.append((const char *)p + i, sequence);
                i += sequence;
                continue;
            }
            snprintf(escape, sizeof(escape), "\\u%04x", c);
            out += escape;
        } else {
            out += (char)c;
        }
        i++;
    }
    out += '"';
    return out;
}

std::string JsonQuote(const char *text) {
    size_t length = 0;
    while (text[length] != 0)
        length++;
    return JsonQuote(text, length);
}

bool AppendJournalLine(const std::filesystem::path &path, const std::string &line) {
    std::ofstream file(path, std::ios::binary | std::ios::app);
    if (!file)
        return false;
    file << line << '\n';
    file.flush();
    return file.good();
}
