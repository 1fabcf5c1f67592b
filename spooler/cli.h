// Command-line helpers shared by spoolhost and simprinter: number parsing
// and the options that shape a simulated printer.
#pragma once

#include "sim_printer.h"

#include <string>
#include <vector>

// Walks argv; Value() takes the argument of the option just read.
class ArgReader {
  public:
    ArgReader(int argc, char **argv);
    bool Done() const { return Index_ >= Args_.size(); }
    // The next argument (an option or an operand).
    std::string Next();
    // The value of `option`; FALSE with a message when it is missing.
    bool Value(const std::string &option, std::string *value, std::string *error);

  private:
    std::vector<std::string> Args_;
    size_t Index_ = 0;
};

// Whole decimal (or 0x hexadecimal) numbers within [min, max].
bool ParseUnsigned(const std::string &text, unsigned long long min, unsigned long long max,
                   unsigned long long *value);
bool ParseSigned(const std::string &text, long long min, long long max, long long *value);
bool ParseDouble(const std::string &text, double min, double max, double *value);

// Handles one of the printer options below; FALSE when `option` is none of
// them (`handled` false) or its value is bad (`handled` true, `error` set).
//   --model NAME, --device-id TEXT, --status CODE[:KIND], --write-cap BYTES,
//   --fail-writes FROM[:COUNT], --silent, --pieces BYTES, --garbage
bool ParsePrinterOption(const std::string &option, ArgReader &args, SimPrinterConfig *config,
                        bool *handled, std::string *error);
// The help text of those options, for --help.
extern const char PrinterOptionsHelp[];

// The folder of the running program ("" when unknown).
std::string ProgramFolder();
