// Leading hexadecimal digits of a printer's text (job tags, channel numbers).
#include "core.h"

DWORD ParseHexDigits(LPCSTR text, DWORD n) {
    DWORD value = 0;
    if (text == nullptr)
        return 0;
    for (DWORD i = 0; i < n; i++) {
        char c = text[i];
        DWORD digit;
        if (c >= '0' && c <= '9')
            digit = (DWORD)(c - '0');
        else if (c >= 'A' && c <= 'F')
            digit = (DWORD)(c - 'A' + 10);
        else if (c >= 'a' && c <= 'f')
            digit = (DWORD)(c - 'a' + 10);
        else
            break; // any other character, the terminator included, ends the number
        value = (value << 4) + digit;
    }
    return value;
}
