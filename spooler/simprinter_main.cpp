// simprinter: the simulated printer as a process on loopback TCP, for a raw
// TCP socket port monitor and for the transport library's job channels.
#include "cli.h"
#include "quennet_version.h"
#include "sim_server.h"
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
    "  --write-timeout SEC    give a client up that takes no byte of an answer, or\n"
    "                         whose job channel is silent both ways, for SEC seconds\n"
    "                         (default 30)\n"
    "  --library-path DIRS    folders of VEROVIRI.DLL, ':'-separated\n"
    "                         (default: the companions folder beside this program)\n"
    "  --version              the version\n"
    "  -h, --help             this text\n"
    "\n";

} // namespace

int main(int argc, char **argv) {
    SimPrinterConfig printer;
    SimServerConfig server;
    std::string portFile, libraryPath = ProgramFolder() + "/companions";
    unsigned long long exitAfterJobs = 0, lifetime = 600, basePort = 0;

    // Options; a later one overrides an earlier one.
    CLI::App app;
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_option("--host", server.Host);
    app.add_option("--base-port", basePort)
        ->check(WholeNumber(0, 65000, "a port number expected, got \"{}\""));
    app.add_option("--port-file", portFile);
    app.add_option("--record", server.RecordPath);
    app.add_option("--exit-after-jobs", exitAfterJobs)
        ->check(WholeNumber(1, 1000000, "a count of at least 1 expected"));
    app.add_option("--lifetime", lifetime)
        ->check(WholeNumber(1, 86400, "1 to 86400 seconds expected"));
    app.add_option("--write-timeout", server.WriteTimeoutSeconds)
        ->check(RealNumber(0.01, 86400, "seconds from 0.01 to 86400 expected, got \"{}\""));
    app.add_option("--library-path", libraryPath);
    AddPrinterOptions(app, &printer);
    bool version = false;
    app.add_flag("--version", version);
    bool help = false;
    std::string error;
    if (!ParseCommandLine(app, argc, argv, &help, &error)) {
        fprintf(stderr, "simprinter: %s\n", error.c_str());
        return 2;
    }
    if (help) {
        printf("%s%s", Usage, PrinterOptionsHelp);
        return 0;
    }
    if (version) {
        printf("simprinter %s\n", QUENNET_VERSION);
        return 0;
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
