// The shared fixture of Brantic's test programs.
#include "brantic_test.h"

const WString TransportDll = WSTR("DARUZUROZ.DLL");
const WString PrinterName = WSTR("Printer");

std::string TransportFolderPath(TransportFolder which) {
    switch (which) {
    case TransportFolder::Double:
        return QUENNET_DOUBLES_FOLDER "/transport";
    case TransportFolder::Partial:
        return QUENNET_DOUBLES_FOLDER "/transport_partial";
    case TransportFolder::Reference:
        return QUENNET_COMPANION_FOLDER;
    case TransportFolder::WithoutCreateSocket:
        return QUENNET_DOUBLES_FOLDER "/transport_no_createsocket";
    case TransportFolder::WithoutBind:
        return QUENNET_DOUBLES_FOLDER "/transport_no_bind";
    case TransportFolder::WithoutConnect:
        return QUENNET_DOUBLES_FOLDER "/transport_no_connect";
    case TransportFolder::Missing:
        break;
    }
    return QUENNET_DOUBLES_FOLDER "/no_transport";
}

void BranticTest::SetUp() {
    if (!PlatHasTestHooks())
        GTEST_SKIP() << "needs the platform layer's test hooks";
    ASSERT_NE(InitializePrintMonitor(nullptr), nullptr);
    ASSERT_TRUE(PlatRegistryOpen("", nullptr));
    PlatSpoolerReset();
    PlatSpoolerAddPrinter(PrinterName);
    // 100 ms waits of a write that cannot pass data last 0.1 ms.
    PlatSetClockScale(1000);
    AgentDouble::Reset();
    TransportDouble::Reset();
    UseLibraries(AgentFolder::Double, TransportFolder::Double);
    ASSERT_EQ(PortCount, 0u);
    ASSERT_EQ(TransportUserCount(), 0u);
    ASSERT_FALSE(TransportLoaded());
}

void BranticTest::TearDown() {
    // A skipped SetUp never initialised the monitor (nor its lock).
    if (!PlatHasTestHooks())
        return;
    for (HANDLE port : open_)
        ClosePort(port);
    open_.clear();
    EXPECT_EQ(PortCount, 0u);
    EXPECT_EQ(TransportUserCount(), 0u);
    EXPECT_EQ(PlatModuleRefCount(TransportDll), 0);
    PlatSetClockScale(1);
}

void BranticTest::UseLibraries(AgentFolder agent, TransportFolder transport) {
    PlatSetLibraryPath(AgentFolderPath(agent) + ":" + TransportFolderPath(transport));
}

PortEntry *BranticTest::Open(const WString &port, const WString &printer) {
    WString portName = port, printerName = printer;
    HANDLE handle = nullptr;
    if (!OpenPortEx(portName.data(), printerName.data(), &handle, pm_.Table()))
        return nullptr;
    open_.push_back(handle);
    return (PortEntry *)handle;
}

BOOL BranticTest::Close(PortEntry *e) {
    std::erase(open_, (HANDLE)e);
    return ClosePort(e);
}

BOOL BranticTest::Start(PortEntry *e, DWORD jobId, const WString &printer, DWORD level) {
    WString printerName = printer;
    DOC_INFO_2W info = {docName_.data(), nullptr, datatype_.data(), DI_CHANNEL, 0x5CA1};
    return StartDocPort(e, printerName.data(), jobId, level, (LPBYTE)&info);
}

DWORD BranticTest::Write(PortEntry *e, const std::string &data, BOOL *result) {
    std::string bytes = data;
    DWORD written = 0xdeadbeef;
    BOOL ok = WritePort(e, (LPBYTE)bytes.data(), (DWORD)bytes.size(), &written);
    if (result != nullptr)
        *result = ok;
    return written;
}

void BranticTest::SetString(HKEY root, const WString &key, const WString &name,
                            const WString &value) {
    HKEY handle = nullptr;
    ASSERT_EQ(RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &handle,
                              nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(handle, name.c_str(), 0, REG_SZ, (const BYTE *)value.c_str(),
                             (DWORD)((value.size() + 1) * sizeof(WCHAR))),
              ERROR_SUCCESS);
    RegCloseKey(handle);
}

void BranticTest::SetDword(HKEY root, const WString &key, const WString &name, DWORD value) {
    HKEY handle = nullptr;
    ASSERT_EQ(RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &handle,
                              nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(
        RegSetValueExW(handle, name.c_str(), 0, REG_DWORD, (const BYTE *)&value, sizeof(value)),
        ERROR_SUCCESS);
    RegCloseKey(handle);
}

void BranticTest::DeleteKey(HKEY root, const WString &key) {
    ASSERT_EQ(RegDeleteKeyW(root, key.c_str()), ERROR_SUCCESS);
}

void BranticTest::RedirectLpt1() {
    SetString(HKEY_CURRENT_USER, WSTR("Network\\LPT1"), WSTR("RemotePath"),
              WSTR("\\\\server\\printer"));
}

void BranticTest::MakeLprPort(const WString &port) {
    HKEY handle = nullptr;
    WString key =
        WSTR("SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\LPR Port\\Ports\\") + port;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &handle, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(handle);
}

void BranticTest::SetRetryTimeout(DWORD seconds) {
    SetDword(HKEY_CURRENT_USER, WSTR("Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows"),
             WSTR("TransmissionRetryTimeout"), seconds);
}

std::vector<DWORD> BranticTest::JobCommands(DWORD jobId) {
    return PlatSpoolerJobCommands(PrinterName, jobId);
}
