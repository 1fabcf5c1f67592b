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
    "                         byte (default 30)\n"
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

const char Exits[] =
    "\n"
    "Exit status: 0 when the run took place and the monitor finished with the\n"
    "port (the report tells each job's outcome); 1 when the run could not take\n"
    "place or the monitor still held the port after --wait; 2 for bad arguments.\n";

bool Fail(const std::string &message) {
    fprintf(stderr, "spoolhost: %s\n", message.c_str());
    return false;
}

bool Parse(int argc, char **argv, HostOptions *o, bool *help) {
    ArgReader args(argc, argv);
    std::string error;
    bool portMonitorGiven = false, modelGiven = false;
    while (!args.Done()) {
        std::string option = args.Next(), value;
        unsigned long long number = 0;
        long long signedNumber = 0;
        bool handled = false;
        if (option == "-h" || option == "--help") {
            *help = true;
            return true;
        }
        if (option.empty() || option[0] != '-' || option == "-") {
            o->Files.push_back(option);
            continue;
        }
        if (option == "--") {
            while (!args.Done())
                o->Files.push_back(args.Next());
            break;
        }
        if (ParsePrinterOption(option, args, &o->Sim, &handled, &error)) {
            modelGiven = modelGiven || option == "--model";
            if (option == "--device-id")
                o->DeviceId = o->Sim.DeviceId;
            continue;
        }
        if (handled)
            return Fail(error);

        // Options without a value.
        if (option == "--lpr" || option == "--agent-cancel" || option == "--no-agent-config" ||
            option == "--keep" || option == "--quiet" || option == "--trace" ||
            option == "--trace-calls") {
            if (option == "--lpr")
                o->LprPort = true;
            else if (option == "--agent-cancel")
                o->Agent.CancelJobs = 1;
            else if (option == "--no-agent-config")
                o->Agent.Configure = false;
            else if (option == "--keep")
                o->Keep = true;
            else if (option == "--trace" || option == "--trace-calls")
                o->TraceLevel = option == "--trace" ? 1 : 2;
            else
                o->Progress = false;
            continue;
        }
        if (!args.Value(option, &value, &error)) {
            if (option.rfind("--", 0) == 0 && error.find("needs a value") != std::string::npos &&
                (option == "--monitor" || option == "--port-monitor" || option == "--port" ||
                 option == "--printer" || option == "--device-id-port" || option == "--transport" ||
                 option == "--printer-record" || option == "--job-id" || option == "--buffer" ||
                 option == "--write-timeout" || option == "--journal" || option == "--agent-hold" ||
                 option == "--agent-query" || option == "--agent-status" ||
                 option == "--polling-level" || option == "--notify-port" ||
                 option == "--clock-scale" || option == "--wait" || option == "--library-path" ||
                 option == "--registry"))
                return Fail(error);
            return Fail("unknown option \"" + option + "\" (see --help)");
        }
        if (option == "--monitor") {
            o->Monitor = value;
        } else if (option == "--port-monitor") {
            if (value.rfind("sim:", 0) != 0 && value.rfind("tcp:", 0) != 0 &&
                value.rfind("file:", 0) != 0)
                return Fail(
                    "--port-monitor: sim:MODEL, tcp:HOST:PORT or file:PATH expected, got \"" +
                    value + "\"");
            if (value == "sim:" || value == "tcp:" || value == "file:")
                return Fail("--port-monitor: \"" + value + "\" lacks its argument");
            o->PortMonitor = value;
            portMonitorGiven = true;
        } else if (option == "--port") {
            if (value.empty())
                return Fail("--port: a port name expected");
            o->Port = value;
        } else if (option == "--printer") {
            if (value.empty())
                return Fail("--printer: a printer name expected");
            o->Printer = value;
        } else if (option == "--device-id-port") {
            if (!ParseUnsigned(value, 1, 65535, &number))
                return Fail("--device-id-port: a port number expected, got \"" + value + "\"");
            o->DeviceIdPort = (unsigned)number;
        } else if (option == "--transport") {
            size_t colon = value.rfind(':');
            if (colon == std::string::npos || colon == 0 ||
                !ParseUnsigned(value.substr(colon + 1), 1, 65535, &number))
                return Fail("--transport: HOST:PORT expected, got \"" + value + "\"");
            o->Transport = value;
        } else if (option == "--printer-record") {
            o->PrinterRecord = value;
        } else if (option == "--job-id") {
            if (!ParseUnsigned(value, 1, 0xFFFFFFFEull, &number))
                return Fail("--job-id: a job id from 1 to 4294967294 expected, got \"" + value +
                            "\"");
            o->FirstJobId = (DWORD)number;
        } else if (option == "--buffer") {
            if (!ParseUnsigned(value, 1, 16u << 20, &number))
                return Fail("--buffer: 1 to 16777216 bytes expected, got \"" + value + "\"");
            o->Buffer = (DWORD)number;
        } else if (option == "--write-timeout" || option == "--wait") {
            double seconds = 0;
            if (!ParseDouble(value, 0.01, 86400, &seconds))
                return Fail(option + ": seconds from 0.01 to 86400 expected, got \"" + value +
                            "\"");
            (option == "--wait" ? o->WaitSeconds : o->WriteTimeoutSeconds) = seconds;
        } else if (option == "--journal") {
            o->Agent.Journal = value;
        } else if (option == "--agent-hold" || option == "--agent-query" ||
                   option == "--agent-status") {
            if (!ParseSigned(value, -2147483647LL - 1, 0xFFFFFFFFLL, &signedNumber) ||
                (option == "--agent-hold" && signedNumber < 0))
                return Fail(option + ": a number expected, got \"" + value + "\"");
            DWORD dword = (DWORD)signedNumber;
            if (option == "--agent-hold")
                o->Agent.HoldCount = dword;
            else if (option == "--agent-query")
                o->Agent.Query = dword;
            else
                o->Agent.StatusAnswer = dword;
        } else if (option == "--polling-level") {
            if (!ParseUnsigned(value, 0, 0xFFFFFFFFull, &number))
                return Fail("--polling-level: a number expected, got \"" + value + "\"");
            o->PollingLevel = (long)number;
        } else if (option == "--notify-port") {
            if (!ParseUnsigned(value, 0, 0xFFFFFFFFull, &number))
                return Fail("--notify-port: a number expected, got \"" + value + "\"");
            o->NotifyPort = (long)number;
        } else if (option == "--clock-scale") {
            if (!ParseDouble(value, 0.001, 1000000, &o->ClockScale))
                return Fail("--clock-scale: a factor from 0.001 to 1000000 expected, got \"" +
                            value + "\"");
        } else if (option == "--library-path") {
            o->LibraryPath = value;
        } else if (option == "--registry") {
            o->Registry = value;
        } else {
            return Fail("unknown option \"" + option + "\" (see --help)");
        }
    }

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
    return result.MonitorFinished ? 0 : 1;
}
