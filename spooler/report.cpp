// The host's report: what a person reads after a run.
#include "host.h"

#include <stdio.h>

#include <sstream>

namespace {

const char *ControlName(DWORD command) {
    switch (command) {
    case JOB_CONTROL_PAUSE:
        return "PAUSE";
    case JOB_CONTROL_RESUME:
        return "RESUME";
    case JOB_CONTROL_CANCEL:
        return "CANCEL";
    case JOB_CONTROL_RESTART:
        return "RESTART";
    case JOB_CONTROL_DELETE:
        return "DELETE";
    case JOB_CONTROL_SENT_TO_PRINTER:
        return "SENT_TO_PRINTER";
    case JOB_CONTROL_LAST_PAGE_EJECTED:
        return "LAST_PAGE_EJECTED";
    default:
        return "?";
    }
}

std::string Hex8(DWORD value) {
    char text[16];
    snprintf(text, sizeof(text), "%08X", (unsigned)value);
    return text;
}

// "label" padded to the report's column, then the text; a text of several
// lines continues under the column.
void Field(std::ostringstream &out, const std::string &label, const std::string &text) {
    const size_t column = 20;
    std::string pad(column, ' ');
    std::string head = "  " + label;
    if (head.size() < column)
        head += std::string(column - head.size(), ' ');
    else
        head += " ";
    std::istringstream lines(text);
    std::string line;
    bool first = true;
    while (std::getline(lines, line)) {
        out << (first ? head : pad) << line << "\n";
        first = false;
    }
    if (first)
        out << head << "\n";
}

// A job-language text, one line per @TKL line and a line break after each
// form feed, control bytes escaped.
std::string Block(const std::string &text) {
    if (text.empty())
        return "(none)";
    std::string out, line;
    for (char c : text) {
        if (c == '\n' || c == tkl::FormFeed) {
            if (c == tkl::FormFeed)
                line += c;
            if (!line.empty())
                out += tkl::Printable(line) + "\n";
            line.clear();
            continue;
        }
        line += c;
    }
    if (!line.empty())
        out += tkl::Printable(line) + "\n";
    return out;
}

// How the bytes that reached the printer compare with the file.
std::string Compare(const std::string &received, const std::string &file) {
    std::string text = std::to_string(received.size()) + " bytes";
    if (received == file)
        return text + ", byte-exact";
    size_t common = 0;
    while (common < received.size() && common < file.size() && received[common] == file[common])
        common++;
    return text + ", DIFFERENT from the file's " + std::to_string(file.size()) +
           " bytes (first difference at offset " + std::to_string(common) + ")";
}

std::string Controls(const std::vector<PlatJobControl> &controls) {
    if (controls.empty())
        return "(none)";
    std::string out;
    for (const PlatJobControl &control : controls) {
        if (!out.empty())
            out += ", ";
        out += std::string(ControlName(control.Command)) + (control.Succeeded ? "" : " (refused)");
    }
    return out;
}

std::string Count(unsigned n, const char *thing) {
    return std::to_string(n) + " " + thing + (n == 1 ? "" : "s");
}

std::string Times(unsigned n) {
    return n == 1 ? "once" : n == 2 ? "twice" : std::to_string(n) + " times";
}

// The system's text of the Win32 errors the host's port monitors answer.
const char *ErrorText(DWORD error) {
    switch (error) {
    case ERROR_PATH_NOT_FOUND:
        return "The system cannot find the path specified.";
    case ERROR_ACCESS_DENIED:
        return "Access is denied.";
    case ERROR_INVALID_HANDLE:
        return "The handle is invalid.";
    case ERROR_WRITE_FAULT:
        return "The system cannot write to the specified device.";
    case ERROR_READ_FAULT:
        return "The system cannot read from the specified device.";
    case ERROR_GEN_FAILURE:
        return "A device attached to the system is not functioning.";
    case ERROR_NOT_SUPPORTED:
        return "The request is not supported.";
    case ERROR_INVALID_PARAMETER:
        return "The parameter is incorrect.";
    case ERROR_BAD_PATHNAME:
        return "The specified path is invalid.";
    case ERROR_NOT_CONNECTED:
        return "This network connection does not exist.";
    case ERROR_TIMEOUT:
        return "This operation returned because the timeout period expired.";
    default:
        return "(no text)";
    }
}

// "20 times; last error 2250 (This network connection does not exist.): <detail>"
std::string Failures(const PortCallFailures &failures) {
    std::string text = Times(failures.Count) + "; last error " +
                       std::to_string(failures.Last.Code) + " (" + ErrorText(failures.Last.Code) +
                       ")";
    return failures.Last.Detail.empty() ? text : text + ": " + failures.Last.Detail;
}

unsigned Lines(const std::string &text) {
    unsigned lines = 0;
    for (char c : text)
        lines += c == '\n' ? 1 : 0;
    return lines;
}

} // namespace

std::string FormatReport(const HostResult &r) {
    const HostOptions &o = r.Options;
    std::ostringstream out;
    out << "spoolhost report\n";
    if (!r.Setup.empty()) {
        out << "  the run could not take place: " << r.Setup << "\n";
        return out.str();
    }

    // What was set up.
    char scale[64];
    snprintf(scale, sizeof(scale), "%g", o.ClockScale);
    Field(out, "monitor",
          r.MonitorPath + (o.Contract == "2000" ? " (MONITOR2 size " : " (MONITOREX size ") +
              std::to_string(r.MonitorSize) + ")");
    Field(out, "contract",
          o.Contract == "2000" ? "Windows 2000 and later (InitializePrintMonitor2, Shutdown)"
                               : "NT 4.0 (InitializePrintMonitor)");
    Field(out, "port",
          o.Port + " of printer \"" +
              (o.Printer.empty() ? std::string("Simulated printer") : o.Printer) + "\"" +
              (o.LprPort ? " (LPR port)" : ""));
    Field(out, "port monitor",
          o.PortMonitor + " (its port opened " + Times(r.PortOpens) + ", closed " +
              Times(r.PortCloses) + ")");
    if (!o.Transport.empty())
        Field(out, "transport", "DARUZUROZ.DLL to the printer at " + o.Transport);
    Field(out, "device ID",
          r.DeviceId.empty() ? "(the port monitor cannot tell)" : "\"" + r.DeviceId + "\"");
    Field(out, "registry hive", r.RegistryPath);
    Field(out, "clock scale",
          std::string(scale) + (o.ClockScale != 1 ? " (monitor time runs this much faster)" : ""));
    for (const std::string &warning : r.Warnings)
        Field(out, "warning", warning);

    // Each job as the spooler drove it and as it reached the printer.
    size_t completed = 0;
    for (size_t i = 0; i < r.Jobs.size(); i++) {
        const JobResult &job = r.Jobs[i];
        completed += job.Completed && job.Ended ? 1 : 0;
        out << "\njob " << (i + 1) << ": " << job.File << "\n";
        char seconds[32];
        snprintf(seconds, sizeof(seconds), "%.2f s", job.Seconds);
        Field(out, "spooler job id",
              std::to_string(job.JobId) + ", " + std::to_string(job.Content.size()) + " bytes");
        std::string outcome = job.Outcome + ": " + std::to_string(job.Written) + " of " +
                              std::to_string(job.Content.size()) + " bytes accepted by WritePort";
        if (job.Started)
            outcome += " in " + Count(job.WriteCalls, "call") + " (" +
                       std::to_string(job.ZeroWrites) + " took 0 bytes, " +
                       std::to_string(job.FailedWrites) + " failed), " + seconds;
        if (job.Started && !job.Ended)
            outcome += "; EndDocPort failed with error " + std::to_string(job.EndError);
        Field(out, "outcome", outcome);
        if (i < r.Tapped.size() && !r.Tapped[i].Stream.Received().empty()) {
            const std::vector<StreamJob> &parts = r.Tapped[i].Stream.Jobs();
            std::string start, data, end;
            for (const StreamJob &part : parts) {
                start += part.StartText;
                data += part.Data;
                end += part.EndText;
            }
            Field(out, "job-start text", Block(start));
            Field(out, "data at printer", Compare(data, job.Content));
            Field(out, "job-end text", Block(end));
        } else if (!job.Started || job.Written == 0) {
            Field(out, "at the printer", "nothing passed the port monitor");
        } else {
            Field(out, "at the printer",
                  "nothing passed the port monitor (the monitor used its "
                  "transport channel: see the printer below)");
        }
        if (i < r.Tapped.size() && !r.Tapped[i].Answers.empty())
            Field(out, "printer answered", Block(r.Tapped[i].Answers));
        Field(out, "job controls", Controls(job.Controls));
    }

    // Why jobs may not have passed: the port monitor calls that failed.
    out << "\nport monitor calls that failed\n";
    if (r.PortFailures.empty())
        out << "  (none)\n";
    for (const PortCallFailures &failures : r.PortFailures)
        Field(out, failures.Call, Failures(failures));

    // The printer's own view of the jobs.
    bool answersShown = false;
    for (const TappedJob &tapped : r.Tapped)
        answersShown = answersShown || !tapped.Answers.empty();
    if (r.HavePrinterJobs) {
        out << "\nprinter (" << r.PrinterSource
            << "): " << Count((unsigned)r.PrinterJobs.size(), "job") << "\n";
        for (size_t i = 0; i < r.PrinterJobs.size(); i++) {
            const StreamJob &job = r.PrinterJobs[i];
            std::string line = "job id " + (job.JobId != 0 ? Hex8(job.JobId) : std::string("-")) +
                               ", " + std::to_string(job.Data.size()) + " data bytes";
            if (i < r.Jobs.size())
                line = "job id " + (job.JobId != 0 ? Hex8(job.JobId) : std::string("-")) + ", " +
                       Compare(job.Data, r.Jobs[i].Content);
            line += job.Ended ? ", ended by " + job.EndedBy : ", still open";
            line += job.StartText.empty() ? "" : ", with job-start text";
            line += job.EndText.empty() ? "" : ", with job-end text";
            Field(out, "job " + std::to_string(i + 1), line);
            if (!job.Answers.empty() && !answersShown)
                Field(out, "  answered", Block(job.Answers));
        }
    }

    // The status agent's journal.
    out << "\nstatus agent journal (" << (r.JournalPath.empty() ? "not kept" : r.JournalPath)
        << "): " << Count(Lines(r.Journal), "call") << "\n";
    std::istringstream journal(r.Journal);
    std::string line;
    while (std::getline(journal, line))
        out << "  " << line << "\n";

    // The monitor's trace, when it was switched on.
    if (r.Options.TraceLevel != 0) {
        out << "\nmonitor trace (TraceLevel " << r.Options.TraceLevel
            << " under HKEY_LOCAL_MACHINE\\" << HostMonitorKey
            << "): " << Count(Lines(r.Trace), "line") << "\n";
        std::istringstream trace(r.Trace);
        while (std::getline(trace, line))
            out << "  " << line << "\n";
    }

    // What the monitor wrote into the registry.
    out << "\nregistry values written under "
           "HKEY_LOCAL_MACHINE\\SOFTWARE\\Morvane\\TallowII\\Ports\n";
    if (r.RegistryPorts.empty())
        out << "  (none)\n";
    std::istringstream ports(r.RegistryPorts);
    while (std::getline(ports, line))
        out << "  " << line << "\n";

    // How it ended.
    char finish[64];
    snprintf(finish, sizeof(finish), "%.2f s", r.FinishSeconds);
    out << "\nend\n";
    Field(out, "monitor finished",
          r.MonitorFinished
              ? std::string("yes, ") + finish +
                    " after the last EndDocPort (the port monitor's port is closed)"
              : std::string("NO: the port monitor's port was still open after ") + finish);
    if (r.UnreadAnswerBytes != 0)
        Field(out, "unread answers",
              std::to_string(r.UnreadAnswerBytes) + " bytes the printer said were never read");
    Field(out, "ClosePort",
          std::string(r.PortClosed ? "TRUE" : "FALSE") +
              "; printer handles left open: " + std::to_string(r.PrinterHandlesLeft));
    std::string result = std::to_string(completed) + " of " + std::to_string(r.Jobs.size()) +
                         " jobs passed completely";
    size_t cancelled = 0;
    for (const JobResult &job : r.Jobs)
        cancelled += job.Cancelled && EndedAsAsked(o, job) ? 1 : 0;
    if (cancelled != 0)
        result += "; " + std::to_string(cancelled) + " cancelled as asked (--agent-cancel)";
    unsigned notAsAsked = JobsNotAsAsked(r);
    if (notAsAsked != 0)
        result += "; " + std::to_string(notAsAsked) + " did not end as the run asked for";
    Field(out, "result", result);
    return out.str();
}
