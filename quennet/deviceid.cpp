// Device identification: asks the port monitor for the printer's IEEE 1284
// device ID, learns the model from it and tells whether the printer speaks
// the job language TKL.
#include "quennet.h"

#include <string.h>

// Models that speak TKL whatever their command set says.
static const char *const TklModels[] = {"RVT-201", "RVT-202", "RVT-301"};
#define TKL_MODEL_LENGTH 7

// True when the key that runs from `key` for `length` bytes (its ':'
// included) is exactly `name`.
static bool KeyIs(LPCSTR key, size_t length, LPCSTR name) {
    return length == strlen(name) && memcmp(key, name, length) == 0;
}

// True when "TKL" stands wholly inside the value, before its ';'.
static bool ValueHasTklToken(LPCSTR value) {
    for (LPCSTR p = value; *p != 0 && *p != ';'; p++) {
        // Short-circuit: a ';' or the end of the text stops the match.
        if (p[0] == 'T' && p[1] == 'K' && p[2] == 'L')
            return true;
    }
    return false;
}

// True when one of the TKL models begins at `p`.
static bool IsTklModelAt(LPCSTR p) {
    for (LPCSTR model : TklModels) {
        // strncmp stops at the text's end, where a full match is impossible anyway.
        if (strncmp(p, model, TKL_MODEL_LENGTH) == 0)
            return true;
    }
    return false;
}

// Copies the model value (cut at ';', the end or 80 characters) into the
// entry, replacing the old one under the lock. Answers whether a listed TKL
// model begins within the copied characters.
static bool StoreModel(PortEntry *e, LPCSTR value) {
    CHAR model[MODEL_MAX + 1];
    bool listed = false;
    size_t n = 0;
    while (n < MODEL_MAX && value[n] != 0 && value[n] != ';') {
        if (IsTklModelAt(value + n))
            listed = true;
        model[n] = value[n];
        n++;
    }
    model[n] = 0;

    // Readers test Model under the same lock, so the old block is never
    // freed under them. A failed copy leaves no model at all.
    EnterMonitorLock();
    if (e->Model != nullptr)
        GlobalFree(e->Model);
    e->Model = DupNarrow(model);
    LeaveMonitorLock();
    return listed;
}

BOOL QueryDeviceId(PortEntry *e) {
    // A port monitor that cannot answer: not capable.
    if (e == nullptr || e->PortMonitorTable.pfnGetPrinterDataFromPort == nullptr)
        return FALSE;

    // One byte more than offered, for the terminating zero. WCHAR-aligned
    // because the slot's buffer is typed as a wide string.
    union {
        CHAR Text[DEVICE_ID_BUFFER + 1];
        WCHAR Align;
    } buffer;
    memset(&buffer, 0, sizeof buffer);
    DWORD returned = 0;

    if (!PortGetPrinterData(e, IOCTL_PAR_QUERY_DEVICE_ID, nullptr, nullptr, 0,
                            reinterpret_cast<LPWSTR>(buffer.Text), DEVICE_ID_BUFFER, &returned) ||
        returned == 0) {
        TRACE(TRACE_DECISIONS, e, "device ID asked: no answer (error %u)", GetLastError());
        return FALSE;
    }

    // A count beyond what was offered cannot be true; never write past the buffer.
    if (returned > DEVICE_ID_BUFFER)
        returned = DEVICE_ID_BUFFER;
    buffer.Text[returned] = 0;
    TRACE(TRACE_DECISIONS, e, "device ID asked: %s", (LPCSTR)buffer.Text);
    return ParseDeviceId(e, buffer.Text);
}

BOOL ParseDeviceId(PortEntry *e, LPSTR text) {
    BOOL capable = FALSE;
    if (e == nullptr || text == nullptr)
        return FALSE;

    LPSTR position = text;
    while (*position != 0) {
        // The key runs up to and including the first ':'.
        LPSTR colon = strchr(position, ':');
        if (colon == nullptr)
            break;
        size_t keyLength = (size_t)(colon - position) + 1;
        LPSTR value = colon + 1;

        // The command set names the languages the printer speaks.
        if (KeyIs(position, keyLength, "COMMAND SET:") || KeyIs(position, keyLength, "CMD:")) {
            if (ValueHasTklToken(value))
                capable = TRUE;
        }

        // The model is kept for model-specific behaviour; some models speak
        // TKL without saying so in their command set.
        if (KeyIs(position, keyLength, "MODEL:") || KeyIs(position, keyLength, "MDL:")) {
            if (StoreModel(e, value))
                capable = TRUE;
        }

        // The pair ends at the first ';' of its value; a last pair may lack it.
        LPSTR end = strchr(value, ';');
        if (end == nullptr)
            break;
        *end = 0;
        position = end + 1;
    }
    return capable;
}

BOOL ModelContains(PortEntry *e, LPCSTR model) {
    if (e == nullptr || model == nullptr || model[0] == 0)
        return FALSE;
    size_t length = strlen(model);

    // Under the lock: a device ID read on another thread may be replacing
    // (and freeing) the model right now. The lock is recursive.
    BOOL found = FALSE;
    EnterMonitorLock();
    LPCSTR text = e->Model;
    if (text != nullptr) {
        for (size_t i = 0; i < MODEL_MAX && text[i] != 0; i++) {
            if (strncmp(text + i, model, length) == 0) {
                found = TRUE;
                break;
            }
        }
    }
    LeaveMonitorLock();
    return found;
}
