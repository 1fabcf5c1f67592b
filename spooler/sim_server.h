// The simulated printer as a separate process's server on loopback TCP, in
// the wire format of the reference transport "DARUZUROZ.DLL":
//   BasePort            control endpoint: a line "DEVICEID <device>\n" is
//                       answered with the device ID, then the connection closes
//   BasePort + channel  a job channel: the job's bytes in, the printer's
//                       answers out; the job ends when the connection closes
// A channel endpoint is also what a raw TCP socket port monitor talks to.
// The channels served are the one the device ID names ("JOB=" after "MDL:",
// read as the channel monitor reads it) and the default channel 16.
#pragma once

#include "port_monitor.h"
#include "sim_printer.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct SimServerConfig {
    std::string Host = "127.0.0.1";
    // 0: a free base port is chosen.
    unsigned BasePort = 0;
    // Where the printer writes what it received, after every connection
    // (one line per job, see WriteRecord); "" for none.
    std::string RecordPath;
    // A client that takes no byte of an answer for this long, or whose job
    // channel stays silent both ways for this long, is given up (seconds).
    double WriteTimeoutSeconds = DefaultSocketTimeoutSeconds;
};

class SimServer {
  public:
    SimServer(std::shared_ptr<SimPrinter> printer, SimServerConfig config);
    ~SimServer();

    // Binds the endpoints and starts serving; FALSE with a reason.
    bool Start(std::string *error);
    // Stops accepting, ends the connections and joins the threads.
    void Stop();

    unsigned BasePort() const { return BasePort_; }
    std::vector<unsigned> Channels() const { return Channels_; }
    // Connections served to their end, device-ID requests included.
    unsigned ServedConnections() const { return Served_.load(); }
    // Jobs that ended so far.
    size_t EndedJobs() const;

  private:
    bool Bind(unsigned base, std::string *error);
    void AcceptLoop();
    void ServeControl(int socket);
    void ChannelLoop();
    void ServeChannel(int socket);
    void WriteRecord();
    bool SendAll(int socket, const char *data, size_t count);

    std::shared_ptr<SimPrinter> Printer_;
    SimServerConfig Config_;
    unsigned BasePort_ = 0;
    std::vector<unsigned> Channels_;
    std::vector<int> Listeners_; // [0] control, then one per channel
    std::atomic<bool> Stopping_{false};
    std::thread Acceptor_;
    std::mutex ThreadsMutex_;
    // Connection threads; a finished one is joined when the next one starts.
    struct Worker {
        std::thread Thread;
        std::shared_ptr<std::atomic<bool>> Done;
    };
    std::vector<Worker> Workers_;
    // Job channel connections wait here and are served one at a time, in the
    // order they came, as a printer serves one job after the other.
    std::thread ChannelWorker_;
    std::mutex ChannelMutex_;
    std::condition_variable ChannelReady_;
    std::deque<int> PendingChannels_;
    std::atomic<unsigned> Served_{0};
};

// The job channel a device ID names, read as the channel monitor reads it
// ("JOB=" after the first "MDL:", two characters skipped, up to two
// hexadecimal digits); 16 when it names none.
unsigned DeviceIdChannel(const std::string &deviceId);

// The record file: one line per job,
//   job=N id=XXXXXXXX ended=WORD start=HEX data=HEX end=HEX answers=HEX
// (ended: "command", "closed", "next" or "open"); HEX is the bytes in
// hexadecimal, "-" when empty.
std::string RecordLine(size_t index, const StreamJob &job);
bool ParseRecordLine(const std::string &line, StreamJob *job);
