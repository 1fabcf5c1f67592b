#include "cli.h"

#include <unistd.h>

#include <cmath>

namespace {

// The message with the text given in place of "{}".
std::string Refusal(std::string message, const std::string &text) {
    size_t at = message.find("{}");
    if (at != std::string::npos)
        message.replace(at, 2, text);
    return message;
}

// "A" or "A:B" into two whole numbers; B keeps its value when absent.
bool Pair(const std::string &text, long long min, long long max, long long *first,
          long long *second) {
    size_t colon = text.find(':');
    if (colon == std::string::npos)
        return Whole(text, min, max, first);
    return Whole(text.substr(0, colon), min, max, first) &&
           Whole(text.substr(colon + 1), min, max, second);
}

constexpr long long LongMin = -2147483647LL - 1, LongMax = 2147483647LL;

} // namespace

bool Whole(const std::string &text, long long min, long long max, long long *value) {
    long long parsed = 0;
    if (!CLI::detail::lexical_cast(text, parsed) || parsed < min || parsed > max)
        return false;
    *value = parsed;
    return true;
}

CLI::Validator WholeNumber(long long min, long long max, const std::string &message) {
    return CLI::Validator(
        [=](std::string &text) {
            long long value = 0;
            return Whole(text, min, max, &value) ? std::string() : Refusal(message, text);
        },
        "");
}

CLI::Validator RealNumber(double min, double max, const std::string &message) {
    return CLI::Validator(
        [=](std::string &text) {
            double value = 0;
            bool ok = CLI::detail::lexical_cast(text, value) && std::isfinite(value) &&
                      value >= min && value <= max;
            return ok ? std::string() : Refusal(message, text);
        },
        "");
}

CLI::Validator Text(size_t min, size_t max, const std::string &refused,
                    const std::string &message) {
    return CLI::Validator(
        [=](std::string &text) {
            bool ok = text.size() >= min && text.size() <= max &&
                      text.find_first_of(refused) == std::string::npos;
            return ok ? std::string() : Refusal(message, text);
        },
        "");
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

void AddPrinterOptions(CLI::App &app, SimPrinterConfig *config) {
    SimBehaviour *b = &config->Behaviour;
    app.add_option("--model")
        ->check(Text(1, 80, ";", "a name of 1 to 80 characters without ';' expected"))
        ->each([config](const std::string &value) { config->Model = value; });
    app.add_option("--device-id")
        ->check(Text(1, 1024, "", "a text of 1 to 1024 characters expected"))
        ->each([config](const std::string &value) { config->DeviceId = value; });

    // CODE[:KIND]: the kind stays as it is when only the code is given.
    const std::string status = "CODE or CODE:KIND expected, got \"{}\"";
    app.add_option("--status")
        ->check(CLI::Validator(
            [status, config](std::string &text) {
                long long code = 0, kind = 0;
                return Pair(text, LongMin, LongMax, &code, &kind) ? std::string()
                                                                  : Refusal(status, text);
            },
            ""))
        ->each([config](const std::string &value) {
            long long code = 0, kind = config->StatusKind;
            Pair(value, LongMin, LongMax, &code, &kind);
            config->StatusCode = (LONG)code;
            config->StatusKind = (LONG)kind;
        });

    // FROM[:COUNT], FROM at least 1; COUNT 0 when absent.
    const std::string failWrites = "FROM or FROM:COUNT expected (FROM at least 1), got \"{}\"";
    app.add_option("--fail-writes")
        ->check(CLI::Validator(
            [failWrites](std::string &text) {
                long long from = 0, count = 0;
                bool ok = Pair(text, 0, 0xFFFFFFFFLL, &from, &count) && from != 0;
                return ok ? std::string() : Refusal(failWrites, text);
            },
            ""))
        ->each([b](const std::string &value) {
            long long from = 0, count = 0;
            Pair(value, 0, 0xFFFFFFFFLL, &from, &count);
            b->FailWritesFrom = (unsigned)from;
            b->FailWritesCount = (unsigned)count;
        });

    const std::string bytes = "a byte count of at least 1 expected, got \"{}\"";
    for (DWORD *target : {&b->WriteCap, &b->PieceSize}) {
        app.add_option(target == &b->WriteCap ? "--write-cap" : "--pieces")
            ->check(WholeNumber(1, 0x7FFFFFFF, bytes))
            ->each([target](const std::string &value) {
                long long count = 0;
                Whole(value, 1, 0x7FFFFFFF, &count);
                *target = (DWORD)count;
            });
    }
    app.add_flag("--silent", b->Silent);
    app.add_flag("--garbage", b->Garbage);
}

bool ParseCommandLine(CLI::App &app, int argc, char **argv, bool *help, std::string *error) {
    *help = false;
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &) {
        *help = true;
    } catch (const CLI::ExtrasError &e) {
        // "The following argument(s) were not expected: X ...": the first one.
        std::string text = e.what();
        size_t colon = text.rfind("expected: ");
        std::string first = colon == std::string::npos ? text : text.substr(colon + 10);
        *error = "unknown option \"" + first.substr(0, first.find(' ')) + "\" (see --help)";
        return false;
    } catch (const CLI::ArgumentMismatch &e) {
        // "--wait: 1 required FLOAT missing": the option's value is missing.
        std::string text = e.what();
        *error = text.substr(0, text.find(": ")) + " needs a value";
        return false;
    } catch (const CLI::ParseError &e) {
        // The checks above give "--option: what was expected, got ...".
        *error = e.what();
        return false;
    }
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
