// Splits the byte stream that reaches a printer into jobs: an optional
// command block that opens the job (job-start or notification-address text),
// the job's data, and an optional command block that ends it (job-end text).
// Command blocks are recognised by their marker, checked with the parser
// library and classified by their item codes; anything that does not parse
// is data. The simulated printer and the host's tap of a port both use it.
#pragma once

#include "tkl_codec.h"

#include <string>
#include <vector>

struct StreamJob {
    std::string StartText; // the block that opened the job ("" when none)
    std::vector<TklEntry> StartItems;
    std::string Data;    // the job's own bytes, exactly as received
    std::string EndText; // the job-end block ("" when none)
    std::vector<TklEntry> EndItems;
    DWORD JobId = 0; // from the notification tags of its blocks; 0: none seen
    bool Ended = false;
    std::string EndedBy; // "job-end command", "port closed", "next job began"
    std::string Answers; // what the printer answered for this job (kept by its owner)
};

class JobStream {
  public:
    enum class EventKind { Started, Ended };
    struct Event {
        EventKind Kind;
        size_t Job;     // index into Jobs()
        bool ByCommand; // Started: a start block; Ended: a job-end block
        std::vector<TklEntry> Items;
    };

    // A stream that does not interpret commands takes every byte as data (a
    // printer that does not speak the job language).
    explicit JobStream(bool interpret = true) : Interpret_(interpret) {}

    // Bytes arriving in order; the events they cause are appended to `events`.
    void Feed(const char *data, size_t count, std::vector<Event> *events);
    // The connection closed: a pending partial block counts as data, and an
    // open job ends. Feeding may go on afterwards (a new connection).
    void Close(std::vector<Event> *events);

    const std::vector<StreamJob> &Jobs() const { return Jobs_; }
    std::vector<StreamJob> &Jobs() { return Jobs_; }
    // Every byte fed, in order.
    const std::string &Received() const { return Received_; }
    // Index of the job still open, or -1.
    long OpenJob() const { return Current_; }

    // Longest block awaited for its form feed before the bytes count as data.
    static constexpr size_t MaxBlock = 16384;

  private:
    void AppendData(const std::string &bytes);
    void HandleBlock(const std::string &block, std::vector<Event> *events);
    void EndCurrent(const char *by, bool byCommand, std::vector<TklEntry> items,
                    std::vector<Event> *events);
    StreamJob &CurrentJob();

    std::vector<StreamJob> Jobs_;
    std::string Received_;
    std::string Hold_; // bytes not yet classified
    bool Interpret_;
    bool InBlock_ = false;
    long Current_ = -1;
};

// True for item codes that only a job-end command carries.
bool IsJobEndCode(DWORD code);
