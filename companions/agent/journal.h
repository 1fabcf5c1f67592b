// The reference agent's journal: one JSON object a line (nlohmann-json,
// fields in the order they are added, no spaces), appended per call.
#pragma once

#include <nlohmann/json.hpp>

#include <stdint.h>

#include <filesystem>
#include <string>

using JournalLine = nlohmann::ordered_json;

// An ANSI text as a JSON value: null for a null text; bytes that do not form
// valid UTF-8 are taken as Latin-1 characters, so any name stays readable.
JournalLine JournalText(const char *text);
// "0x1A2B"
JournalLine JournalHex(uint32_t value);

// Appends `line` and a line end to the file at `path` (created when missing).
// FALSE when the file cannot be written.
bool AppendJournalLine(const std::filesystem::path &path, const JournalLine &line);
