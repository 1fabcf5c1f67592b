// The response reader: one read cycle of the status thread. It reads the
// printer's answers through the monitor's own ReadPort, cuts them at form
// feeds, has the parser library turn each response into items and hands
// them to the dispatcher.
#include "quennet.h"

#include <string.h>

#define FORM_FEED '\f'
// At most this much is asked for per read, so a terminating zero always fits.
#define READ_REQUEST (READ_BUFFER_SIZE - 1)
#define READ_PAUSE_MS 100
#define EMPTY_READS_TO_GIVE_UP 3
// A printer that never pauses must not keep the I/O turn: one cycle reads at
// most this often (19 pauses, under two seconds with the turn held) and at
// most as much as its buffer holds; the next cycle reads on, from the
// response that was still arriving.
#define READS_PER_CYCLE 20
#define BYTES_PER_CYCLE (ACCUMULATION_BUFFER_SIZE - 1)

DWORD ReadPrinterResponses(PortEntry *e) {
    BYTE readBuffer[READ_BUFFER_SIZE];
    DWORD accumulated = 0, consumed = 0, burst = 0, empties = 0, reads = 0, bytesRead = 0;

    // A writer waiting for this read sees it as not done until the thread says so.
    HANDLE readDone = LoadHandle(e->ReadDoneEvent);
    if (readDone != nullptr)
        ResetEvent(readDone);

    // The text received and not yet consumed, zero-terminated at its start:
    // first what the last cycle left when it reached its end.
    LPSTR text = (LPSTR)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, ACCUMULATION_BUFFER_SIZE);
    if (text == nullptr)
        return 0;
    if (e->ReadCarry != nullptr) {
        accumulated = e->ReadCarryLength;
        memcpy(text, e->ReadCarry, accumulated);
        DropReadCarry(e);
    }
    BOOL carry = FALSE;

    for (;;) {
        // Read at most a full request, and never more than the buffer can
        // still take with its terminator.
        DWORD room = ACCUMULATION_BUFFER_SIZE - 1 - accumulated;
        DWORD request = room < READ_REQUEST ? room : READ_REQUEST;
        DWORD count = 0;
        memset(readBuffer, 0, sizeof(readBuffer));
        if (!ReadPort((HANDLE)e, readBuffer, request, &count))
            count = 0;
        if (count > request)
            count = request; // a port monitor claiming more than it was given
        readBuffer[count] = 0;
        reads++;
        bytesRead += count;
        BOOL cycleDone = reads >= READS_PER_CYCLE || bytesRead >= BYTES_PER_CYCLE;

        // Keep the text. Zero bytes in a read carry nothing and would end the
        // text early, so they are left out and everything after them is kept.
        if (count != 0) {
            for (DWORD i = 0; i < count; i++) {
                if (readBuffer[i] != 0)
                    text[accumulated++] = (char)readBuffer[i];
            }
            text[accumulated] = 0;
            empties = 0;
            if (ModelContains(e, "RVT-102"))
                burst++;
        } else {
            burst = 0;
            empties++;
        }

        // Parse once the printer paused, after a burst of an "RVT-102", when
        // the buffer cannot take another full read, or before the cycle ends.
        BOOL full = ACCUMULATION_BUFFER_SIZE - accumulated <= READ_REQUEST;
        if (((burst >= 2 || count == 0 || cycleDone) && accumulated != 0) || full) {
            text[accumulated] = 0;
            if (!ParseResponseText(e, text, &consumed)) {
                consumed = 0;
                break;
            }
            if (consumed > accumulated)
                consumed = accumulated;
            if (consumed != 0)
                memmove(text, text + consumed, accumulated - consumed + 1);
            accumulated -= consumed;
            // A full buffer the parser could not shorten: no response fits in
            // it any more, so the text is dropped instead of read past.
            if (consumed == 0 && ACCUMULATION_BUFFER_SIZE - accumulated <= READ_REQUEST)
                break;
        }

        // Done when everything is consumed or the printer stays silent (what
        // is incomplete is dropped), or when the cycle has read its share (a
        // response still arriving waits for the next cycle).
        if (accumulated == 0 || (count == 0 && empties >= EMPTY_READS_TO_GIVE_UP))
            break;
        if (cycleDone) {
            carry = TRUE;
            break;
        }
        Sleep(READ_PAUSE_MS);
    }

    // The carried text, when there is memory for it.
    if (carry) {
        e->ReadCarry = (LPSTR)HeapAlloc(GetProcessHeap(), 0, accumulated);
        if (e->ReadCarry != nullptr) {
            memcpy(e->ReadCarry, text, accumulated);
            e->ReadCarryLength = accumulated;
        }
    }
    HeapFree(GetProcessHeap(), 0, text);
    return consumed;
}

void DropReadCarry(PortEntry *e) {
    if (e->ReadCarry != nullptr)
        HeapFree(GetProcessHeap(), 0, e->ReadCarry);
    e->ReadCarry = nullptr;
    e->ReadCarryLength = 0;
}

BOOL ParseResponseText(PortEntry *e, LPSTR text, LPDWORD consumed) {
    if (consumed == nullptr)
        return FALSE;
    *consumed = 0;
    if (text == nullptr)
        return FALSE;

    // One response at a time, up to and including its form feed.
    LPSTR segment = (LPSTR)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, SEGMENT_BUFFER_SIZE);
    if (segment == nullptr)
        return FALSE;

    BOOL parsed = TRUE;
    LPSTR position = text;
    while (*position != 0) {
        LPSTR next = NextResponseSegment(position, segment, SEGMENT_BUFFER_SIZE);
        if (segment[0] == 0) {
            // A response too long for the segment buffer was skipped whole:
            // count it as consumed so it leaves the text. Otherwise no
            // complete response is left.
            if (next != position && next[-1] == FORM_FEED) {
                *consumed += (DWORD)(next - position);
                position = next;
                continue;
            }
            break;
        }
        DWORD used = 0, count = 0;
        TklItem *items = nullptr;
        if (!ParseTklText(segment, &used, &items, &count)) {
            parsed = FALSE;
            break;
        }
        *consumed += used;
        DispatchTklItems(e, items, count);
        FreeTklItems(items, count);
        position = next;
    }

    HeapFree(GetProcessHeap(), 0, segment);
    return parsed;
}

LPSTR NextResponseSegment(LPSTR position, LPSTR segment, DWORD capacity) {
    if (segment == nullptr || capacity == 0)
        return position;
    segment[0] = 0;
    if (position == nullptr)
        return position;

    // Find the end of the response: its form feed, or the end of the text.
    DWORD length = 0;
    while (position[length] != 0 && position[length] != FORM_FEED)
        length++;
    if (position[length] == 0)
        return position + length; // incomplete: it waits for a later pass

    // The response with its form feed and a terminator, when it fits; a
    // longer one is passed over with the segment left empty.
    length++;
    if (length < capacity) {
        memcpy(segment, position, length);
        segment[length] = 0;
    }
    return position + length;
}

BOOL ParseTklText(LPSTR segment, LPDWORD consumed, TklItem **items, LPDWORD count) {
    if (segment == nullptr || consumed == nullptr || items == nullptr || count == nullptr)
        return FALSE;

    // The parser library is loaded around every single call.
    HMODULE library = LoadLibraryW(TKL_PARSER_DLL);
    if (library == nullptr) {
        TRACE(TRACE_DECISIONS, nullptr, "parser VEROVIRI.DLL missing (error %u): answers unread",
              GetLastError());
        return FALSE;
    }
    PFN_TklTextToItems parse =
        ProcAs<PFN_TklTextToItems>(GetProcAddress(library, TKL_TEXT_TO_ITEMS_EXPORT));
    if (parse == nullptr) {
        TRACE(TRACE_DECISIONS, nullptr, "parser VEROVIRI.DLL lacks the export %s",
              TKL_TEXT_TO_ITEMS_EXPORT);
        FreeLibrary(library);
        return FALSE;
    }
    TRACE(TRACE_CALLS, nullptr, "parser VEROVIRI.DLL loaded for an answer");

    // No two parser calls of the process overlap.
    DWORD length = (DWORD)strlen(segment);
    DWORD unconsumed = 0, itemCount = 0;
    TklItem *array = nullptr;
    EnterMonitorLock();
    DWORD result = parse(length, segment, &unconsumed, &itemCount, &array, 0);
    LeaveMonitorLock();
    FreeLibrary(library);

    if (result != 0)
        return FALSE;
    *consumed = length - (unconsumed < length ? unconsumed : length);
    *items = array;
    *count = array != nullptr ? itemCount : 0;
    return TRUE;
}
