// FakePortMonitor: a scriptable port monitor to pass to a language monitor's
// OpenPortEx. Its MONITOR table records every call in order and answers as
// the test scripts it.
//
// One instance at a time: the MONITOR functions have no context pointer, so
// the constructor makes the new object the process's current one (Current())
// and the destructor clears it. Create it at the start of a test (a member of
// the fixture) and let it outlive every port opened with its table. All
// methods are thread-safe (a status thread may read while a spooler thread
// writes).
//
//   FakePortMonitor pm;
//   pm.FailCall(PortFn::OpenPort, 1, ERROR_ACCESS_DENIED); // first open fails
//   pm.SetWriteCap(10);                                    // 10 bytes per write at most
//   pm.SetDeviceId("MFG:X;CMD:TKL;MDL:RVT-201;");
//   pm.QueueRead("@TKL ...\f");                            // what the printer says
//   monitor->pfnOpenPortEx(WSTR("LPT1:"), WSTR("P"), &port, pm.Table());
//   ...
//   EXPECT_EQ(pm.CallNames(), (std::vector<std::string>{"OpenPort", "StartDocPort"}));
//   EXPECT_EQ(pm.Written(), "job bytes");
//
// Answers:
// * OpenPort: a new handle (never null), TRUE. Calls naming a handle that is
//   not open (never opened, or closed) fail with ERROR_INVALID_HANDLE.
// * StartDocPort, EndDocPort, ClosePort, SetPortTimeOuts: TRUE.
// * WritePort: TRUE, accepting everything unless capped or scripted.
// * ReadPort: the queued chunks in order (a chunk larger than the buffer is
//   handed out over several reads); TRUE with 0 bytes when nothing is queued.
// * GetPrinterDataFromPort: IOCTL_PAR_QUERY_DEVICE_ID answers the device ID
//   bytes (no terminator, cut to the output size) once SetDeviceId was called;
//   other codes answer what SetPrinterData gave; anything else fails with
//   ERROR_NOT_SUPPORTED.
// * A call scripted to fail answers FALSE with the given last error (and 0
//   bytes for writes and reads); the call is still recorded.
#pragma once

#include "wintest.h"

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

enum class PortFn {
    OpenPort,
    StartDocPort,
    WritePort,
    ReadPort,
    EndDocPort,
    ClosePort,
    GetPrinterDataFromPort,
    SetPortTimeOuts,
};
// "OpenPort", "StartDocPort", ... (the MONITOR slot name without "pfn").
const char *PortFnName(PortFn fn);

// One call as the fake saw it. Strings are UTF-8 copies of the wide arguments.
struct PortMonitorCall {
    PortFn Function = PortFn::OpenPort;
    std::string Port; // OpenPort: the name passed; other calls: the name the handle was opened with
    HANDLE Handle = nullptr; // the handle passed; OpenPort: the handle returned (null on failure)
    // StartDocPort
    std::string Printer;
    DWORD JobId = 0;
    DWORD Level = 0;
    bool HasDocInfo = false; // a DOC_INFO_1 (at Level 2: DOC_INFO_2) pointer was passed
    std::string DocName, OutputFile, Datatype;
    DWORD DocMode = 0, DocJobId = 0; // DOC_INFO_2's dwMode and JobId, at Level 2
    bool HasDocName = false, HasOutputFile = false, HasDatatype = false;
    // WritePort: the bytes offered (Count of them) and how many were accepted.
    // ReadPort: Count is the buffer size, Data the bytes handed out.
    // GetPrinterDataFromPort: Count is the output size, Data the bytes returned.
    std::string Data;
    DWORD Count = 0;
    DWORD Transferred = 0; // bytes written / read / returned
    // GetPrinterDataFromPort
    DWORD ControlId = 0;
    bool HasValueName = false;
    std::string ValueName;
    DWORD InSize = 0;
    // SetPortTimeOuts
    COMMTIMEOUTS Timeouts = {};
    bool HasTimeouts = false;
    // The answer
    BOOL Result = FALSE;
    DWORD Error = 0; // last error set with a failure, 0 on success
    DWORD ThreadId = 0;
};

class FakePortMonitor {
  public:
    FakePortMonitor();
    ~FakePortMonitor();
    FakePortMonitor(const FakePortMonitor &) = delete;
    FakePortMonitor &operator=(const FakePortMonitor &) = delete;

    // The instance the MONITOR functions answer for (null when none).
    static FakePortMonitor *Current();

    // The table to pass to OpenPortEx: the port monitor's slots filled except
    // those removed; pfnOpenPortEx and the Xcv slots are null. The same
    // object every time; safe to call while other threads call through it.
    LPMONITOR Table();
    // Leaves the slot null in Table() (e.g. GetPrinterDataFromPort,
    // SetPortTimeOuts, ReadPort) / fills it again. Changes the table in
    // place: do it before the port is opened (OpenPortEx copies the table).
    void RemoveSlot(PortFn fn);
    void RestoreSlot(PortFn fn);

    // ------------------------------------------------------------ script
    // The nth call of `fn` (1-based, counted since construction or Reset)
    // and the following times - 1 calls fail with `error`; times = 0: every
    // call from the nth on fails.
    void FailCall(PortFn fn, unsigned nth, DWORD error, unsigned times = 1);
    // Each WritePort accepts at most `bytes` (0: no cap).
    void SetWriteCap(DWORD bytes);
    // The next WritePort calls accept these counts in order (cut to what was
    // offered); once used up, the cap applies again.
    void ScriptWrites(std::vector<DWORD> counts);
    // The device ID answered for IOCTL_PAR_QUERY_DEVICE_ID ("" answers TRUE
    // with 0 bytes).
    void SetDeviceId(const std::string &deviceId);
    void ClearDeviceId();
    // The answer for another GetPrinterDataFromPort control code.
    void SetPrinterData(DWORD controlId, const std::string &bytes);
    // Bytes for later ReadPort calls, one chunk per call (or more calls
    // when the buffer is smaller).
    void QueueRead(const std::string &chunk);
    // Called after each call is recorded, before it returns, on the calling
    // thread and without the fake's lock (it may block, or call the fake).
    void SetHook(std::function<void(const PortMonitorCall &)> hook);
    // Forgets calls, script, slots, hook and open handles.
    void Reset();

    // ------------------------------------------------------------ record
    std::vector<PortMonitorCall> Calls() const;
    std::vector<PortMonitorCall> Calls(PortFn fn) const;
    std::vector<std::string> CallNames() const;
    size_t CallCount(PortFn fn) const;
    // What reached "the printer": the accepted bytes of every WritePort in order.
    std::string Written() const;
    // Bytes still queued for ReadPort.
    size_t PendingReadBytes() const;
    // Handles opened and not yet closed.
    long OpenHandles() const;
    void ClearCalls();

    // ------------------------------------------------------------ the MONITOR functions
    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};
