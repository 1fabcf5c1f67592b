#include "job_stream.h"

#include <string.h>

namespace {

// The notification tag among the items of a block (items 212, 214, 208).
DWORD JobIdOf(const std::vector<TklEntry> &items) {
    for (const TklEntry &item : items) {
        if ((item.Code == 212 || item.Code == 214 || item.Code == 208) && !item.Values.empty() &&
            item.Values[0].Type == 3) {
            DWORD id = tkl::TagJobId(item.Values[0].Text);
            if (id != 0)
                return id;
        }
    }
    return 0;
}

// Length of the longest tail of `text` that begins the marker.
size_t PartialMarker(const std::string &text) {
    size_t marker = strlen(tkl::BlockMarker);
    for (size_t keep = marker - 1; keep > 0; keep--) {
        if (text.size() >= keep &&
            text.compare(text.size() - keep, keep, tkl::BlockMarker, keep) == 0)
            return keep;
    }
    return 0;
}

} // namespace

bool IsJobEndCode(DWORD code) {
    // 213 and 214 end a job of the standard command family, 208 one of the
    // "RVT-101" family.
    return code == 213 || code == 214 || code == 208;
}

StreamJob &JobStream::CurrentJob() {
    if (Current_ < 0) {
        Jobs_.emplace_back();
        Current_ = (long)Jobs_.size() - 1;
    }
    return Jobs_[(size_t)Current_];
}

void JobStream::AppendData(const std::string &bytes) {
    if (bytes.empty())
        return;
    CurrentJob().Data += bytes;
}

void JobStream::EndCurrent(const char *by, bool byCommand, std::vector<TklEntry> items,
                           std::vector<Event> *events) {
    if (Current_ < 0)
        return;
    StreamJob &job = Jobs_[(size_t)Current_];
    job.Ended = true;
    job.EndedBy = by;
    events->push_back(Event{EventKind::Ended, (size_t)Current_, byCommand, std::move(items)});
    Current_ = -1;
}

void JobStream::HandleBlock(const std::string &block, std::vector<Event> *events) {
    std::vector<TklEntry> items;
    if (!tkl::Parse(block, &items) || items.empty()) {
        AppendData(block);
        return;
    }
    bool end = false;
    for (const TklEntry &item : items)
        end = end || IsJobEndCode(item.Code);

    if (end) {
        StreamJob &job = CurrentJob();
        job.EndText = block;
        job.EndItems = items;
        if (job.JobId == 0)
            job.JobId = JobIdOf(items);
        EndCurrent("job-end command", true, std::move(items), events);
        return;
    }

    // A start block opens a new job; one that still has data or a start of
    // its own ends first.
    if (Current_ >= 0) {
        const StreamJob &open = Jobs_[(size_t)Current_];
        if (!open.Data.empty() || !open.StartText.empty())
            EndCurrent("next job began", false, {}, events);
    }
    StreamJob &job = CurrentJob();
    job.StartText = block;
    job.StartItems = items;
    job.JobId = JobIdOf(items);
    events->push_back(Event{EventKind::Started, (size_t)Current_, true, std::move(items)});
}

void JobStream::Feed(const char *data, size_t count, std::vector<Event> *events) {
    Received_.append(data, count);
    if (!Interpret_) {
        AppendData(std::string(data, count));
        return;
    }
    Hold_.append(data, count);
    for (;;) {
        if (!InBlock_) {
            size_t marker = Hold_.find(tkl::BlockMarker);
            if (marker == std::string::npos) {
                // Keep a tail that may be the start of a marker split between writes.
                size_t keep = PartialMarker(Hold_);
                AppendData(Hold_.substr(0, Hold_.size() - keep));
                Hold_.erase(0, Hold_.size() - keep);
                return;
            }
            AppendData(Hold_.substr(0, marker));
            Hold_.erase(0, marker);
            InBlock_ = true;
        }
        size_t formFeed = Hold_.find(tkl::FormFeed);
        if (formFeed == std::string::npos) {
            if (Hold_.size() <= MaxBlock)
                return;
            // Too long for a command: it was data that looked like one.
            InBlock_ = false;
            AppendData(Hold_.substr(0, 1));
            Hold_.erase(0, 1);
            continue;
        }
        std::string block = Hold_.substr(0, formFeed + 1);
        Hold_.erase(0, formFeed + 1);
        InBlock_ = false;
        HandleBlock(block, events);
    }
}

void JobStream::Close(std::vector<Event> *events) {
    AppendData(Hold_);
    Hold_.clear();
    InBlock_ = false;
    EndCurrent("port closed", false, {}, events);
}
