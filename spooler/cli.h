// Command-line pieces shared by spoolhost and simprinter (CLI11): checks that
// give the one-line messages users see, the options that shape a simulated
// printer, and the parse that turns CLI11's errors into those lines.
#pragma once

#include "sim_printer.h"

#include <CLI/CLI.hpp>

#include <string>

// A whole number (decimal, or 0x hexadecimal) within [min, max], as CLI11 reads numbers.
bool Whole(const std::string &text, long long min, long long max, long long *value);

// Checks of an option's text, run before CLI11 converts it. `message` is
// what follows "--option: " when the text is refused; "{}" in it stands for
// the text given.
// A whole number (decimal, or 0x hexadecimal) within [min, max].
CLI::Validator WholeNumber(long long min, long long max, const std::string &message);
// A number within [min, max].
CLI::Validator RealNumber(double min, double max, const std::string &message);
// A text of `min` to `max` bytes, none of them in `refused`.
CLI::Validator Text(size_t min, size_t max, const std::string &refused, const std::string &message);

// The printer options, filling `config`:
//   --model NAME, --device-id TEXT, --status CODE[:KIND], --write-cap BYTES,
//   --fail-writes FROM[:COUNT], --silent, --pieces BYTES, --garbage
void AddPrinterOptions(CLI::App &app, SimPrinterConfig *config);
// The help text of those options, for --help.
extern const char PrinterOptionsHelp[];

// Parses the command line. FALSE with the one line a user sees for a bad
// one (`error`, without the program's name); `help` is set for -h/--help.
bool ParseCommandLine(CLI::App &app, int argc, char **argv, bool *help, std::string *error);

// The folder of the running program ("" when unknown).
std::string ProgramFolder();
