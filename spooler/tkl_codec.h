// The job-language text as the simulated printer and the host see it. The
// text itself is made and read by the parser library "VEROVIRI.DLL" (loaded
// by name, as the monitor loads it), so the printer speaks exactly the syntax
// the monitor speaks; only the framing facts live here: a command or response
// block starts with the marker below and ends with a form feed.
#pragma once

#include "win32.h"

#include <string>
#include <vector>

// One value of an item, owned.
struct TklField {
    WORD Type = 1; // 0, 1, 2: number; 3: text
    LONG Number = 0;
    std::string Text;
    static TklField Int(LONG number, WORD type = 1);
    static TklField Str(const std::string &text);
};

// One item, owned.
struct TklEntry {
    DWORD Code = 0;
    std::vector<TklField> Values;
};

namespace tkl {

// What every block begins with, and what ends it.
extern const char BlockMarker[];
constexpr char FormFeed = '\f';

// Loads the parser library once for the process; FALSE (with a reason) when
// it or one of its exports is missing. The library stays loaded.
bool Load(std::string *error);
bool Loaded();

// Parses one block (up to and including its form feed) into items. FALSE when
// the parser is not loaded or does not accept the text.
bool Parse(const std::string &block, std::vector<TklEntry> *items);
// Composes items into one block (ending with a form feed).
bool Compose(const std::vector<TklEntry> &items, std::string *text);

// The job id in a notification tag: "+", a 29-character destination field
// ("LPT..." or "UDP..."), then 8 hexadecimal digits; surrounding double
// quotes are ignored. 0 when the text is no tag.
DWORD TagJobId(const std::string &text);
// The port form of a tag as a printer reports it back: "+%-29s%08X" with "LPT".
std::string PortTag(DWORD jobId);

// A readable one-line rendering of bytes: printable ASCII as it is, others
// escaped as \f, \r, \n, \t or \xHH.
std::string Printable(const std::string &bytes, size_t limit = 0);

} // namespace tkl
