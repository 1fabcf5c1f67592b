// What Brantic's test programs share: a fixture that runs the monitor's own
// code (linked in, its own port table) against the fake port monitor, the
// agent double and the transport double, with an empty registry, a fresh
// spooler and a fast clock.
#pragma once

#include "agent_double_state.h"
#include "brantic.h"
#include "fake_port_monitor.h"
#include "monitor_loader.h"
#include "transport_double_state.h"
#include "shipped_monitor.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

enum class TransportFolder {
    Double,    // the scriptable double
    Partial,   // the double without GetChannelCapability, Send, SetTimeout, GetTimeout
    Missing,   // no DARUZUROZ at all
    Reference, // the reference transport of companions/
    // the double without one of the exports every channel open needs
    WithoutCreateSocket,
    WithoutBind,
    WithoutConnect,
};
std::string TransportFolderPath(TransportFolder which);

extern const WString TransportDll;
extern const WString PrinterName;

class BranticTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Which agent and transport the loader finds (choose before the first open).
    void UseLibraries(AgentFolder agent, TransportFolder transport);

    PortEntry *Open(const WString &port, const WString &printer = PrinterName);
    BOOL Close(PortEntry *e);
    // StartDocPort with a DOC_INFO_2 naming document `docName`, Level 1
    // (which reads its DOC_INFO_1 head) or `level`.
    BOOL Start(PortEntry *e, DWORD jobId, const WString &printer = PrinterName, DWORD level = 1);
    // WritePort of `data`; the bytes written out.
    DWORD Write(PortEntry *e, const std::string &data, BOOL *result = nullptr);

    // Registry set-up.
    static void SetString(HKEY root, const WString &key, const WString &name, const WString &value);
    static void SetDword(HKEY root, const WString &key, const WString &name, DWORD value);
    static void DeleteKey(HKEY root, const WString &key);
    static void RedirectLpt1(); // LPT1 connected to a network printer
    static void MakeLprPort(const WString &port);
    static void SetRetryTimeout(DWORD seconds);

    // SetJobW commands of one job of PrinterName.
    static std::vector<DWORD> JobCommands(DWORD jobId);

    FakePortMonitor pm_;
    std::vector<HANDLE> open_;
    WString docName_ = WSTR("Report");
    WString datatype_ = WSTR("RAW");
};
