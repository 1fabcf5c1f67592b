#include "sim_printer.h"

#include <algorithm>
#include <string.h>

// A block the parser library refuses: what a confused printer might send.
static const char GarbageBlock[] = "@TKL ??? garbage \x01\x02 from the printer\f";

std::string DefaultDeviceId(const std::string &model) {
    bool speaksTkl = model.compare(0, 3, "RVT") == 0;
    return std::string("MFG:Ravodir;CMD:") + (speaksTkl ? "TKL,PCL" : "PCL,PS") + ";MDL:" + model +
           ";CLS:PRINTER;DES:JOB=0011 " + model + ";";
}

bool SpeaksTkl(const std::string &deviceId) {
    for (const char *model : {"RVT-201", "RVT-202", "RVT-301"}) {
        if (deviceId.find(model) != std::string::npos)
            return true;
    }
    return deviceId.find("TKL") != std::string::npos;
}

static std::string DeviceIdOf(const SimPrinterConfig &config) {
    return config.DeviceId.empty() ? DefaultDeviceId(config.Model) : config.DeviceId;
}

SimPrinter::SimPrinter(SimPrinterConfig config)
    : Config_(std::move(config)), SpeaksTkl_(::SpeaksTkl(DeviceIdOf(Config_))),
      Stream_(SpeaksTkl_) {
    Config_.DeviceId = DeviceIdOf(Config_);
    std::string problem;
    if (!tkl::Load(&problem))
        CodecProblem_ = problem;
}

std::string SimPrinter::DeviceId() const {
    return Config_.DeviceId;
}

void SimPrinter::Connect() {
    // Nothing to reset: the stream ended its job at the last disconnect.
}

void SimPrinter::Disconnect() {
    std::lock_guard<std::mutex> lock(Mutex_);
    std::vector<JobStream::Event> events;
    Stream_.Close(&events);
    React(events);
}

bool SimPrinter::Write(const char *data, DWORD count, DWORD *accepted) {
    std::lock_guard<std::mutex> lock(Mutex_);
    *accepted = 0;
    unsigned number = ++Writes_;
    const SimBehaviour &b = Config_.Behaviour;
    if (b.FailWritesFrom != 0 && number >= b.FailWritesFrom &&
        (b.FailWritesCount == 0 || number < b.FailWritesFrom + b.FailWritesCount)) {
        FailedWrites_++;
        return false;
    }
    DWORD take = count;
    if (b.WriteCap != 0 && take > b.WriteCap)
        take = b.WriteCap;
    std::vector<JobStream::Event> events;
    Stream_.Feed(data, take, &events);
    React(events);
    *accepted = take;
    return true;
}

DWORD SimPrinter::Read(char *buffer, DWORD size) {
    std::lock_guard<std::mutex> lock(Mutex_);
    if (Answers_.empty() || size == 0)
        return 0;
    std::string &front = Answers_.front();
    DWORD piece = (DWORD)front.size();
    if (Config_.Behaviour.PieceSize != 0)
        piece = std::min(piece, Config_.Behaviour.PieceSize);
    piece = std::min(piece, size);
    memcpy(buffer, front.data(), piece);
    front.erase(0, piece);
    if (front.empty())
        Answers_.pop_front();
    return piece;
}

size_t SimPrinter::PendingAnswerBytes() const {
    std::lock_guard<std::mutex> lock(Mutex_);
    size_t bytes = 0;
    for (const std::string &answer : Answers_)
        bytes += answer.size();
    return bytes;
}

std::vector<StreamJob> SimPrinter::Jobs() const {
    std::lock_guard<std::mutex> lock(Mutex_);
    return Stream_.Jobs();
}

std::string SimPrinter::Received() const {
    std::lock_guard<std::mutex> lock(Mutex_);
    return Stream_.Received();
}

std::string SimPrinter::Answered() const {
    std::lock_guard<std::mutex> lock(Mutex_);
    return Answered_;
}

unsigned SimPrinter::WriteCalls() const {
    std::lock_guard<std::mutex> lock(Mutex_);
    return Writes_;
}

unsigned SimPrinter::FailedWrites() const {
    std::lock_guard<std::mutex> lock(Mutex_);
    return FailedWrites_;
}

std::string SimPrinter::CodecProblem() const {
    return CodecProblem_;
}

std::vector<TklEntry> SimPrinter::StatusReport() const {
    TklEntry code, kind;
    code.Code = 65539;
    code.Values.push_back(TklField::Int(Config_.StatusCode));
    kind.Code = 65600;
    kind.Values.push_back(TklField::Int(Config_.StatusKind));
    return {code, kind};
}

void SimPrinter::Queue(size_t job, const std::vector<TklEntry> &items) {
    std::string text;
    if (Config_.Behaviour.Silent || !tkl::Compose(items, &text))
        return;
    if (Config_.Behaviour.Garbage) {
        Answers_.push_back(GarbageBlock);
        Answered_ += GarbageBlock;
        Stream_.Jobs()[job].Answers += GarbageBlock;
    }
    Answers_.push_back(text);
    Answered_ += text;
    Stream_.Jobs()[job].Answers += text;
}

void SimPrinter::React(const std::vector<JobStream::Event> &events) {
    for (const JobStream::Event &event : events) {
        if (event.Kind == JobStream::EventKind::Started) {
            // A status request (item 65539 without value) in the job-start
            // text is answered with the current status at once.
            bool asked = false;
            for (const TklEntry &item : event.Items)
                asked = asked || (item.Code == 65539 && item.Values.empty());
            if (asked)
                Queue(event.Job, StatusReport());
            continue;
        }
        if (!event.ByCommand)
            continue;

        // The job-end command: report the job's end with its tag in the port
        // form, then the status and the calibration values.
        const StreamJob &job = Stream_.Jobs()[event.Job];
        std::vector<TklEntry> report;
        TklEntry end;
        end.Code = Config_.Model.find("RVT-101") != std::string::npos ? 208 : 216;
        end.Values.push_back(TklField::Str(tkl::PortTag(job.JobId)));
        report.push_back(end);
        for (const TklEntry &status : StatusReport())
            report.push_back(status);
        for (size_t i = 0; i < Config_.Calibration.size() && i < 4; i++) {
            TklEntry value;
            value.Code = 220 + (DWORD)i;
            value.Values.push_back(Config_.Calibration[i]);
            report.push_back(value);
        }
        Queue(event.Job, report);
    }
}
