// simprinter: the simulated printer as a process on loopback TCP, for a raw
// TCP socket port monitor and for the transport library's job channels.
#include "cli.h"
#include "sim_server.h"
#include "quennet_version.h"
#include "wintest.h"

#include <signal.h>
#include <stdio.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

namespace {

std::atomic<bool> Interrupted{false};

void OnSignal(int) {
    Interrupted = true;
}

const char Usage[] =
    "usage: simprinter [options]\n"
    "\n"
    "A simulated printer serving on loopback TCP, in the reference transport's\n"
    "wire format: BASE is the control endpoint (a line \"DEVICEID <device>\\n\" is\n"
    "answered with the device ID), BASE+CHANNEL a job channel (the job's bytes in,\n"
    "the printer's answers out; the job ends when the connection closes). A job\n"
    "channel also serves a raw TCP socket port monitor. The channels served are\n"
    "the one the device ID names (JOB=.. after MDL:) and channel 16.\n"
    "\n"
    "Options:\n"
    "  --host ADDR            IPv4 address to listen on (default 127.0.0.1)\n"
    "  --base-port N          control endpoint port (default 0: a free one is chosen)\n"
    "  --port-file PATH       once listening, write \"BASE CHANNEL\" to PATH\n"
    "  --record PATH          after every connection, write what the printer\n"
    "                         received, job by job, to PATH (spoolhost --printer-record)\n"
    "  --exit-after-jobs N    stop once N jobs have ended\n"
    "  --lifetime SECONDS     stop after SECONDS in any case (default 600)\n"
    "  --library-path DIRS    folders of VEROVIRI.DLL, ':'-separated\n"
    "                         (default: the companions folder beside this program)\n"
    "  --version              the version\n"
    "  -h, --help             this text\n"
    "\n";

} // namespace

int main(int argc, char **argv) {
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--version") == 0) {
            printf("simprinter %s\n", QUENNET_VERSION);
            return 0;
        }
    }
    ArgReader args(argc, argv);
    SimPrinterConfig printer;
    SimServerConfig server;
    std::string portFile, libraryPath = ProgramFolder() + "/companions";
    unsigned long long exitAfterJobs = 0, lifetime = 600, basePort = 0;
    std::string error;

    // Options.
    while (!args.Done()) {
        std::string option = args.Next(), value;
        bool handled = false;
        if (option == "-h" || option == "--help") {
            printf("%s%s", Usage, PrinterOptionsHelp);
            return 0;
        }
        if (ParsePrinterOption(option, args, &printer, &handled, &error))
            continue;
        if (!handled) {
            if (option == "--host" || option == "--base-port" || option == "--port-file" ||
                option == "--record" || option == "--exit-after-jobs" || option == "--lifetime" ||
                option == "--library-path") {
                if (args.Value(option, &value, &error)) {
                    if (option == "--host")
                        server.Host = value;
                    else if (option == "--port-file")
                        portFile = value;
                    else if (option == "--record")
                        server.RecordPath = value;
                    else if (option == "--library-path")
                        libraryPath = value;
                    else if (option == "--base-port" && !ParseUnsigned(value, 0, 65000, &basePort))
                        error = "--base-port: a port number expected, got \"" + value + "\"";
                    else if (option == "--exit-after-jobs" &&
                             !ParseUnsigned(value, 1, 1000000, &exitAfterJobs))
                        error = "--exit-after-jobs: a count of at least 1 expected";
                    else if (option == "--lifetime" && !ParseUnsigned(value, 1, 86400, &lifetime))
                        error = "--lifetime: 1 to 86400 seconds expected";
                }
            } else {
                error = "unknown option \"" + option + "\" (see --help)";
            }
        }
        if (!error.empty()) {
            fprintf(stderr, "simprinter: %s\n", error.c_str());
            return 2;
        }
    }
    server.BasePort = (unsigned)basePort;

    // The printer speaks through the same parser library as the monitor.
    PlatSetLibraryPath(libraryPath);
    auto device = std::make_shared<SimPrinter>(printer);
    if (!device->CodecProblem().empty())
        fprintf(stderr, "simprinter: warning: %s; job-language commands are taken as data\n",
                device->CodecProblem().c_str());

    SimServer simServer(device, server);
    if (!simServer.Start(&error)) {
        fprintf(stderr, "simprinter: cannot listen: %s\n", error.c_str());
        return 1;
    }
    std::vector<unsigned> channels = simServer.Channels();
    printf("simprinter: %s listening on %s: control %u", printer.Model.c_str(), server.Host.c_str(),
           simServer.BasePort());
    for (unsigned channel : channels)
        printf(", channel %u at %u", channel, simServer.BasePort() + channel);
    printf("\n");
    fflush(stdout);
    if (!portFile.empty()) {
        std::ofstream out(portFile + ".tmp", std::ios::trunc);
        out << simServer.BasePort() << ' ' << channels[0] << '\n';
        out.close();
        rename((portFile + ".tmp").c_str(), portFile.c_str());
    }

    // Serve until told to stop, until enough jobs ended, or until the lifetime ends.
    signal(SIGINT, OnSignal);
    signal(SIGTERM, OnSignal);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(lifetime);
    while (!Interrupted.load() && std::chrono::steady_clock::now() < deadline &&
           (exitAfterJobs == 0 || simServer.EndedJobs() < exitAfterJobs))
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    simServer.Stop();
    printf("simprinter: stopped after %zu jobs\n", simServer.EndedJobs());
    return 0;
}
