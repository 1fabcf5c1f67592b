// The one header that monitor code includes for the Win32 API.
//
// On Windows it is the SDK. Elsewhere it declares the small subset the
// monitors, the companion libraries and the spooler host use, under the
// Windows names, implemented by the shared library `winplat` (platform/posix).
#pragma once

#ifdef _WIN32

#include <winsock.h>
#include <windows.h>
#include <winnetwk.h>
#include <winspool.h>
#include <winsplp.h>

#define WSTR(s) L##s

#else // POSIX

#include "posix/win32_posix.h"

#endif

// Parallel port driver request for the IEEE 1284 device ID.
#ifndef IOCTL_PAR_QUERY_DEVICE_ID
#define IOCTL_PAR_QUERY_DEVICE_ID 0x16000C
#endif

#ifndef JOB_CONTROL_SENT_TO_PRINTER
#define JOB_CONTROL_SENT_TO_PRINTER 6
#endif
#ifndef JOB_CONTROL_LAST_PAGE_EJECTED
#define JOB_CONTROL_LAST_PAGE_EJECTED 7
#endif

// The NT 4.0 MONITOR table is the first 14 slots of the SDK's (which adds
// three Xcv functions after pfnSetPortTimeOuts).
#define NT4_MONITOR_SLOTS 14
#define NT4_MONITOR_SIZE (NT4_MONITOR_SLOTS * sizeof(void *))

// Exported, undecorated names of a DLL (the .def file keeps them undecorated
// on 32-bit Windows; elsewhere only these symbols leave the shared object).
#ifdef _WIN32
#define DLLEXPORT extern "C"
#else
#define DLLEXPORT extern "C" __attribute__((visibility("default")))
#endif
