// The transport library "DARUZUROZ.DLL": counted per open port, loaded with
// the first and freed after the last, and reached through wrappers that give
// a fixed answer for a missing export.
#include "brantic.h"

// Written under MonitorLock; a port's wrappers read the table without it.
// The library is freed only when no port is open, so no wrapper can be
// using a slot then; atomic accesses keep the reads coherent.
static HMODULE TransportLibrary = nullptr;
static DWORD TransportUsers = 0;
static TransportEntryPoints TransportTable;

template <class F> static F Slot(F &slot) {
    return std::atomic_ref<F>(slot).load();
}
template <class F> static void SetSlot(F &slot, F value) {
    std::atomic_ref<F>(slot).store(value);
}

// Fills every slot from `library`, or clears them all for null.
static void FillSlots(HMODULE library) {
    auto proc = [library](LPCSTR name) {
        return library != nullptr ? GetProcAddress(library, name) : nullptr;
    };
    SetSlot(TransportTable.CreateSocket, ProcAs<PFN_ZLT_CreateSocket>(proc("ZLT_CreateSocket")));
    SetSlot(TransportTable.Bind, ProcAs<PFN_ZLT_Bind>(proc("ZLT_Bind")));
    SetSlot(TransportTable.GetSockedID, ProcAs<PFN_ZLT_GetSockedID>(proc("ZLT_GetSockedID")));
    SetSlot(TransportTable.Connect, ProcAs<PFN_ZLT_Connect>(proc("ZLT_Connect")));
    SetSlot(TransportTable.CloseSocket, ProcAs<PFN_ZLT_CloseSocket>(proc("ZLT_CloseSocket")));
    SetSlot(TransportTable.Recv, ProcAs<PFN_ZLT_Recv>(proc("ZLT_Recv")));
    SetSlot(TransportTable.Send, ProcAs<PFN_ZLT_Send>(proc("ZLT_Send")));
    SetSlot(TransportTable.GetChannelCapability,
            ProcAs<PFN_ZLT_GetChannelCapability>(proc("ZLT_GetChannelCapability")));
    SetSlot(TransportTable.SetTimeout, ProcAs<PFN_ZLT_SetTimeout>(proc("ZLT_SetTimeout")));
    SetSlot(TransportTable.GetTimeout, ProcAs<PFN_ZLT_GetTimeout>(proc("ZLT_GetTimeout")));
}

BOOL TransportLoaded() {
    return std::atomic_ref<HMODULE>(TransportLibrary).load() != nullptr;
}

DWORD TransportUserCount() {
    EnterMonitorLock();
    DWORD users = TransportUsers;
    LeaveMonitorLock();
    return users;
}

void LoadTransport() {
    // A failed load is no error: the next port tries again.
    if (!TransportLoaded()) {
        HMODULE library = LoadLibraryW(TRANSPORT_DLL);
        if (library != nullptr) {
            FillSlots(library);
            std::atomic_ref<HMODULE>(TransportLibrary).store(library);
            TRACE(TRACE_DECISIONS, nullptr, "transport DARUZUROZ.DLL loaded%s",
                  Slot(TransportTable.Send) == nullptr ? ", but lacks the export ZLT_Send" : "");
        } else {
            TRACE(TRACE_DECISIONS, nullptr,
                  "transport DARUZUROZ.DLL missing (error %u): LPT1 jobs use the port monitor",
                  GetLastError());
        }
    }
    // Every open port counts, loaded library or not.
    TransportUsers++;
}

void UnloadTransport() {
    if (TransportUsers > 0)
        TransportUsers--;
    if (TransportUsers != 0 || !TransportLoaded())
        return;
    // Mark it gone and clear the table before the code goes away.
    HMODULE library = TransportLibrary;
    std::atomic_ref<HMODULE>(TransportLibrary).store(nullptr);
    FillSlots(nullptr);
    FreeLibrary(library);
}

// ---------------------------------------------------------------- slot wrappers
// The calls whose failure the monitor reports through the last error say
// that the export is missing.

WORD TransportCreateSocket() {
    PFN_ZLT_CreateSocket call = Slot(TransportTable.CreateSocket);
    if (call == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return TRANSPORT_NO_SOCKET;
    }
    return call();
}

int TransportBind(WORD socket, ChannelBindAddress *address) {
    PFN_ZLT_Bind call = Slot(TransportTable.Bind);
    if (call == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return -1;
    }
    return call(socket, address);
}

int TransportGetSockedID(WORD socket) {
    PFN_ZLT_GetSockedID call = Slot(TransportTable.GetSockedID);
    return call != nullptr ? call(socket) : -1;
}

int TransportConnect(WORD socket, ChannelConnectAddress *address) {
    PFN_ZLT_Connect call = Slot(TransportTable.Connect);
    if (call == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return -1;
    }
    return call(socket, address);
}

int TransportCloseSocket(WORD socket) {
    PFN_ZLT_CloseSocket call = Slot(TransportTable.CloseSocket);
    return call != nullptr ? call(socket) : -1;
}

int TransportRecv(WORD socket, LPBYTE buffer, DWORD count) {
    PFN_ZLT_Recv call = Slot(TransportTable.Recv);
    return call != nullptr ? call(socket, buffer, count) : -1;
}

int TransportSend(WORD socket, LPBYTE data, DWORD count) {
    PFN_ZLT_Send call = Slot(TransportTable.Send);
    return call != nullptr ? call(socket, data, count) : -1;
}

int TransportGetChannelCapability(WORD socket, DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                                  DWORD outSize, LPDWORD returned) {
    PFN_ZLT_GetChannelCapability call = Slot(TransportTable.GetChannelCapability);
    return call != nullptr ? call(socket, code, in, inSize, out, outSize, returned) : -1;
}

int TransportSetTimeout(WORD socket, DWORD first, DWORD second) {
    PFN_ZLT_SetTimeout call = Slot(TransportTable.SetTimeout);
    return call != nullptr ? call(socket, first, second) : 0;
}

int TransportGetTimeout(WORD socket, LPDWORD first, LPDWORD second) {
    PFN_ZLT_GetTimeout call = Slot(TransportTable.GetTimeout);
    return call != nullptr ? call(socket, first, second) : 0;
}
