// Job-language command builder and sender: turns a fixed command list into
// TklItem records, has the parser library "VEROVIRI.DLL" make TKL text of
// them, and writes that text to the printer through the port monitor.
#include "quennet.h"

#include <stdio.h>
#include <string.h>

// Item codes whose string is produced per call.
#define ITEM_JOB_REPORT_PORT 208 // unquoted port form, job end of "RVT-101" printers
#define ITEM_JOB_NOTIFY 212      // quoted notification
#define ITEM_JOB_END_NOTIFY 214  // quoted notification

#define DEFAULT_NOTIFY_PORT 4567
#define RETRY_LIMIT_MS 30000
#define HOST_NAME_BUFFER 50

// ---------------------------------------------------------------- command lists

// One row per line, as the lists are read.
// clang-format off

static const CommandTemplate StandardJobStart[] = {
    {200, TKL_TYPE_STRING, 0, 0, 0, "ON"},
    {201, TKL_TYPE_STRING, 0, 0, 0, "ON"},
    {203, TKL_TYPE_STRING, 0, 0, 0, "30"},
    {204, TKL_TYPE_STRING, 0, 0, 0, "ON"},
    {0x10003, VALUE_NONE, 0, 0, 0, nullptr},
    {267, VALUE_NONE, 0, 0, 0, nullptr},
    {ITEM_JOB_NOTIFY, TKL_TYPE_STRING, 0, 0, 0, ""},
    {0, 0, 0, 0, 0, nullptr},
};

static const CommandTemplate StandardJobEnd[] = {
    {ITEM_JOB_END_NOTIFY, TKL_TYPE_STRING, 0, 0, 0, ""},
    {213, VALUE_NONE, 0, 0, 0, nullptr},
    {0, 0, 0, 0, 0, nullptr},
};

static const CommandTemplate Rvt101JobStart[] = {
    {200, TKL_TYPE_STRING, 0, 0, 0, "ON"},
    {203, TKL_TYPE_STRING, 0, 0, 0, "30"},
    {0x10003, VALUE_NONE, 0, 0, 0, nullptr},
    {0, 0, 0, 0, 0, nullptr},
};

static const CommandTemplate Rvt101JobEnd[] = {
    {ITEM_JOB_REPORT_PORT, TKL_TYPE_STRING, 0, 0, 0, ""},
    {0, 0, 0, 0, 0, nullptr},
};

// Shared by both families.
static const CommandTemplate NotifyOnly[] = {
    {ITEM_JOB_NOTIFY, TKL_TYPE_STRING, 0, 0, 0, ""},
    {0, 0, 0, 0, 0, nullptr},
};

// clang-format on

const CommandTemplate *const StandardCommandLists[3] = {StandardJobStart, StandardJobEnd,
                                                        NotifyOnly};
const CommandTemplate *const Rvt101CommandLists[3] = {Rvt101JobStart, Rvt101JobEnd, NotifyOnly};

// ---------------------------------------------------------------- notification strings

// snprintf answers what it would have written; the caller gets what it did.
static int WrittenLength(int result, size_t size) {
    if (result < 0 || size == 0)
        return 0;
    if ((size_t)result >= size)
        return (int)(size - 1);
    return result;
}

int FormatPortNotification(LPSTR buffer, size_t size, DWORD jobId, BOOL quoted) {
    const char *format = quoted ? "\"+%-29s%08X\"" : "+%-29s%08X";
    return WrittenLength(snprintf(buffer, size, format, "LPT", (unsigned)jobId), size);
}

int FormatDatagramNotification(LPSTR buffer, size_t size, const BYTE address[4], DWORD port,
                               DWORD jobId) {
    // A port of 0x10000 or more takes more than 4 digits and pushes the job id right.
    return WrittenLength(snprintf(buffer, size, "\"+UDP%03d.%03d.%03d.%03d%04X       %08X\"",
                                  (int)address[0], (int)address[1], (int)address[2],
                                  (int)address[3], (unsigned)port, (unsigned)jobId),
                         size);
}

// The text of a row's string value: the row's own string, or a notification
// formatted into `buffer` (NOTIFICATION_BUFFER bytes).
static LPCSTR RowText(PortEntry *e, DWORD kind, const CommandTemplate *row, LPSTR buffer) {
    if (row->Code == ITEM_JOB_REPORT_PORT && kind == COMMAND_JOB_END) {
        FormatPortNotification(buffer, NOTIFICATION_BUFFER, e->JobId, FALSE);
        return buffer;
    }
    if (row->Code == ITEM_JOB_NOTIFY || row->Code == ITEM_JOB_END_NOTIFY) {
        // A job-language job reports back over the port; any other by datagram.
        if (TestFlags(e, JobLanguageOn)) {
            FormatPortNotification(buffer, NOTIFICATION_BUFFER, e->JobId, TRUE);
        } else {
            // Without a local address the item is still built, addressed to 0.0.0.0.
            BYTE address[4] = {0, 0, 0, 0};
            if (!GetLocalIPv4Address(address))
                memset(address, 0, sizeof address);
            FormatDatagramNotification(buffer, NOTIFICATION_BUFFER, address, GetJobNotifyPort(),
                                       e->JobId);
        }
        return buffer;
    }
    return row->String != nullptr ? row->String : "";
}

// ---------------------------------------------------------------- building

// Fills one item from its row. FALSE when memory runs out; what was
// allocated is already linked into the item, so FreeTklItems releases it.
static BOOL FillItem(PortEntry *e, DWORD kind, const CommandTemplate *row, TklItem *item) {
    item->Code = row->Code;
    item->Size = 16;
    if (row->ValueType == VALUE_NONE)
        return TRUE;

    // One value, linked at once so a later failure releases it.
    TklValue *value = (TklValue *)AllocMovable(sizeof(TklValue));
    if (value == nullptr)
        return FALSE;
    item->Values = value;
    item->ValueCount = 1;
    item->Size += 8;
    value->Type = (WORD)row->ValueType;

    if (row->ValueType != TKL_TYPE_STRING) {
        // Integers 1, 2, 3 of the row belong to types 0, 1, 2.
        const LONG integers[3] = {row->Integer1, row->Integer2, row->Integer3};
        value->Length = 4;
        value->Data.Number = row->ValueType <= TKL_TYPE_INT2 ? integers[row->ValueType] : 0;
        return TRUE;
    }

    // A string gets its own block.
    CHAR buffer[NOTIFICATION_BUFFER];
    LPCSTR text = RowText(e, kind, row, buffer);
    size_t length = strlen(text);
    LPSTR copy = (LPSTR)AllocMovable(length + 1);
    if (copy == nullptr)
        return FALSE;
    memcpy(copy, text, length + 1);
    value->Data.Text = copy;
    value->Length = (WORD)length;
    item->Size += (DWORD)length + 1;
    return TRUE;
}

BOOL BuildCommandItems(PortEntry *e, DWORD kind, TklItem **items, LPDWORD count) {
    if (e == nullptr || kind < COMMAND_JOB_START || kind > COMMAND_NOTIFY_ONLY ||
        items == nullptr || count == nullptr)
        return FALSE;

    // The family follows the model; the list follows the kind.
    const CommandTemplate *list =
        ModelContains(e, "RVT-101") ? Rvt101CommandLists[kind - 1] : StandardCommandLists[kind - 1];
    DWORD rows = 0;
    while (list[rows].Code != 0)
        rows++;
    if (rows == 0) {
        *items = nullptr;
        *count = 0;
        return TRUE;
    }

    // Zero-filled items: anything not yet built is null and frees as nothing.
    TklItem *array = (TklItem *)AllocMovable(rows * sizeof(TklItem));
    if (array == nullptr)
        return FALSE;
    for (DWORD i = 0; i < rows; i++) {
        if (!FillItem(e, kind, &list[i], &array[i])) {
            FreeTklItems(array, rows);
            return FALSE;
        }
    }
    *items = array;
    *count = rows;
    return TRUE;
}

void FreeTklItems(TklItem *items, DWORD count) {
    if (items == nullptr || count == 0)
        return;
    for (DWORD i = 0; i < count; i++) {
        TklValue *values = items[i].Values;
        if (values == nullptr)
            continue;
        for (DWORD j = 0; j < items[i].ValueCount; j++) {
            if (values[j].Type == TKL_TYPE_STRING)
                FreeMovable(values[j].Data.Text);
        }
        FreeMovable(values);
    }
    FreeMovable(items);
}

// ---------------------------------------------------------------- composing

BOOL ComposeCommandText(TklItem *items, DWORD count, LPSTR *text, LPDWORD length) {
    if (items == nullptr || count == 0 || text == nullptr || length == nullptr)
        return FALSE;
    *length = 0;

    // The parser library lives only for this one call.
    HMODULE library = LoadLibraryW(TKL_PARSER_DLL);
    if (library == nullptr) {
        TRACE(TRACE_DECISIONS, nullptr, "parser VEROVIRI.DLL missing (error %u): no command text",
              GetLastError());
        return FALSE;
    }
    PFN_TklItemsToText toText =
        ProcAs<PFN_TklItemsToText>(GetProcAddress(library, TKL_ITEMS_TO_TEXT_EXPORT));
    if (toText == nullptr) {
        TRACE(TRACE_DECISIONS, nullptr, "parser VEROVIRI.DLL lacks the export %s",
              TKL_ITEMS_TO_TEXT_EXPORT);
        FreeLibrary(library);
        return FALSE;
    }
    TRACE(TRACE_CALLS, nullptr, "parser VEROVIRI.DLL loaded for a command text");

    // Parser calls of all ports and threads never overlap.
    EnterMonitorLock();
    DWORD result = toText(count, items, length, text, 0);
    LeaveMonitorLock();
    FreeLibrary(library);

    // A success without a text would hand the caller nothing to send.
    if (result != 0 || *text == nullptr) {
        *length = 0;
        return FALSE;
    }
    return TRUE;
}

BOOL PrepareCommand(PortEntry *e, DWORD kind, LPSTR *text, LPDWORD length) {
    // Either both outputs (the caller keeps the text) or none (send it now).
    if ((text == nullptr) != (length == nullptr))
        return FALSE;

    TklItem *items = nullptr;
    DWORD count = 0;
    if (!BuildCommandItems(e, kind, &items, &count))
        return FALSE;

    // The items are done with once the text exists (or could not be made).
    LPSTR composed = nullptr;
    DWORD composedLength = 0;
    BOOL ok = ComposeCommandText(items, count, &composed, &composedLength);
    FreeTklItems(items, count);
    if (!ok)
        return FALSE;

    if (text != nullptr) {
        *text = composed;
        *length = composedLength;
        return TRUE;
    }
    BOOL sent = SendCommandText(e, composed);
    FreeMovable(composed);
    return sent;
}

BOOL BuildAndSendCommand(PortEntry *e, DWORD kind) {
    return PrepareCommand(e, kind, nullptr, nullptr);
}

// ---------------------------------------------------------------- sending

BOOL SendCommandText(PortEntry *e, LPCSTR text) {
    if (e == nullptr || text == nullptr)
        return FALSE;

    // Hold the printer connection's turn so the status thread's reads do
    // not interleave with the command.
    HANDLE turn = LoadHandle(e->PortIoEvent);
    if (turn != nullptr)
        WaitForSingleObject(turn, INFINITE);

    DWORD start = GetTickCount();
    DWORD total = (DWORD)strlen(text);
    DWORD sent = 0;
    DWORD lastError = ERROR_SUCCESS;
    BOOL result = FALSE;
    for (;;) {
        // One write of what is left; its answer counts only through the count.
        DWORD written = 0;
        PortWrite(e, (LPBYTE)text + sent, total - sent, &written);
        lastError = GetLastError();
        // A count beyond what was offered must not run the offset past the text.
        sent += written <= total - sent ? written : total - sent;

        if (sent == total) {
            ClearFlags(e, WriteFailed);
            result = TRUE;
            break;
        }
        SetFlags(e, WriteFailed);

        // Only "RVT-101" printers get further writes, back to back, for a while.
        if (e->PortMonitorTable.pfnWritePort == nullptr || !ModelContains(e, "RVT-101") ||
            GetTickCount() - start >= RETRY_LIMIT_MS)
            break;
    }

    // The caller sees the last write's error; the turn goes back.
    SetLastError(lastError);
    if (turn != nullptr)
        SetEvent(turn);
    return result;
}

// ---------------------------------------------------------------- notification address

DWORD GetJobNotifyPort() {
    // Zero-filled: a value shorter than 4 bytes reads as its bytes, zero-extended.
    BYTE data[4] = {0, 0, 0, 0};
    DWORD size = sizeof data;
    DWORD type = 0;
    if (ReadRegistryValue(HKEY_LOCAL_MACHINE, TALLOW_KEY, WSTR("JobNotifyPort"), &type, data,
                          &size) != ERROR_SUCCESS ||
        size == 0 || size > sizeof data)
        return DEFAULT_NOTIFY_PORT;
    return (DWORD)data[0] | (DWORD)data[1] << 8 | (DWORD)data[2] << 16 | (DWORD)data[3] << 24;
}

BOOL GetLocalIPv4Address(BYTE address[4]) {
    if (address == nullptr)
        return FALSE;
    WSADATA data;
    if (WSAStartup(0x101, &data) != 0)
        return FALSE;

    // The first address of this host's name.
    BOOL found = FALSE;
    char name[HOST_NAME_BUFFER];
    if (gethostname(name, sizeof name) == 0) {
        name[sizeof name - 1] = 0;
        struct hostent *host = gethostbyname(name);
        if (host != nullptr && host->h_length == 4 && host->h_addr_list != nullptr &&
            host->h_addr_list[0] != nullptr) {
            memcpy(address, host->h_addr_list[0], 4);
            found = TRUE;
        }
    }
    WSACleanup();
    return found;
}
