#include "sim_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <random>

namespace {

// Pause between two pieces of an answer sent in pieces, so that they reach
// the monitor in separate reads.
constexpr auto PiecePause = std::chrono::milliseconds(30);
// Longest device-ID request line.
constexpr size_t RequestMax = 256;

int Listen(const std::string &host, unsigned port, std::string *error) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) {
        *error = std::string("socket: ") + strerror(errno);
        return -1;
    }
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons((unsigned short)port);
    if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
        close(s);
        *error = "not an IPv4 address: " + host;
        return -1;
    }
    if (bind(s, (sockaddr *)&address, sizeof(address)) != 0 || listen(s, 8) != 0) {
        *error = host + ":" + std::to_string(port) + ": " + strerror(errno);
        close(s);
        return -1;
    }
    return s;
}

// The time from now to `seconds` later.
std::chrono::steady_clock::time_point After(double seconds) {
    return std::chrono::steady_clock::now() +
           std::chrono::duration_cast<std::chrono::steady_clock::duration>(
               std::chrono::duration<double>(seconds));
}

std::string Hex(const std::string &bytes) {
    static const char digits[] = "0123456789abcdef";
    if (bytes.empty())
        return "-";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

bool Unhex(const std::string &text, std::string *bytes) {
    bytes->clear();
    if (text == "-")
        return true;
    if (text.size() % 2 != 0)
        return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        int value = 0;
        for (size_t j = i; j < i + 2; j++) {
            char c = text[j];
            int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
            if (digit < 0)
                return false;
            value = value * 16 + digit;
        }
        bytes->push_back((char)value);
    }
    return true;
}

} // namespace

unsigned DeviceIdChannel(const std::string &deviceId) {
    size_t model = deviceId.find("MDL:");
    if (model == std::string::npos)
        return 16;
    size_t job = deviceId.find("JOB=", model);
    if (job == std::string::npos || deviceId.size() - job < 8)
        return 16;
    unsigned channel = 0;
    for (size_t i = job + 6; i < job + 8; i++) {
        char c = deviceId[i];
        int digit = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                           : -1;
        if (digit < 0)
            break;
        channel = channel * 16 + (unsigned)digit;
    }
    return channel == 0 ? 16 : channel;
}

std::string RecordLine(size_t index, const StreamJob &job) {
    char id[16];
    snprintf(id, sizeof(id), "%08X", (unsigned)job.JobId);
    std::string ended = !job.Ended                         ? "open"
                        : job.EndedBy == "job-end command" ? "command"
                        : job.EndedBy == "next job began"  ? "next"
                                                           : "closed";
    return "job=" + std::to_string(index + 1) + " id=" + id + " ended=" + ended +
           " start=" + Hex(job.StartText) + " data=" + Hex(job.Data) + " end=" + Hex(job.EndText) +
           " answers=" + Hex(job.Answers);
}

bool ParseRecordLine(const std::string &line, StreamJob *job) {
    *job = StreamJob();
    size_t start = 0;
    int fields = 0;
    while (start < line.size()) {
        size_t space = line.find(' ', start);
        if (space == std::string::npos)
            space = line.size();
        std::string field = line.substr(start, space - start);
        start = space + 1;
        size_t equals = field.find('=');
        if (equals == std::string::npos)
            return false;
        std::string key = field.substr(0, equals), value = field.substr(equals + 1);
        bool ok = true;
        if (key == "id") {
            job->JobId = (DWORD)strtoul(value.c_str(), nullptr, 16);
        } else if (key == "ended") {
            job->Ended = value != "open";
            job->EndedBy = value == "command" ? "job-end command"
                           : value == "next"  ? "next job began"
                           : value == "open"  ? ""
                                              : "port closed";
        } else if (key == "start") {
            ok = Unhex(value, &job->StartText);
        } else if (key == "data") {
            ok = Unhex(value, &job->Data);
        } else if (key == "end") {
            ok = Unhex(value, &job->EndText);
        } else if (key == "answers") {
            ok = Unhex(value, &job->Answers);
        } else if (key != "job") {
            continue;
        }
        if (!ok)
            return false;
        fields++;
    }
    return fields >= 6;
}

SimServer::SimServer(std::shared_ptr<SimPrinter> printer, SimServerConfig config)
    : Printer_(std::move(printer)), Config_(std::move(config)) {}

SimServer::~SimServer() {
    Stop();
}

bool SimServer::Bind(unsigned base, std::string *error) {
    std::vector<unsigned> ports = {base};
    for (unsigned channel : Channels_)
        ports.push_back(base + channel);
    for (unsigned port : ports) {
        if (port == 0 || port > 65535) {
            *error = "port " + std::to_string(port) + " out of range";
            break;
        }
        int s = Listen(Config_.Host, port, error);
        if (s < 0)
            break;
        Listeners_.push_back(s);
    }
    if (Listeners_.size() == ports.size()) {
        BasePort_ = base;
        return true;
    }
    for (int s : Listeners_)
        close(s);
    Listeners_.clear();
    return false;
}

bool SimServer::Start(std::string *error) {
    unsigned channel = DeviceIdChannel(Printer_->DeviceId());
    Channels_ = {channel};
    if (channel != 16)
        Channels_.push_back(16);

    bool bound = false;
    if (Config_.BasePort != 0) {
        bound = Bind(Config_.BasePort, error);
    } else {
        // A free base: try random ones high enough to leave room for the channels.
        std::mt19937 random((unsigned)std::chrono::steady_clock::now().time_since_epoch().count() ^
                            (unsigned)getpid());
        for (int attempt = 0; attempt < 64 && !bound; attempt++)
            bound = Bind(20000 + random() % 40000, error);
    }
    if (!bound)
        return false;
    ChannelWorker_ = std::thread([this] { ChannelLoop(); });
    Acceptor_ = std::thread([this] { AcceptLoop(); });
    return true;
}

void SimServer::Stop() {
    if (Stopping_.exchange(true))
        return;
    if (Acceptor_.joinable())
        Acceptor_.join();
    {
        std::lock_guard<std::mutex> lock(ChannelMutex_);
        ChannelReady_.notify_all();
    }
    if (ChannelWorker_.joinable())
        ChannelWorker_.join();
    for (int s : PendingChannels_)
        close(s);
    PendingChannels_.clear();
    std::vector<Worker> workers;
    {
        std::lock_guard<std::mutex> lock(ThreadsMutex_);
        workers.swap(Workers_);
    }
    for (Worker &worker : workers)
        worker.Thread.join();
    for (int s : Listeners_)
        close(s);
    Listeners_.clear();
}

size_t SimServer::EndedJobs() const {
    size_t ended = 0;
    for (const StreamJob &job : Printer_->Jobs())
        ended += job.Ended ? 1 : 0;
    return ended;
}

void SimServer::AcceptLoop() {
    std::vector<pollfd> pollers;
    for (int s : Listeners_)
        pollers.push_back(pollfd{s, POLLIN, 0});
    while (!Stopping_.load()) {
        if (poll(pollers.data(), pollers.size(), 50) <= 0)
            continue;
        for (size_t i = 0; i < pollers.size(); i++) {
            if ((pollers[i].revents & POLLIN) == 0)
                continue;
            int client = accept(pollers[i].fd, nullptr, nullptr);
            if (client < 0)
                continue;
            int one = 1;
            setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
            if (i != 0) {
                std::lock_guard<std::mutex> lock(ChannelMutex_);
                PendingChannels_.push_back(client);
                ChannelReady_.notify_one();
                continue;
            }
            // Device-ID requests are answered at once, also during a job.
            std::lock_guard<std::mutex> lock(ThreadsMutex_);
            for (auto worker = Workers_.begin(); worker != Workers_.end();) {
                if (worker->Done->load()) {
                    worker->Thread.join();
                    worker = Workers_.erase(worker);
                } else {
                    ++worker;
                }
            }
            auto done = std::make_shared<std::atomic<bool>>(false);
            Workers_.push_back(Worker{std::thread([this, client, done] {
                                          ServeControl(client);
                                          done->store(true);
                                      }),
                                      done});
        }
    }
}

void SimServer::ChannelLoop() {
    for (;;) {
        int client;
        {
            std::unique_lock<std::mutex> lock(ChannelMutex_);
            ChannelReady_.wait(lock,
                               [this] { return Stopping_.load() || !PendingChannels_.empty(); });
            if (Stopping_.load())
                return;
            client = PendingChannels_.front();
            PendingChannels_.pop_front();
        }
        ServeChannel(client);
    }
}

void SimServer::ServeControl(int s) {
    // The request line, read within a second.
    std::string request;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (request.find('\n') == std::string::npos && request.size() < RequestMax &&
           std::chrono::steady_clock::now() < deadline && !Stopping_.load()) {
        pollfd poller = {s, POLLIN, 0};
        if (poll(&poller, 1, 20) <= 0)
            continue;
        char buffer[RequestMax];
        ssize_t got = recv(s, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (got < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (got <= 0)
            break;
        request.append(buffer, (size_t)got);
    }
    if (request.rfind("DEVICEID ", 0) == 0 && request.find('\n') != std::string::npos) {
        std::string deviceId = Printer_->DeviceId();
        SendAll(s, deviceId.data(), deviceId.size());
    }
    close(s);
    Served_++;
}

void SimServer::ServeChannel(int s) {
    Printer_->Connect();
    const SimBehaviour &behaviour = Printer_->Config().Behaviour;
    bool broken = false;
    auto idleUntil = After(Config_.WriteTimeoutSeconds);
    while (!Stopping_.load() && !broken) {
        // A client silent both ways for the time-out is given up.
        if (std::chrono::steady_clock::now() >= idleUntil)
            break;
        pollfd poller = {s, POLLIN, 0};
        int ready = poll(&poller, 1, 10);
        if (ready > 0) {
            char buffer[65536];
            ssize_t got = recv(s, buffer, sizeof(buffer), MSG_DONTWAIT);
            if (got < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            if (got <= 0)
                break;
            idleUntil = After(Config_.WriteTimeoutSeconds);
            // The whole chunk goes in (TCP cannot refuse it), in write-cap steps.
            size_t done = 0;
            while (done < (size_t)got) {
                DWORD accepted = 0;
                if (!Printer_->Write(buffer + done, (DWORD)(got - (ssize_t)done), &accepted)) {
                    // A failed write breaks the connection off (reset, not a close).
                    linger hard = {1, 0};
                    setsockopt(s, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
                    broken = true;
                    break;
                }
                done += accepted;
            }
        }
        // Send whatever the printer has to say, piece by piece.
        char answer[4096];
        DWORD length;
        while (!broken && (length = Printer_->Read(answer, sizeof(answer))) > 0) {
            if (!SendAll(s, answer, length)) {
                broken = true;
                break;
            }
            idleUntil = After(Config_.WriteTimeoutSeconds);
            if (behaviour.PieceSize != 0)
                std::this_thread::sleep_for(PiecePause);
        }
    }
    Printer_->Disconnect();
    close(s);
    WriteRecord();
    Served_++;
}

// All of it, unless the client takes nothing for the write time-out or the
// server is stopping.
bool SimServer::SendAll(int s, const char *data, size_t count) {
    auto deadline = After(Config_.WriteTimeoutSeconds);
    while (count > 0) {
        if (Stopping_.load() || std::chrono::steady_clock::now() >= deadline)
            return false;
        pollfd poller = {s, POLLOUT, 0};
        if (poll(&poller, 1, 20) <= 0)
            continue;
        ssize_t sent = send(s, data, count, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            continue;
        if (sent <= 0)
            return false;
        data += sent;
        count -= (size_t)sent;
        deadline = After(Config_.WriteTimeoutSeconds);
    }
    return true;
}

void SimServer::WriteRecord() {
    if (Config_.RecordPath.empty())
        return;
    std::vector<StreamJob> jobs = Printer_->Jobs();
    std::string temporary = Config_.RecordPath + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        for (size_t i = 0; i < jobs.size(); i++)
            out << RecordLine(i, jobs[i]) << '\n';
    }
    rename(temporary.c_str(), Config_.RecordPath.c_str());
}
