// The status agent library "RAVODIR.DLL": its export and its five calls.
// Shared by the monitors and the reference agent in companions/agent.
#pragma once

#include "tkl_types.h"
#include "win32.h"

#define AGENT_DLL WSTR("RAVODIR.DLL")
#define AGENT_EXPORT "Vorl_LMGetEntryPoints"
#define AGENT_INTERFACE_VERSION 0x200
// Printer and port names reach the agent as ANSI text in buffers of this size.
#define AGENT_NAME_BUFFER 260

// Negative: hold the job; otherwise accepted, bit 0x10000 asks to cancel it.
typedef LONG(WINAPI *PFN_AgentJobStart)(LPSTR printer, LPSTR port, LPSTR model, DWORD jobId,
                                        DWORD reserved1, DWORD reserved2);
typedef LONG(WINAPI *PFN_AgentJobEnd)(LPSTR printer, LPSTR port, DWORD jobId);
// Non-zero: no more reports for this job.
typedef LONG(WINAPI *PFN_AgentJobStatus)(LPSTR printer, LPSTR port, DWORD jobId, DWORD code,
                                         DWORD reserved1, DWORD reserved2);
typedef LONG(WINAPI *PFN_AgentJobItems)(LPSTR printer, LPSTR port, DWORD statusWord,
                                        DWORD itemCount, TklItem *items);
// 0: reports are wanted for the starting job.
typedef LONG(WINAPI *PFN_AgentQuery)(void);

typedef struct AgentEntryPoints {
    PFN_AgentJobStart AgentJobStart;
    PFN_AgentJobEnd AgentJobEnd;
    PFN_AgentJobStatus AgentJobStatus;
    PFN_AgentJobItems AgentJobItems;
    PFN_AgentQuery AgentQuery;
} AgentEntryPoints;

// Fills `table` (of `tableSize` bytes); the monitors ignore the result.
typedef LONG(WINAPI *PFN_Vorl_LMGetEntryPoints)(DWORD version, DWORD tableSize,
                                                AgentEntryPoints *table);

// Status codes passed to AgentJobStatus.
#define AGENT_STATUS_DATA_STARTED 0x10u
#define AGENT_STATUS_JOB_END 0x80u
#define AGENT_STATUS_CANCELLED 0x100u
#define AGENT_STATUS_JOB_DONE 0x1000100u
#define AGENT_STATUS_JOB_TAG 0x2800000u
#define AGENT_STATUS_SEND_FAILED 0x20000000u
// Bit of an AgentJobStart answer that asks to cancel the job.
#define AGENT_REPLY_CANCEL 0x10000
