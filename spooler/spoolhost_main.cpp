// spoolhost: plays the NT spooler for one language monitor and prints a report.
#include "cli.h"
#include "host.h"
#include "quennet_version.h"

#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

namespace {

const char Usage[] =
    "usage: spoolhost --monitor LIBRARY [options] FILE...\n"
    "\n"
    "Plays the Windows NT 4.0 spooler for a print language monitor: loads the\n"
    "monitor, calls InitializePrintMonitor, opens a port with OpenPortEx over a\n"
    "port monitor, prints each FILE as a job (StartDocPort, WritePort in buffers,\n"
    "repeating a call that took 0 bytes, EndDocPort), waits until the monitor has\n"
    "finished with the port (its status thread has seen the printer's job-end\n"
    "reports and closed the port monitor's port), calls ClosePort and prints a\n"
    "report: per job the bytes that reached the printer, the job-start and job-end\n"
    "texts, the printer's answers and the job controls the spooler received; the\n"
    "status agent's journal; the registry values the monitor wrote.\n"
    "\n"
    "The run uses a registry hive and an agent journal of its own in a new\n"
    "temporary folder (removed afterwards unless --keep), and loads the companion\n"
    "libraries (RAVODIR.DLL, VEROVIRI.DLL, DARUZUROZ.DLL) from the companions\n"
    "folder beside this program.\n"
    "\n"
    "Monitor and port:\n"
    "  --monitor LIBRARY      the monitor: a library path, or \"quennet\" or \"brantic\"\n"
    "                         for the ones beside this program (required)\n"
    "  --contract nt4|2000    how the spooler speaks to it: nt4 loads it through\n"
    "                         InitializePrintMonitor and hands over MONITOR tables;\n"
    "                         2000 through InitializePrintMonitor2, MONITOR2 tables\n"
    "                         and Shutdown at the end (default nt4)\n"
    "  --port-monitor OUTPUT  the port monitor below the monitor:\n"
    "                           sim:MODEL      the in-process simulated printer\n"
    "                           tcp:HOST:PORT  raw TCP both ways to a printer\n"
    "                           file:PATH      the jobs' bytes into a file\n"
    "                         (default sim:RVT-201)\n"
    "  --port NAME            port name given to OpenPortEx (default LPT1:)\n"
    "  --printer NAME         printer name (default \"Simulated printer\")\n"
    "  --lpr                  make the port an LPR port (LPR Port monitor key)\n"
    "  --device-id TEXT       the device ID the printer answers (sim:, tcp:)\n"
    "  --device-id-port PORT  tcp: ask the device ID from the printer's control\n"
    "                         endpoint on the same host (simprinter's BASE port)\n"
    "  --transport HOST:PORT  the printer that DARUZUROZ.DLL reaches (its base port,\n"
    "                         e.g. simprinter's BASE) for a channel monitor on LPT1\n"
    "  --printer-record PATH  the record file of a simprinter process (its --record),\n"
    "                         shown as the printer's view of the jobs\n"
    "\n"
    "Jobs:\n"
    "  --job-id N             spooler job id of the first file, the next get N+1...\n"
    "                         (default 1)\n"
    "  --buffer BYTES         bytes per WritePort call (default 4096)\n"
    "  --write-timeout SEC    give a job up after SEC seconds without an accepted\n"
    "                         byte, and a tcp: printer that takes no byte of a write\n"
    "                         or no connection for SEC seconds (default 30)\n"
    "\n"
    "Status agent (the reference RAVODIR.DLL):\n"
    "  --journal PATH         the agent's journal file, started afresh (default: in the\n"
    "                         temporary folder)\n"
    "  --agent-hold N         answer -1 (hold) to the first N job-start calls of each job\n"
    "  --agent-cancel         ask to cancel every job (answer 0x10000 to job start)\n"
    "  --agent-query N        what AgentQuery answers (default 0: reports wanted)\n"
    "  --agent-status N       what AgentJobStatus and AgentJobItems answer (default 0)\n"
    "  --no-agent-config      leave the agent's registry key alone\n"
    "\n"
    "Monitor settings:\n"
    "  --polling-level N      the status thread's polling level, 1 to 5\n"
    "  --notify-port N        JobNotifyPort, the job notification datagram port\n"
    "\n"
    "Run:\n"
    "  --clock-scale X        test clock: monitor time runs X times faster (sleeps,\n"
    "                         waits, tick counts), so a 5-minute idle limit lasts\n"
    "                         300/X seconds (default 1)\n"
    "  --wait SEC             longest wait, in real seconds, for the monitor to finish\n"
    "                         with the port after the last job (default 60)\n"
    "  --library-path DIRS    folders of the companion libraries, ':'-separated\n"
    "  --registry PATH        the registry hive file to use (default: a new one)\n"
    "  --keep                 keep the temporary folder (hive, journal)\n"
    "  --quiet                no progress lines on long jobs\n"
    "  --trace                switch the monitor's trace on (TraceLevel 1, its\n"
    "                         decisions) and show its lines in the report\n"
    "  --trace-calls          the same with every call of the spooler (TraceLevel 2)\n"
    "  --version              the version\n"
    "  -h, --help             this text\n"
    "\n";

const char Exits[] = "\n"
                     "Exit status: 0 when the run took place and the monitor finished with the\n"
                     "port and every job ended as the run asked for (accepted whole, or cancelled\n"
                     "with --agent-cancel); 1 when the run could not take place or the monitor\n"
                     "still held the port after --wait; 2 for bad arguments; 3 when a job did not\n"
                     "end as asked (the report's last line counts them, its port monitor section\n"
                     "tells which calls failed and why).\n";

bool Fail(const std::string &message) {
    fprintf(stderr, "spoolhost: %s\n", message.c_str());
    return false;
}

// The options, each checked as it is read (CLI11); the messages of refused
// values follow "spoolhost: --option: ".
void AddOptions(CLI::App &app, HostOptions *o, long long *query, long long *status) {
    // Monitor and port.
    app.add_option("--monitor", o->Monitor);
    app.add_option("--contract", o->Contract)
        ->check(CLI::Validator(
            [](std::string &value) -> std::string {
                if (value != "nt4" && value != "2000")
                    return "nt4 or 2000 expected, got \"" + value + "\"";
                return "";
            },
            ""));
    app.add_option("--port-monitor", o->PortMonitor)
        ->check(CLI::Validator(
            [](std::string &value) -> std::string {
                if (value.rfind("sim:", 0) != 0 && value.rfind("tcp:", 0) != 0 &&
                    value.rfind("file:", 0) != 0)
                    return "sim:MODEL, tcp:HOST:PORT or file:PATH expected, got \"" + value + "\"";
                if (value == "sim:" || value == "tcp:" || value == "file:")
                    return "\"" + value + "\" lacks its argument";
                return "";
            },
            ""));
    app.add_option("--port", o->Port)->check(Text(1, 4096, "", "a port name expected"));
    app.add_option("--printer", o->Printer)->check(Text(1, 4096, "", "a printer name expected"));
    app.add_flag("--lpr", o->LprPort);
    app.add_option("--device-id-port", o->DeviceIdPort)
        ->check(WholeNumber(1, 65535, "a port number expected, got \"{}\""));
    app.add_option("--transport", o->Transport)
        ->check(CLI::Validator(
            [](std::string &value) {
                size_t colon = value.rfind(':');
                long long port = 0;
                bool ok = colon != std::string::npos && colon != 0 &&
                          Whole(value.substr(colon + 1), 1, 65535, &port);
                return ok ? std::string() : "HOST:PORT expected, got \"" + value + "\"";
            },
            ""));
    app.add_option("--printer-record", o->PrinterRecord);

    // Jobs.
    app.add_option("--job-id", o->FirstJobId)
        ->check(WholeNumber(1, 0xFFFFFFFELL, "a job id from 1 to 4294967294 expected, got \"{}\""));
    app.add_option("--buffer", o->Buffer)
        ->check(WholeNumber(1, 16 << 20, "1 to 16777216 bytes expected, got \"{}\""));
    const std::string seconds = "seconds from 0.01 to 86400 expected, got \"{}\"";
    app.add_option("--write-timeout", o->WriteTimeoutSeconds)
        ->check(RealNumber(0.01, 86400, seconds));

    // Status agent.
    const std::string number = "a number expected, got \"{}\"";
    app.add_option("--journal", o->Agent.Journal);
    app.add_option("--agent-hold", o->Agent.HoldCount)->check(WholeNumber(0, 0xFFFFFFFFLL, number));
    app.add_flag_callback("--agent-cancel", [o] { o->Agent.CancelJobs = 1; });
    app.add_option("--agent-query", *query)
        ->check(WholeNumber(-2147483647LL - 1, 0xFFFFFFFFLL, number));
    app.add_option("--agent-status", *status)
        ->check(WholeNumber(-2147483647LL - 1, 0xFFFFFFFFLL, number));
    app.add_flag_callback("--no-agent-config", [o] { o->Agent.Configure = false; });

    // Monitor settings.
    app.add_option("--polling-level", o->PollingLevel)->check(WholeNumber(0, 0xFFFFFFFFLL, number));
    app.add_option("--notify-port", o->NotifyPort)->check(WholeNumber(0, 0xFFFFFFFFLL, number));

    // Run.
    app.add_option("--clock-scale", o->ClockScale)
        ->check(RealNumber(0.001, 1000000, "a factor from 0.001 to 1000000 expected, got \"{}\""));
    app.add_option("--wait", o->WaitSeconds)->check(RealNumber(0.01, 86400, seconds));
    app.add_option("--library-path", o->LibraryPath);
    app.add_option("--registry", o->Registry);
    app.add_flag("--keep", o->Keep);
    app.add_flag_callback("--quiet", [o] { o->Progress = false; });
    app.add_flag_callback("--trace", [o] { o->TraceLevel = 1; });
    app.add_flag_callback("--trace-calls", [o] { o->TraceLevel = 2; });

    // The simulated printer, and the files to print.
    AddPrinterOptions(app, &o->Sim);
    app.add_option("files", o->Files)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

bool Parse(int argc, char **argv, HostOptions *o, bool *help) {
    CLI::App app;
    // A later option overrides an earlier one.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    long long query = o->Agent.Query, status = o->Agent.StatusAnswer;
    AddOptions(app, o, &query, &status);
    std::string error;
    if (!ParseCommandLine(app, argc, argv, help, &error))
        return Fail(error);
    if (*help)
        return true;
    o->Agent.Query = (DWORD)query;
    o->Agent.StatusAnswer = (DWORD)status;
    bool modelGiven = app.count("--model") != 0,
         portMonitorGiven = app.count("--port-monitor") != 0;
    if (app.count("--device-id") != 0)
        o->DeviceId = o->Sim.DeviceId;

    // What a run needs.
    if (o->Monitor.empty())
        return Fail("no monitor given (--monitor LIBRARY; see --help)");
    if (o->Files.empty())
        return Fail("no file to print given (see --help)");
    for (const std::string &file : o->Files) {
        struct stat info;
        if (stat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
            return Fail("cannot read the file \"" + file + "\"");
    }
    if (modelGiven && !portMonitorGiven)
        o->PortMonitor = "sim:" + o->Sim.Model;
    else if (modelGiven && o->PortMonitor.rfind("sim:", 0) == 0)
        return Fail("--model and --port-monitor sim:MODEL both name the model; give one");
    return true;
}

} // namespace

int main(int argc, char **argv) {
    // The version, whatever else the command line says.
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--version") == 0) {
            printf("spoolhost %s\n", QUENNET_VERSION);
            return 0;
        }
    }
    HostOptions options;
    bool help = false;
    if (!Parse(argc, argv, &options, &help))
        return 2;
    if (help) {
        printf("%s%s%s", Usage, PrinterOptionsHelp, Exits);
        return 0;
    }
    HostResult result = RunHost(options);
    fputs(FormatReport(result).c_str(), stdout);
    fflush(stdout);
    if (!result.Setup.empty()) {
        fprintf(stderr, "spoolhost: %s\n", result.Setup.c_str());
        return 1;
    }
    if (!result.MonitorFinished)
        return 1;
    unsigned notAsAsked = JobsNotAsAsked(result);
    if (notAsAsked != 0) {
        fprintf(stderr, "spoolhost: %u of %zu jobs did not end as the run asked for\n", notAsAsked,
                result.Jobs.size());
        return 3;
    }
    return 0;
}
