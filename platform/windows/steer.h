// Included first into every source of a Windows test program (and into the
// monitor code built into such a program), never into what ships: the
// program's own calls of the functions the POSIX layer steers reach the test
// hooks (test clock, allocation faults, spooler record, loader folders and
// counts, the profile and network connections read from the registry). The libraries the program
// loads are steered through their import tables instead (steering.cpp), so the shipped DLLs run
// byte for byte.
#pragma once

#include "../win32.h"

DWORD WINAPI SteeredGetTickCount(void);
VOID WINAPI SteeredSleep(DWORD milliseconds);
DWORD WINAPI SteeredWaitForSingleObject(HANDLE handle, DWORD milliseconds);

HGLOBAL WINAPI SteeredGlobalAlloc(UINT flags, SIZE_T bytes);
HGLOBAL WINAPI SteeredGlobalFree(HGLOBAL mem);
HLOCAL WINAPI SteeredLocalAlloc(UINT flags, SIZE_T bytes);
HLOCAL WINAPI SteeredLocalFree(HLOCAL mem);
LPVOID WINAPI SteeredHeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
BOOL WINAPI SteeredHeapFree(HANDLE heap, DWORD flags, LPVOID mem);

HANDLE WINAPI SteeredCreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset,
                                  BOOL initialState, LPCWSTR name);
HANDLE WINAPI SteeredCreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize,
                                  LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                                  LPDWORD threadId);

BOOL WINAPI SteeredOpenPrinterW(LPWSTR printerName, LPHANDLE printer, LPPRINTER_DEFAULTSW defaults);
BOOL WINAPI SteeredSetJobW(HANDLE printer, DWORD jobId, DWORD level, LPBYTE job, DWORD command);
BOOL WINAPI SteeredClosePrinter(HANDLE printer);

UINT WINAPI SteeredGetProfileIntW(LPCWSTR section, LPCWSTR key, INT defaultValue);
DWORD WINAPI SteeredWNetGetConnectionW(LPCWSTR localName, LPWSTR remoteName, LPDWORD length);

VOID WINAPI SteeredOutputDebugStringW(LPCWSTR text);

HMODULE WINAPI SteeredLoadLibraryW(LPCWSTR name);
HMODULE WINAPI SteeredLoadLibraryA(LPCSTR name);
BOOL WINAPI SteeredFreeLibrary(HMODULE module);
VOID WINAPI SteeredFreeLibraryAndExitThread(HMODULE module, DWORD exitCode);

#ifndef STEERING_IMPLEMENTATION
#define GetTickCount SteeredGetTickCount
#define Sleep SteeredSleep
#define WaitForSingleObject SteeredWaitForSingleObject
#define GlobalAlloc SteeredGlobalAlloc
#define GlobalFree SteeredGlobalFree
#define LocalAlloc SteeredLocalAlloc
#define LocalFree SteeredLocalFree
#define HeapAlloc SteeredHeapAlloc
#define HeapFree SteeredHeapFree
#define CreateEventW SteeredCreateEventW
#define CreateThread SteeredCreateThread
#define OpenPrinterW SteeredOpenPrinterW
#define SetJobW SteeredSetJobW
#define ClosePrinter SteeredClosePrinter
#define GetProfileIntW SteeredGetProfileIntW
#define WNetGetConnectionW SteeredWNetGetConnectionW
#define OutputDebugStringW SteeredOutputDebugStringW
#define LoadLibraryW SteeredLoadLibraryW
#define LoadLibraryA SteeredLoadLibraryA
#define FreeLibrary SteeredFreeLibrary
#define FreeLibraryAndExitThread SteeredFreeLibraryAndExitThread
#endif
