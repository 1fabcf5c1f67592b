// The response dispatcher: acts on the items of one parsed printer response
// by their item codes (job-end reports, job tags, status reports for the
// agent, printer values for the registry).
#include "quennet.h"

#include <string.h>

// Item codes acted on.
#define ITEM_JOB_DONE_RVT101 208
#define ITEM_JOB_TAG 215
#define ITEM_JOB_DONE 216
#define ITEM_CALIBRATION_FIRST 220
#define ITEM_CALIBRATION_LAST 223
#define ITEM_STATUS_CODE 0x10003
#define ITEM_STATUS_CLEARED 0x10004
#define ITEM_STATUS_KIND 0x10040

// A job tag is "+", "LPT" left-aligned in 29 characters, then 8 hex digits.
#define JOB_TAG_ID_OFFSET 30
#define JOB_TAG_ID_DIGITS 8

// The registry value text: at most this many UTF-16 units with the terminator.
#define VALUE_TEXT_BUFFER 260
#define PORT_KEY_BUFFER 1024

// Ranges of printer status codes and the status word each gives the agent;
// the first row that holds the code wins, so the order matters.
const StatusRange StatusRangeTable[] = {
    {10000, 10000, 0x2000},     {10002, 10002, 0x1002000},
    {10010, 10011, 0x2000},     {10020, 10020, 0x10000},
    {10021, 10029, 0x2000},     {10039, 10039, 0x2000},
    {10030, 10038, 0x8080},     {10050, 10401, 0x2000},
    {10600, 10600, 0x4000},     {10700, 10700, 0},
    {11000, 11999, 0x80002010}, {15000, 15004, 0x80020000},
    {15000, 15999, 0x80000000}, {30010, 30010, 0x80082},
    {30020, 30080, 0x200082},   {30090, 30090, 0x82},
    {30100, 30199, 0x200082},   {30200, 30240, 0x82},
    {30250, 30260, 0x200082},   {30271, 30999, 0x82},
    {30310, 30329, 0x82},       {31000, 31099, 0x200082},
    {31100, 31100, 0x82},       {30000, 39999, 0x82},
    {40011, 40011, 0x100092},   {40020, 40029, 0x500082},
    {40030, 40030, 0x10008A},   {40089, 40089, 0x500082},
    {40000, 40140, 0x100082},   {40150, 40152, 0x100882},
    {40000, 40140, 0x100882},   {40153, 40153, 0x100082},
    {40154, 40154, 0x100882},   {40200, 40401, 0x100082},
    {40500, 40509, 0x140082},   {40600, 40670, 0x100082},
    {40800, 40899, 0x100882},   {40900, 40999, 0x10008A},
    {41000, 41999, 0x100092},   {42000, 43999, 0x1000C2},
    {44000, 44003, 0x500082},   {44004, 44004, 0x100082},
    {40000, 49999, 0x100082},   {50000, 59999, 0x101082},
    {20000, 99999, 0x82},       {0, 0, 0},
};

// Registry value names of the printer values, by item code.
struct StatusValueName {
    DWORD Code;
    LPCWSTR Name;
};
static const StatusValueName StatusValueNames[] = {
    {220, WSTR("CALIBRATION:YELLOW")},
    {221, WSTR("CALIBRATION:MAGENTA")},
    {222, WSTR("CALIBRATION:CYAN")},
    {223, WSTR("CALIBRATION:BLACK")},
    {268, WSTR("CONFIG:MEMORY")},
    {0x40026, WSTR("COMMON:SPOOL-RAM")},
    {0x40037, WSTR("COMMON:TRAY-NAME")},
    {0x40038, WSTR("COMMON:CASSETTE1-NAME")},
    {0x40039, WSTR("COMMON:CASSETTE2-NAME")},
    {0x4003A, WSTR("COMMON:CASSETTE3-NAME")},
};

DWORD MapStatusCode(DWORD code, DWORD kind) {
    if (code == 0)
        return 0;
    // The first row that holds the code gives the word; without one the
    // word is 0 whatever the kind.
    const StatusRange *row = StatusRangeTable;
    while (row->Low != 0 && !(row->Low <= code && code <= row->High))
        row++;
    if (row->Low == 0)
        return 0;
    DWORD word = row->Value;
    // The report's kind decides bit 7.
    if (kind == 3)
        word &= ~0x80u;
    else if (kind == 4)
        word |= 0x80u;
    return word;
}

// The number a value carries: its data as a 32-bit number, whatever the
// type, except for a string, whose data is a pointer and counts as 0 rather
// than as whatever half of an address.
static DWORD ValueNumber(const TklValue *value) {
    if (value->Type == TKL_TYPE_STRING)
        return 0;
    return (DWORD)value->Data.Number;
}

// The job id of an item whose first value is a job tag; FALSE for anything
// else. The text is checked to really hold more than 30 characters, so a
// length field larger than the text never leads past its terminator.
static BOOL JobTagId(const TklItem *item, DWORD *jobId) {
    const TklValue *value = &item->Values[0];
    if (value->Type != TKL_TYPE_STRING || value->Length <= JOB_TAG_ID_OFFSET)
        return FALSE;
    LPCSTR text = value->Data.Text;
    if (text == nullptr || text[0] == 0)
        return FALSE;
    if (text[1] != 'L' || text[2] != 'P' || text[3] != 'T')
        return FALSE;
    for (DWORD i = 4; i <= JOB_TAG_ID_OFFSET; i++) {
        if (text[i] == 0)
            return FALSE;
    }
    *jobId = ParseHexDigits(text + JOB_TAG_ID_OFFSET, JOB_TAG_ID_DIGITS);
    return TRUE;
}

static BOOL JobIdsEmpty(PortEntry *e) {
    EnterMonitorLock();
    BOOL empty = e->JobIds == nullptr;
    LeaveMonitorLock();
    return empty;
}

// A job-end report: that job and every older one are done; with none left
// pending the thread may stop polling.
static void CompleteJob(PortEntry *e, const TklItem *item) {
    DWORD jobId = 0;
    if (!JobTagId(item, &jobId) || jobId == 0)
        return;
    RemoveJobIdAndOlder(e, jobId, TRUE);
    if (JobIdsEmpty(e) && TestFlags(e, ThreadRunning))
        ClearFlags(e, KeepPolling);
}

// Releases every copied string, every copied value array and the array.
static void FreeCopyList(TklItem *list, DWORD count) {
    if (list == nullptr)
        return;
    for (DWORD i = 0; i < count; i++) {
        TklValue *values = list[i].Values;
        if (values == nullptr)
            continue;
        for (DWORD v = 0; v < list[i].ValueCount; v++) {
            if (values[v].Type == TKL_TYPE_STRING && values[v].Data.Text != nullptr)
                FreeMovable(values[v].Data.Text);
        }
        FreeMovable(values);
    }
    FreeMovable(list);
}

// Appends a copy of an item whose first value is to read as cleared. The
// parser's item is left as it is: for a string first value its block stays
// where FreeTklItems will find it, and the copy carries an empty string of
// its own instead of a null text.
static void AppendClearedCopy(const TklItem *item, TklItem **list, LPDWORD count) {
    static char EmptyText[1] = {0};
    TklValue first = item->Values[0];
    if (first.Type == TKL_TYPE_STRING) {
        item->Values[0].Length = 0;
        item->Values[0].Data.Text = EmptyText;
        AppendTklItemCopy(item, list, count);
        item->Values[0] = first;
        return;
    }
    // A number: clear the whole data field, then copy.
    memset(&item->Values[0].Data, 0, sizeof(item->Values[0].Data));
    AppendTklItemCopy(item, list, count);
}

void DispatchTklItems(PortEntry *e, TklItem *items, DWORD count) {
    // Both live for this one response: the code of the status report in
    // progress (its status word goes into e->StatusCode) and its copies.
    DWORD reportCode = 0;
    TklItem *copies = nullptr;
    DWORD copyCount = 0;

    if (e == nullptr || items == nullptr)
        return;
    for (DWORD i = 0; i < count; i++) {
        TklItem *item = &items[i];
        // An item without values has nothing to act on (and no first value to read).
        if (item->Values == nullptr || item->ValueCount == 0)
            continue;
        switch (item->Code) {
        case ITEM_JOB_DONE_RVT101:
            // The job-end report of the "RVT-101" family.
            if (ModelContains(e, "RVT-101"))
                CompleteJob(e, item);
            break;
        case ITEM_JOB_DONE:
            CompleteJob(e, item);
            break;
        case ITEM_JOB_TAG: {
            // A job the printer names: tell the agent.
            DWORD jobId = 0;
            if (JobTagId(item, &jobId) && jobId != 0 && TestFlags(e, AgentActive))
                AgentJobStatus(e, jobId, AGENT_STATUS_JOB_TAG);
            break;
        }
        case ITEM_CALIBRATION_FIRST:
        case ITEM_CALIBRATION_FIRST + 1:
        case ITEM_CALIBRATION_FIRST + 2:
        case ITEM_CALIBRATION_LAST:
            WritePortStatusValue(e, item->Code, item->Values);
            break;
        case ITEM_STATUS_CODE:
            // The start of a status report. Some codes mean the printer
            // dropped its jobs: none of the pending ids will be reported.
            AppendTklItemCopy(item, &copies, &copyCount);
            reportCode = ValueNumber(&item->Values[0]);
            if (reportCode == 10002 || reportCode == 10030 || reportCode == 10031) {
                RemoveJobIds(e, ALL_JOB_IDS, TRUE);
                if (TestFlags(e, ThreadRunning))
                    ClearFlags(e, KeepPolling);
            }
            break;
        case ITEM_STATUS_CLEARED:
            AppendClearedCopy(item, &copies, &copyCount);
            break;
        case ITEM_STATUS_KIND: {
            // The end of a status report: hand it over with its status word.
            AppendTklItemCopy(item, &copies, &copyCount);
            DWORD kind = ValueNumber(&item->Values[0]);
            if (reportCode == 0 || kind == 0)
                break;
            DWORD word = MapStatusCode(reportCode, kind);
            reportCode = 0;
            e->StatusCode = word;
            if (copies != nullptr) {
                if (TestFlags(e, AgentActive))
                    AgentJobItems(e, word, copyCount, copies);
                FreeCopyList(copies, copyCount);
                copies = nullptr;
                copyCount = 0;
            }
            break;
        }
        default:
            break;
        }
    }
    // Copies of a report that was never completed.
    FreeCopyList(copies, copyCount);
}

BOOL AppendTklItemCopy(const TklItem *item, TklItem **list, LPDWORD count) {
    if (item == nullptr || list == nullptr || count == nullptr)
        return FALSE;

    // Grow the array by one record; the old records move with their values.
    BOOL hadItems = *list != nullptr;
    if (!hadItems)
        *count = 0;
    if ((SIZE_T)*count + 1 > (SIZE_T)-1 / sizeof(TklItem))
        return FALSE;
    TklItem *grown = (TklItem *)AllocMovable(((SIZE_T)*count + 1) * sizeof(TklItem));
    if (grown == nullptr)
        return FALSE;
    if (hadItems) {
        memcpy(grown, *list, (SIZE_T)*count * sizeof(TklItem));
        FreeMovable(*list);
    }
    *list = grown;

    // The item's own value array and string blocks.
    TklValue *values = nullptr;
    DWORD valueCount = item->Values != nullptr ? item->ValueCount : 0;
    if (valueCount > 0) {
        values = (TklValue *)AllocMovable((SIZE_T)valueCount * sizeof(TklValue));
        if (values == nullptr)
            goto fail;
        for (DWORD v = 0; v < valueCount; v++) {
            const TklValue *from = &item->Values[v];
            TklValue *to = &values[v];
            to->Type = from->Type;
            to->Length = from->Length;
            if (from->Type <= TKL_TYPE_INT2) {
                to->Data = from->Data;
            } else if (from->Type == TKL_TYPE_STRING) {
                LPSTR text = (LPSTR)AllocMovable((SIZE_T)from->Length + 1);
                if (text == nullptr)
                    goto fail;
                // At most Length characters, never past the source's own end.
                LPCSTR source = from->Data.Text;
                for (DWORD c = 0; source != nullptr && c < from->Length && source[c] != 0; c++)
                    text[c] = source[c];
                to->Data.Text = text;
            }
            // Any other type keeps data 0 from the zero-filled block.
        }
    }

    // The new last record.
    grown[*count].Code = item->Code;
    grown[*count].Size = item->Size;
    grown[*count].ValueCount = valueCount;
    grown[*count].Values = values;
    *count += 1;
    return TRUE;

fail:
    // Undo this item's blocks; the list keeps its former records.
    if (values != nullptr) {
        for (DWORD v = 0; v < valueCount; v++) {
            if (values[v].Type == TKL_TYPE_STRING && values[v].Data.Text != nullptr)
                FreeMovable(values[v].Data.Text);
        }
        FreeMovable(values);
    }
    if (!hadItems) {
        FreeMovable(grown);
        *list = nullptr;
    }
    return FALSE;
}

// Signed decimal, as "%ld" writes it.
static void FormatNumber(LONG number, WCHAR *text) {
    WCHAR digits[16];
    int n = 0;
    // Work on the magnitude as unsigned so the most negative value works too.
    DWORD magnitude = number < 0 ? 0u - (DWORD)number : (DWORD)number;
    do {
        digits[n++] = (WCHAR)('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    int at = 0;
    if (number < 0)
        text[at++] = '-';
    while (n > 0)
        text[at++] = digits[--n];
    text[at] = 0;
}

static void CopyWide(WCHAR *to, const char *ascii) {
    while ((*to++ = (WCHAR)*ascii++) != 0) {
    }
}

// An ANSI string in UTF-16, cut at VALUE_TEXT_BUFFER - 1 units (never in the
// middle of a surrogate pair). FALSE when it cannot be converted.
static BOOL ConvertValueText(LPCSTR source, WCHAR *text) {
    int needed = MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, source, -1, nullptr, 0);
    if (needed <= 0)
        return FALSE;
    if (needed <= VALUE_TEXT_BUFFER)
        return MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, source, -1, text, VALUE_TEXT_BUFFER) > 0;
    // Too long for the value: convert all of it aside and keep the head.
    WCHAR *whole = (WCHAR *)AllocFixed((SIZE_T)needed * sizeof(WCHAR));
    if (whole == nullptr)
        return FALSE;
    BOOL converted = MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, source, -1, whole, needed) > 0;
    if (converted) {
        int keep = VALUE_TEXT_BUFFER - 1;
        if (whole[keep - 1] >= 0xD800 && whole[keep - 1] <= 0xDBFF)
            keep--;
        memcpy(text, whole, (SIZE_T)keep * sizeof(WCHAR));
        text[keep] = 0;
    }
    GlobalFree(whole);
    return converted;
}

// The registry text of a printer value, from its first value.
static BOOL FormValueText(const TklValue *values, WCHAR *text) {
    if (values == nullptr) {
        CopyWide(text, "?");
        return TRUE;
    }
    const TklValue *value = &values[0];
    switch (value->Type) {
    case TKL_TYPE_STRING: {
        LPCSTR source = value->Data.Text;
        if (source == nullptr)
            CopyWide(text, "?"); // no text at all: unknown
        else if (source[0] == 0)
            CopyWide(text, "");
        else if (source[1] == '?')
            CopyWide(text, "?");
        else
            return ConvertValueText(source, text);
        return TRUE;
    }
    case TKL_TYPE_INT1:
    case TKL_TYPE_INT2:
        FormatNumber(value->Data.Number, text);
        return TRUE;
    default:
        CopyWide(text, "?");
        return TRUE;
    }
}

BOOL WritePortStatusValue(PortEntry *e, DWORD code, TklValue *values) {
    static const WCHAR PortsKey[] = PORTS_KEY_PREFIX;
    WCHAR keyName[PORT_KEY_BUFFER];
    WCHAR text[VALUE_TEXT_BUFFER];
    LPCWSTR valueName = nullptr;
    HKEY key = nullptr;
    BOOL written = FALSE;

    if (e == nullptr || e->PortName == nullptr)
        return FALSE;

    // Only known printer values are written; nothing is created for others.
    for (const StatusValueName &row : StatusValueNames) {
        if (row.Code == code) {
            valueName = row.Name;
            break;
        }
    }
    if (valueName == nullptr)
        return FALSE;

    // The port's key: the fixed path, then the port's name.
    SIZE_T prefix = sizeof(PortsKey) / sizeof(WCHAR) - 1;
    SIZE_T name = (SIZE_T)lstrlenW(e->PortName);
    if (prefix + name + 1 > PORT_KEY_BUFFER)
        return FALSE;
    memcpy(keyName, PortsKey, prefix * sizeof(WCHAR));
    memcpy(keyName + prefix, e->PortName, (name + 1) * sizeof(WCHAR));

    // The text, then the key, then the value.
    if (!FormValueText(values, text))
        return FALSE;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyName, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_READ | KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return FALSE;
    DWORD bytes = (DWORD)(lstrlenW(text) + 1) * (DWORD)sizeof(WCHAR);
    written = RegSetValueExW(key, valueName, 0, REG_SZ, (const BYTE *)text, bytes) == ERROR_SUCCESS;
    RegCloseKey(key);
    return written;
}
