// Quennet's response dispatcher (DispatchTklItems) on arbitrary item arrays,
// as a broken parser library could hand them over: missing value arrays,
// value counts that do not match, values of unknown types, null strings,
// string lengths that claim more or less than the text holds, long job tags,
// job ids of every kind, and reports in any order. The status agent behind
// it reads every item of every report it is handed.
#include "fuzz_input.h"
#include "quennet.h"
#include "wintest.h"

#include <cstdlib>
#include <deque>
#include <vector>

extern "C" LPMONITOREX WINAPI InitializePrintMonitor(LPWSTR registryRoot);

namespace {

// Item codes worth choosing often: those the dispatcher acts on.
const DWORD Codes[] = {208, 215, 216, 220, 221, 222, 223, 268, 0x10003, 0x10004, 0x10040};
const LONG Numbers[] = {0, 1, 3, 4, 10002, 10030, 10031, 30010, 15002, 12000, -3, 0x7FFFFFFF};

PortEntry *Entry() {
    static PortEntry *entry = [] {
        InitializePrintMonitor(nullptr);
        PlatSetLibraryPath(FUZZ_LIBRARY_FOLDERS);
        PlatRegistryOpen("", nullptr);
        static MONITOR table = {};
        WString port = WSTR("LPT1:"), printer = WSTR("Fuzz printer");
        HANDLE handle = nullptr;
        if (!OpenPortEx(port.data(), printer.data(), &handle, &table))
            abort();
        return (PortEntry *)handle;
    }();
    return entry;
}

// A string value: from the input, or a job tag ("+", a destination padded
// to 29 characters, hexadecimal digits), or a long run of one character.
std::string MakeText(FuzzInput &input) {
    switch (input.Byte() % 4) {
    case 0:
        return input.Bytes(input.Byte());
    case 1: {
        std::string tag = "+" + input.Bytes(3);
        tag.resize(30, ' ');
        return tag + input.Bytes(input.Byte() % 12);
    }
    case 2:
        return std::string(input.Word() % 2048, (char)input.Byte());
    default:
        return "";
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput input(data, size);
    PortEntry *e = Entry();

    // The port's state: model, agent, pending job ids.
    uint8_t settings = input.Byte();
    EnterMonitorLock();
    if (e->Model != nullptr)
        GlobalFree(e->Model);
    e->Model = DupNarrow((settings & 1) ? "RVT-101" : "RVT-201");
    LeaveMonitorLock();
    if (settings & 2)
        SetFlags(e, AgentActive | ThreadRunning | KeepPolling);
    else
        ClearFlags(e, AgentActive | ThreadRunning | KeepPolling);
    for (int ids = input.Byte() % 4; ids > 0; ids--)
        PushJobId(e, input.Byte() % 4 == 0 ? input.Dword() : (DWORD)(input.Byte() % 8));

    // The items; every text lives in a block of exactly its size.
    std::deque<std::vector<char>> texts;
    std::deque<std::vector<TklValue>> values;
    std::vector<TklItem> items(input.Byte() % 24);
    for (TklItem &item : items) {
        uint8_t choice = input.Byte();
        item.Code = choice < 200 ? Codes[choice % (sizeof Codes / sizeof Codes[0])] : input.Dword();
        item.Size = input.Byte();
        item.ValueCount = input.Byte() % 5;
        DWORD stored = item.ValueCount;
        // A count that claims more values than the array has is a parser
        // that breaks its own contract: not tried. A null array is.
        if (input.Byte() % 8 == 0) {
            item.Values = nullptr;
            continue;
        }
        if (stored == 0)
            continue;
        values.emplace_back(stored);
        item.Values = values.back().data();
        for (TklValue &value : values.back()) {
            value.Type = (WORD)(input.Byte() % 6);
            if (value.Type == TKL_TYPE_STRING) {
                uint8_t how = input.Byte();
                if (how % 8 == 0) {
                    value.Data.Text = nullptr;
                    value.Length = (WORD)input.Byte();
                    continue;
                }
                std::string text = MakeText(input);
                texts.emplace_back(text.begin(), text.end());
                texts.back().push_back(0);
                value.Data.Text = texts.back().data();
                // Mostly the true length; sometimes more or less than that.
                value.Length = how % 4 == 1 ? (WORD)input.Word() : (WORD)text.size();
            } else {
                uint8_t how = input.Byte();
                value.Data.Number = how < 128 ? Numbers[how % (sizeof Numbers / sizeof Numbers[0])]
                                              : (LONG)input.Dword();
                value.Length = 4;
            }
        }
    }

    DispatchTklItems(e, items.data(), (DWORD)items.size());

    RemoveJobIds(e, ALL_JOB_IDS, FALSE);
    return 0;
}
