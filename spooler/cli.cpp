#include "cli.h"

#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

#include <cmath>

ArgReader::ArgReader(int argc, char **argv) {
    for (int i = 1; i < argc; i++)
        Args_.push_back(argv[i]);
}

std::string ArgReader::Next() {
    return Done() ? std::string() : Args_[Index_++];
}

bool ArgReader::Value(const std::string &option, std::string *value, std::string *error) {
    if (Done()) {
        *error = option + " needs a value";
        return false;
    }
    *value = Args_[Index_++];
    return true;
}

bool ParseUnsigned(const std::string &text, unsigned long long min, unsigned long long max,
                   unsigned long long *value) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ')
        return false;
    errno = 0;
    char *end = nullptr;
    unsigned long long parsed = strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == nullptr || *end != 0 || parsed < min || parsed > max)
        return false;
    *value = parsed;
    return true;
}

bool ParseSigned(const std::string &text, long long min, long long max, long long *value) {
    if (text.empty() || text[0] == ' ')
        return false;
    errno = 0;
    char *end = nullptr;
    long long parsed = strtoll(text.c_str(), &end, 0);
    if (errno != 0 || end == nullptr || *end != 0 || parsed < min || parsed > max)
        return false;
    *value = parsed;
    return true;
}

bool ParseDouble(const std::string &text, double min, double max, double *value) {
    if (text.empty() || text[0] == ' ')
        return false;
    errno = 0;
    char *end = nullptr;
    double parsed = strtod(text.c_str(), &end);
    if (errno != 0 || end == nullptr || *end != 0 || !std::isfinite(parsed) || parsed < min ||
        parsed > max)
        return false;
    *value = parsed;
    return true;
}

// "A" or "A:B" into two numbers; B keeps its value when absent.
static bool ParsePair(const std::string &text, unsigned long long max, unsigned long long *first,
                      unsigned long long *second) {
    size_t colon = text.find(':');
    if (colon == std::string::npos)
        return ParseUnsigned(text, 0, max, first);
    return ParseUnsigned(text.substr(0, colon), 0, max, first) &&
           ParseUnsigned(text.substr(colon + 1), 0, max, second);
}

const char PrinterOptionsHelp[] =
    "Simulated printer:\n"
    "  --model NAME           printer model (default RVT-201); models beginning with\n"
    "                         \"RVT\" speak the job language TKL, others do not\n"
    "  --device-id TEXT       IEEE 1284 device ID to answer (default: built from the\n"
    "                         model, e.g. \"MFG:Ravodir;CMD:TKL,PCL;MDL:RVT-201;...\")\n"
    "  --status CODE[:KIND]   status code (item 65539) and kind (item 65600) the\n"
    "                         printer reports (default 10000:1)\n"
    "  --write-cap BYTES      accept at most BYTES of each write (a partial write)\n"
    "  --fail-writes FROM[:COUNT]\n"
    "                         fail the FROM-th write and the COUNT-1 after it\n"
    "                         (COUNT 0 or absent: every write from FROM on)\n"
    "  --silent               never answer (no status, no job-end reports)\n"
    "  --pieces BYTES         hand every answer out in pieces of at most BYTES\n"
    "  --garbage              send a malformed block ahead of every answer\n";

bool ParsePrinterOption(const std::string &option, ArgReader &args, SimPrinterConfig *config,
                        bool *handled, std::string *error) {
    *handled = true;
    std::string value;
    unsigned long long number = 0, second = 0;
    SimBehaviour &b = config->Behaviour;
    if (option == "--silent") {
        b.Silent = true;
        return true;
    }
    if (option == "--garbage") {
        b.Garbage = true;
        return true;
    }
    if (option != "--model" && option != "--device-id" && option != "--status" &&
        option != "--write-cap" && option != "--fail-writes" && option != "--pieces") {
        *handled = false;
        return false;
    }
    if (!args.Value(option, &value, error))
        return false;
    if (option == "--model") {
        if (value.empty() || value.size() > 80 || value.find(';') != std::string::npos) {
            *error = "--model: a name of 1 to 80 characters without ';' expected";
            return false;
        }
        config->Model = value;
        return true;
    }
    if (option == "--device-id") {
        if (value.empty() || value.size() > 1024) {
            *error = "--device-id: a text of 1 to 1024 characters expected";
            return false;
        }
        config->DeviceId = value;
        return true;
    }
    if (option == "--status") {
        size_t colon = value.find(':');
        long long code = 0, kind = config->StatusKind;
        if (!ParseSigned(value.substr(0, colon), -2147483647LL - 1, 2147483647LL, &code) ||
            (colon != std::string::npos &&
             !ParseSigned(value.substr(colon + 1), -2147483647LL - 1, 2147483647LL, &kind))) {
            *error = "--status: CODE or CODE:KIND expected, got \"" + value + "\"";
            return false;
        }
        config->StatusCode = (LONG)code;
        config->StatusKind = (LONG)kind;
        return true;
    }
    if (option == "--fail-writes") {
        second = 0;
        if (!ParsePair(value, 0xFFFFFFFFull, &number, &second) || number == 0) {
            *error = "--fail-writes: FROM or FROM:COUNT expected (FROM at least 1), got \"" +
                     value + "\"";
            return false;
        }
        b.FailWritesFrom = (unsigned)number;
        b.FailWritesCount = (unsigned)second;
        return true;
    }
    if (!ParseUnsigned(value, 1, 0x7FFFFFFF, &number)) {
        *error = option + ": a byte count of at least 1 expected, got \"" + value + "\"";
        return false;
    }
    if (option == "--write-cap")
        b.WriteCap = (DWORD)number;
    else
        b.PieceSize = (DWORD)number;
    return true;
}

std::string ProgramFolder() {
    char path[4096];
    ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (length <= 0)
        return "";
    std::string text(path, (size_t)length);
    size_t slash = text.rfind('/');
    return slash == std::string::npos ? "" : text.substr(0, slash);
}
