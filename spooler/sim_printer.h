// A simulated printer: a model name and an IEEE 1284 device ID, a job-language
// interpreter for the commands that bracket jobs, and the answers a printer
// of that model gives. It can misbehave on request. Thread-safe: the host's
// writer and a monitor's status thread use one printer at once.
#pragma once

#include "job_stream.h"

#include <deque>
#include <mutex>
#include <string>
#include <vector>

struct SimBehaviour {
    DWORD WriteCap = 0;           // accept at most this many bytes per write (0: all)
    unsigned FailWritesFrom = 0;  // the write (1-based) from which writes fail; 0: never
    unsigned FailWritesCount = 0; // how many fail from there (0: all of them)
    bool Silent = false;          // never answers anything
    DWORD PieceSize = 0;          // hand each answer out in reads of at most this size (0: whole)
    bool Garbage = false;         // send a malformed block ahead of every answer
};

struct SimPrinterConfig {
    std::string Model = "RVT-201";
    std::string DeviceId; // empty: built from the model (DefaultDeviceId)
    // The status report: status code (item 65539) and kind (item 65600).
    LONG StatusCode = 10000;
    LONG StatusKind = 1;
    // Calibration values (items 220 to 223) reported with every job end.
    std::vector<TklField> Calibration = {TklField::Int(2), TklField::Int(-3), TklField::Str("+1"),
                                         TklField::Str("0")};
    SimBehaviour Behaviour;
};

// Whether a printer of this device ID speaks the job language: its command
// set names TKL, or its model is one of the job-language models.
bool SpeaksTkl(const std::string &deviceId);

// "MFG:Ravodir;CMD:TKL,PCL;MDL:<model>;CLS:PRINTER;DES:JOB=0011 <model>;":
// models beginning with "RVT" speak the job language, others only PCL. The
// "JOB=0011" names job channel 0x11 for the transport channel.
std::string DefaultDeviceId(const std::string &model);

class SimPrinter {
  public:
    explicit SimPrinter(SimPrinterConfig config);

    const SimPrinterConfig &Config() const { return Config_; }
    std::string DeviceId() const;
    // A printer that does not speak the job language prints its text as data.
    bool SpeaksTkl() const { return SpeaksTkl_; }

    // A port opened / a connection came: a fresh stream (earlier answers
    // not yet read stay queued, as in a printer's output buffer).
    void Connect();
    // The port closed: a job without job-end command ends.
    void Disconnect();

    // Bytes from the host. FALSE for a failed write (nothing accepted);
    // otherwise `accepted` tells how many were taken (the write cap).
    bool Write(const char *data, DWORD count, DWORD *accepted);
    // The printer's answers: at most `size` bytes (and one piece), 0 when
    // nothing is waiting.
    DWORD Read(char *buffer, DWORD size);

    // Answer bytes queued and not read yet.
    size_t PendingAnswerBytes() const;
    // Jobs as the printer understood them, with what it answered for each.
    std::vector<StreamJob> Jobs() const;
    // Every byte accepted, and every byte answered, in order.
    std::string Received() const;
    std::string Answered() const;
    unsigned WriteCalls() const;
    unsigned FailedWrites() const;
    // Why the printer cannot talk the job language ("" when it can).
    std::string CodecProblem() const;

  private:
    void React(const std::vector<JobStream::Event> &events);
    void Queue(size_t job, const std::vector<TklEntry> &items);
    std::vector<TklEntry> StatusReport() const;

    SimPrinterConfig Config_;
    bool SpeaksTkl_;
    mutable std::mutex Mutex_;
    JobStream Stream_;
    std::deque<std::string> Answers_; // each entry goes out as one or more pieces
    std::string Answered_;
    unsigned Writes_ = 0;
    unsigned FailedWrites_ = 0;
    std::string CodecProblem_;
};
