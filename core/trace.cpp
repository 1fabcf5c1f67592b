// The opt-in trace: the level from the monitor's own registry key, and the
// line formatter. Lines are formatted into a buffer on the stack with no
// table and no allocation, so tracing works when memory is short and adds
// nothing the monitors do not already import beyond OutputDebugStringW.
#include "core.h"

std::atomic<DWORD> ActiveTraceLevel{0};

// The key InitializePrintMonitor named, below HKEY_LOCAL_MACHINE; empty when
// none. The spooler initialises a monitor once, before it opens a port, so
// the name is written before any job start reads it; a repeated call with
// the same root (tests, hosts) writes nothing. No lock: StartDocPort must not
// wait for one before it asks the agent.
#define TRACE_ROOT_MAX 512
static WCHAR TraceRoot[TRACE_ROOT_MAX];

#define TRACE_LINE_MAX 512

// The Windows 2000 contract's source: the spooler's registry functions on the
// monitor's key, kept only when they answered at start-up (Wine's answer
// ERROR_CALL_NOT_IMPLEMENTED and close the key when initialisation is over).
// Written at initialisation and shutdown only, like TraceRoot.
struct SpoolerRegistry {
    // The level comes from here, not from TraceRoot; atomic: a host may
    // initialise again while jobs start on other threads.
    std::atomic<bool> Active;
    bool Answers; // the functions answered: later reads use them too
    HANDLE Spooler;
    HANDLE Root;
    LONG(WINAPI *QueryValue)(HANDLE, LPCWSTR, PDWORD, PBYTE, PDWORD, HANDLE);
};
static SpoolerRegistry Registry;

// The level a value stands for: 0 unless a REG_DWORD, at most TRACE_CALLS.
static DWORD LevelOf(LONG result, DWORD type, DWORD value, DWORD size) {
    if (result == ERROR_SUCCESS && type == REG_DWORD && size == sizeof(value))
        return value > TRACE_CALLS ? TRACE_CALLS : value;
    return 0;
}

static void StoreLevel(DWORD level) {
    DWORD before = ActiveTraceLevel.exchange(level, std::memory_order_relaxed);
    if (level != before)
        TRACE(TRACE_DECISIONS, nullptr, "trace level %u", level);
}

void SetTraceRoot(LPCWSTR registryRoot) {
    // The NT 4.0 contract names its key as a path.
    Registry.Active.store(false, std::memory_order_relaxed);
    // A root that does not fit names no key of ours: no trace then.
    int length = registryRoot != nullptr ? lstrlenW(registryRoot) : 0;
    if (length >= TRACE_ROOT_MAX)
        length = 0;
    bool same = TraceRoot[length] == 0;
    for (int i = 0; same && i < length; i++)
        same = TraceRoot[i] == registryRoot[i];
    if (!same) {
        for (int i = 0; i < length; i++)
            TraceRoot[i] = registryRoot[i];
        TraceRoot[length] = 0;
    }
    ReadTraceLevel();
}

void SetTraceRegistry(PMONITORINIT init) {
    DWORD error = GetLastError();
    Registry.Active.store(false, std::memory_order_relaxed);
    Registry.Answers = false;
    Registry.QueryValue = nullptr;
    Registry.Spooler = nullptr;
    Registry.Root = nullptr;
    if (init == nullptr) {
        SetLastError(error);
        return;
    }
    Registry.Active.store(true, std::memory_order_relaxed);
    Registry.Spooler = init->hSpooler;
    Registry.Root = init->hckRegistryRoot;
    PMONITORREG reg = init->cbSize >= offsetof(MONITORINIT, pMonitorReg) + sizeof(void *)
                          ? init->pMonitorReg
                          : nullptr;
    if (reg != nullptr && reg->cbSize >= offsetof(MONITORREG, fpQueryValue) + sizeof(void *))
        Registry.QueryValue = reg->fpQueryValue;

    // Through the spooler's functions when they answer, else through the
    // Win32 registry on the key handed over (read now: it may be closed later).
    DWORD type = 0, value = 0, size = sizeof(value);
    LONG result = ERROR_CALL_NOT_IMPLEMENTED;
    if (Registry.QueryValue != nullptr && Registry.Root != nullptr)
        result = Registry.QueryValue(Registry.Root, WSTR("TraceLevel"), &type, (PBYTE)&value, &size,
                                     Registry.Spooler);
    Registry.Answers = result != ERROR_CALL_NOT_IMPLEMENTED;
    if (!Registry.Answers && Registry.Root != nullptr) {
        size = sizeof(value);
        result = RegQueryValueExW((HKEY)Registry.Root, WSTR("TraceLevel"), nullptr, &type,
                                  (LPBYTE)&value, &size);
    }
    StoreLevel(LevelOf(result, type, value, size));
    SetLastError(error);
}

void ReadTraceLevel() {
    DWORD error = GetLastError();
    DWORD type = 0, value = 0, size = sizeof(value);
    if (Registry.Active.load(std::memory_order_relaxed)) {
        // Without answering functions the level read at start-up stays.
        if (Registry.Answers) {
            LONG answer = Registry.QueryValue(Registry.Root, WSTR("TraceLevel"), &type,
                                              (PBYTE)&value, &size, Registry.Spooler);
            StoreLevel(LevelOf(answer, type, value, size));
        }
        SetLastError(error);
        return;
    }
    LONG result = TraceRoot[0] == 0
                      ? (LONG)ERROR_FILE_NOT_FOUND
                      : ReadRegistryValue(HKEY_LOCAL_MACHINE, TraceRoot, WSTR("TraceLevel"), &type,
                                          (LPBYTE)&value, &size);
    StoreLevel(LevelOf(result, type, value, size));
    SetLastError(error);
}

// ---------------------------------------------------------------- the line

// Room left in the line, the terminator and the line break kept back.
struct LineBuffer {
    WCHAR Text[TRACE_LINE_MAX];
    int Used;
};

static int Room(const LineBuffer &line) {
    return TRACE_LINE_MAX - 2 - line.Used;
}

static void AppendWide(LineBuffer &line, LPCWSTR text) {
    if (text == nullptr)
        text = WSTR("(null)");
    while (*text != 0 && Room(line) > 0)
        line.Text[line.Used++] = *text++;
}

// ANSI text (model, device ID, library names) as the system converts it;
// a text longer than the room left is cut.
static void AppendNarrow(LineBuffer &line, LPCSTR text) {
    if (text == nullptr) {
        AppendWide(line, nullptr);
        return;
    }
    int length = 0;
    while (text[length] != 0 && length < Room(line))
        length++;
    if (length == 0)
        return;
    int converted = MultiByteToWideChar(CP_ACP, 0, text, length, line.Text + line.Used, Room(line));
    if (converted > 0)
        line.Used += converted;
}

static void AppendNumber(LineBuffer &line, unsigned long long value, unsigned base) {
    WCHAR digits[24];
    int count = 0;
    do {
        unsigned digit = (unsigned)(value % base);
        digits[count++] = (WCHAR)(digit < 10 ? '0' + digit : 'a' + digit - 10);
        value /= base;
    } while (value != 0);
    while (count > 0 && Room(line) > 0)
        line.Text[line.Used++] = digits[--count];
}

static void AppendValue(LineBuffer &line, char conversion, const TraceArg &arg) {
    switch (arg.ArgKind) {
    case TraceArg::Narrow:
        AppendNarrow(line, (LPCSTR)arg.Text);
        return;
    case TraceArg::Wide:
        AppendWide(line, (LPCWSTR)arg.Text);
        return;
    case TraceArg::None:
        AppendWide(line, WSTR("?"));
        return;
    default:
        break;
    }
    if (conversion == 'x') {
        AppendWide(line, WSTR("0x"));
        AppendNumber(line, arg.ArgKind == TraceArg::Signed ? (DWORD)arg.Number : arg.Number, 16);
        return;
    }
    if (arg.ArgKind == TraceArg::Signed && (long long)arg.Number < 0) {
        AppendWide(line, WSTR("-"));
        AppendNumber(line, 0 - arg.Number, 10);
        return;
    }
    AppendNumber(line, arg.Number, 10);
}

void TraceLine(PortHead *entry, LPCSTR format, const TraceArg *args, DWORD count) {
    // Nothing the trace calls may change the caller's last error.
    DWORD error = GetLastError();
    LineBuffer line;
    line.Used = 0;
    AppendNarrow(line, RecordInfo.TraceName);
    if (entry != nullptr) {
        AppendWide(line, WSTR(" ["));
        AppendWide(line, entry->PortName);
        AppendWide(line, WSTR("] "));
    } else {
        AppendWide(line, WSTR(": "));
    }

    // The format, with each conversion replaced by the next value.
    DWORD next = 0;
    for (LPCSTR p = format; *p != 0 && Room(line) > 0; p++) {
        if (p[0] == '%' && (p[1] == 'u' || p[1] == 'd' || p[1] == 'x' || p[1] == 's')) {
            AppendValue(line, p[1], next < count ? args[next] : TraceArg());
            next++;
            p++;
            continue;
        }
        line.Text[line.Used++] = (WCHAR)(unsigned char)*p;
    }
    line.Text[line.Used++] = '\n';
    line.Text[line.Used] = 0;
    OutputDebugStringW(line.Text);
    SetLastError(error);
}
