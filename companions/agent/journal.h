// One JSON object a line: the reference agent's journal of the calls it
// receives. The builder escapes every text it is given, so a printer or port
// name with quotes, backslashes or control characters keeps the line valid.
#pragma once

#include <stdint.h>

#include <filesystem>
#include <string>

class JsonLine {
  public:
    JsonLine();
    // "name": "text" (escaped); a null text gives null.
    JsonLine &Text(const char *name, const char *text);
    JsonLine &Number(const char *name, int64_t value);
    // "name": "0x1A2B"
    JsonLine &Hex(const char *name, uint32_t value);
    // "name": <json> where json is already valid JSON (an array or object).
    JsonLine &Raw(const char *name, const std::string &json);
    // The finished object, without the line end.
    std::string Finish() const;

  private:
    void Key(const char *name);
    std::string Body;
};

// A JSON string literal for `text` (with its quotes). Bytes that do not form
// valid UTF-8 are taken as Latin-1 characters, so any ANSI text stays readable.
std::string JsonQuote(const char *text, size_t length);
std::string JsonQuote(const char *text);

// Appends `line` and a line end to the file at `path` (created when missing).
// FALSE when the file cannot be written.
bool AppendJournalLine(const std::filesystem::path &path, const std::string &line);
