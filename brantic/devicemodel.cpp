// The printer's model, read from its IEEE 1284 device ID.
#include "brantic.h"

#include <string.h>

// Stores the first `length` characters of `value` as the model.
static void StoreModel(PortEntry *e, LPCSTR value, size_t length) {
    char model[MODEL_MAX + 1];
    if (length > MODEL_MAX)
        length = MODEL_MAX;
    memcpy(model, value, length);
    model[length] = 0;

    EnterMonitorLock();
    if (e->Model != nullptr)
        GlobalFree(e->Model);
    e->Model = DupNarrow(model);
    LeaveMonitorLock();
}

void ReadDeviceModel(PortEntry *e) {
    // The device ID, over the channel when one is open, else from the port
    // monitor; one byte of room stays for the terminator.
    alignas(WCHAR) char text[DEVICE_ID_BUFFER + 1] = {};
    DWORD returned = 0;
    if (!GetPrinterDataFromPort(e, IOCTL_PAR_QUERY_DEVICE_ID, nullptr, nullptr, 0, (LPWSTR)text,
                                DEVICE_ID_BUFFER, &returned) ||
        returned == 0) {
        TRACE(TRACE_DECISIONS, e, "device ID asked: no answer (error %u)", GetLastError());
        return;
    }
    if (returned > DEVICE_ID_BUFFER)
        returned = DEVICE_ID_BUFFER;
    text[returned] = 0;
    TRACE(TRACE_DECISIONS, e, "device ID asked: %s", (LPCSTR)text);

    // Walk the "KEY:value;" fields from the first byte; the last model key wins.
    char *field = text;
    while (*field != 0) {
        char *colon = strchr(field, ':');
        if (colon == nullptr)
            break;
        size_t keyLength = (size_t)(colon - field) + 1;
        if ((keyLength == 6 && strncmp(field, "MODEL:", 6) == 0) ||
            (keyLength == 4 && strncmp(field, "MDL:", 4) == 0))
            StoreModel(e, colon + 1, strcspn(colon + 1, ";"));
        char *semicolon = strchr(colon + 1, ';');
        if (semicolon == nullptr)
            break;
        *semicolon = 0;
        field = semicolon + 1;
    }
}
