// The spooler's client calls on POSIX: the in-process record
// (platform/common/spooler_record.cpp).
#include "internal.h"

BOOL WINAPI OpenPrinterW(LPWSTR printerName, LPHANDLE printer, LPPRINTER_DEFAULTSW defaults) {
    return winplat::RecordOpenPrinter(printerName, printer);
}

BOOL WINAPI SetJobW(HANDLE printer, DWORD jobId, DWORD level, LPBYTE job, DWORD command) {
    return winplat::RecordSetJob(printer, jobId, command);
}

BOOL WINAPI ClosePrinter(HANDLE printer) {
    return winplat::RecordClosePrinter(printer);
}
