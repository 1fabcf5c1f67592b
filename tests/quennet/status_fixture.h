// What the status-channel tests (dispatcher, reader, status thread) share: a
// real port record opened on the fake port monitor with the scriptable agent
// loaded and the parser library on the loader's path, job-language text and
// hand-built item arrays, and reading back the per-port registry values.
#pragma once

#include "agent_double_state.h"
#include "fake_port_monitor.h"
#include "monitor_loader.h"
#include "quennet.h"
#include "shipped_monitor.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <vector>

extern "C" LPMONITOREX WINAPI InitializePrintMonitor(LPWSTR registryRoot);

// The job tag a printer reports a job by: "+", "LPT" left-aligned in 29
// characters, then the job id in 8 hexadecimal digits.
inline std::string JobTag(DWORD jobId, const char *destination = "LPT") {
    char text[64];
    snprintf(text, sizeof text, "+%-29s%08X", destination, (unsigned)jobId);
    return text;
}

// One TKL response line for an item with one string value, and one with
// integer values.
inline std::string TklString(DWORD code, const std::string &value) {
    return "@TKL " + std::to_string(code) + " = \"" + value + "\"\n";
}
inline std::string TklNumber(DWORD code, long value) {
    return "@TKL " + std::to_string(code) + " = " + std::to_string(value) + "\n";
}
// A whole response reporting the end of a job.
inline std::string JobDoneResponse(DWORD jobId) {
    return TklString(216, JobTag(jobId)) + "\f";
}

// Item arrays built by hand, as the parser would hand them over; the
// builder owns the values and texts.
class Items {
  public:
    Items &Add(DWORD code, std::vector<TklValue> values) {
        values_.push_back(std::move(values));
        TklItem item{};
        item.Code = code;
        item.ValueCount = (DWORD)values_.back().size();
        item.Values = values_.back().empty() ? nullptr : values_.back().data();
        items_.push_back(item);
        return *this;
    }
    Items &Number(DWORD code, LONG value, WORD type = TKL_TYPE_INT1) {
        return Add(code, {NumberValue(value, type)});
    }
    Items &String(DWORD code, const std::string &text) { return Add(code, {StringValue(text)}); }
    // An item whose value array pointer is null, whatever its count says.
    Items &NoValues(DWORD code, DWORD claimedCount = 1) {
        TklItem item{};
        item.Code = code;
        item.ValueCount = claimedCount;
        items_.push_back(item);
        return *this;
    }

    TklValue NumberValue(LONG value, WORD type = TKL_TYPE_INT1) {
        TklValue v{};
        v.Type = type;
        v.Length = 4;
        v.Data.Number = value;
        return v;
    }
    // A string value; `length` overrides the length field (to claim more or
    // fewer characters than the text has).
    TklValue StringValue(const std::string &text, int length = -1) {
        texts_.push_back(text);
        TklValue v{};
        v.Type = TKL_TYPE_STRING;
        v.Length = (WORD)(length < 0 ? text.size() : (size_t)length);
        v.Data.Text = texts_.back().data();
        return v;
    }

    TklItem *Data() { return items_.data(); }
    DWORD Count() const { return (DWORD)items_.size(); }
    TklItem &operator[](size_t i) { return items_[i]; }

  private:
    std::vector<TklItem> items_;
    std::deque<std::vector<TklValue>> values_;
    std::deque<std::string> texts_;
};

// A port record opened through OpenPortEx on the fake port monitor, with the
// scriptable agent loaded and the parser library reachable.
class StatusFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_TEST_HOOKS();
        InitializePrintMonitor(nullptr);
        AgentDouble::Reset();
        PlatSetLibraryPath(AgentFolderPath(AgentFolder::Double) + ":" + QUENNET_COMPANION_FOLDER);
        ASSERT_TRUE(PlatRegistryOpen("", nullptr));
        PlatSpoolerReset();
        PlatSpoolerAddPrinter(WSTR("Printer"));
        PlatSetClockScale(1.0);
    }

    void TearDown() override {
        if (port_ != nullptr)
            ClosePort(port_);
        PlatSetClockScale(1.0);
        PlatFailAllocation(0);
    }

    // Opens "LPT1:" for "Printer"; the port monitor's port is opened too, so
    // the record has a handle for reads.
    PortEntry *OpenEntry(const char *model = nullptr) {
        WString port = WSTR("LPT1:"), printer = WSTR("Printer");
        if (!OpenPortEx(port.data(), printer.data(), &port_, portMonitor_.Table()))
            return nullptr;
        PortEntry *e = (PortEntry *)port_;
        PortOpen(e);
        if (model != nullptr)
            SetModel(e, model);
        portMonitor_.ClearCalls();
        AgentDouble::ClearCalls();
        return e;
    }

    static void SetModel(PortEntry *e, const char *model) {
        EnterMonitorLock();
        if (e->Model != nullptr)
            GlobalFree(e->Model);
        e->Model = DupNarrow(model);
        LeaveMonitorLock();
    }

    // Pending job ids, head (newest) first.
    static std::vector<DWORD> PendingIds(PortEntry *e) {
        std::vector<DWORD> ids;
        EnterMonitorLock();
        for (JobIdNode *node = e->JobIds; node != nullptr; node = node->Next)
            ids.push_back(node->JobId);
        LeaveMonitorLock();
        return ids;
    }
    // Pushes the ids oldest first, so the last one becomes the head.
    static void Pending(PortEntry *e, std::initializer_list<DWORD> oldestFirst) {
        for (DWORD id : oldestFirst)
            ASSERT_TRUE(PushJobId(e, id));
    }

    // (job id, code) of every AgentJobStatus call in order.
    static std::vector<std::pair<DWORD, DWORD>> StatusCalls() {
        std::vector<std::pair<DWORD, DWORD>> calls;
        for (const AgentDouble::Call &call : AgentDouble::Calls("AgentJobStatus"))
            calls.emplace_back(call.JobId, call.Code);
        return calls;
    }

    // A value under HKLM\SOFTWARE\Morvane\TallowII\Ports\<port>, as text;
    // `type` receives its type. "<missing>" when it cannot be read.
    static std::string PortValue(const char *port, const char *name, DWORD *type = nullptr) {
        WString key = WSTR("SOFTWARE\\Morvane\\TallowII\\Ports\\") + PlatWide(port);
        HKEY handle = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS)
            return "<missing>";
        WCHAR data[600] = {};
        DWORD size = sizeof(data) - sizeof(WCHAR), valueType = 0;
        LONG result = RegQueryValueExW(handle, PlatWide(name).c_str(), nullptr, &valueType,
                                       (LPBYTE)data, &size);
        RegCloseKey(handle);
        if (result != ERROR_SUCCESS)
            return "<missing>";
        if (type != nullptr)
            *type = valueType;
        return PlatNarrow(WString(data));
    }

    // Waits (real time, bounded) until `done` holds.
    static bool WaitFor(const std::function<bool()> &done, int seconds = 20) {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (!done()) {
            if (std::chrono::steady_clock::now() > until)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    FakePortMonitor portMonitor_;
    HANDLE port_ = nullptr;
};
