#include "journal.h"

#include <stdio.h>
#include <string.h>

#include <fstream>

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

JournalLine JournalText(const char *text) {
    if (text == nullptr)
        return nullptr;
    // Valid UTF-8 passes as it is; any other byte is a Latin-1 character.
    std::string utf8;
    const unsigned char *p = (const unsigned char *)text;
    size_t length = strlen(text);
    for (size_t i = 0; i < length;) {
        size_t sequence = p[i] < 0x80 ? 1 : Utf8Sequence(p + i, length - i);
        if (sequence > 0) {
            utf8.append(text + i, sequence);
            i += sequence;
            continue;
        }
        utf8 += (char)(0xC0 | (p[i] >> 6));
        utf8 += (char)(0x80 | (p[i] & 0x3F));
        i++;
    }
    return utf8;
}

JournalLine JournalHex(uint32_t value) {
    char text[16];
    snprintf(text, sizeof(text), "0x%X", (unsigned)value);
    return text;
}

bool AppendJournalLine(const std::filesystem::path &path, const JournalLine &line) {
    // The texts are valid UTF-8 already; replacing keeps dump from throwing.
    std::string text = line.dump(-1, ' ', false, JournalLine::error_handler_t::replace);
    std::ofstream file(path, std::ios::binary | std::ios::app);
    if (!file)
        return false;
    file << text << '\n';
    file.flush();
    return file.good();
}
