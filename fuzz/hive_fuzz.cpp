// The registry hive loader (platform/posix/hive.h through PlatRegistryOpen)
// on arbitrary files: a file that does not parse is refused with a message
// and leaves an empty hive; one that parses exports to a text that loads
// again to the same export. The monitors' configuration reads then run on
// whatever the hive holds (values of any type and size under their keys).
#include "fuzz_input.h"
#include "quennet.h"
#include "wintest.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

// Memory-backed when the system has it: rewriting a file on disk for every
// input makes the file system flush it at each close, and the fuzzer then
// waits on the disk instead of running.
std::string Folder() {
    if (access("/dev/shm", W_OK) == 0)
        return "/dev/shm";
    const char *tmp = getenv("TMPDIR");
    return tmp != nullptr && tmp[0] != 0 ? tmp : "/tmp";
}

void WriteFile(const std::string &path, const std::string &text) {
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr)
        abort();
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
}

const char *const Prefix = "Windows Registry Editor Version 5.00\n\n";

// The two hive files of this process, removed after every input: libFuzzer
// ends an interrupted run without running destructors, and /dev/shm would
// keep what is left there until the machine restarts. (A crash leaves the
// files of the input that crashed.)
struct Files {
    std::string First = Folder() + "/quennet-hive-fuzz-" + std::to_string(getpid());
    std::string Second = First + "-again";
};

struct RemovedAtEnd {
    const Files &Names;
    ~RemovedAtEnd() {
        unlink(Names.First.c_str());
        unlink(Names.Second.c_str());
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static Files files;
    const std::string &first = files.First, &second = files.Second;
    RemovedAtEnd removed{files};
    FuzzInput input(data, size);
    // Half of the inputs get the header for free, so the fuzzer spends its
    // time on sections and values.
    std::string text = input.Flag() ? Prefix + input.Rest() : input.Rest();
    WriteFile(first, text);

    static const std::string empty = (PlatRegistryOpen("", nullptr), PlatRegistryExport());

    // A file that does not parse: refused with a reason, and the hive is empty.
    std::string error;
    if (!PlatRegistryOpen(first, &error)) {
        if (error.empty() || PlatRegistryExport() != empty)
            abort();
        PlatRegistryOpen("", nullptr);
        return 0;
    }
    std::string exported = PlatRegistryExport();
    WriteFile(second, exported);
    if (!PlatRegistryOpen(second, &error) || PlatRegistryExport() != exported)
        abort();

    // The configuration as the monitor reads it.
    DWORD level = ReadPollingLevel();
    if (level < 1 || level > 5)
        abort();
    GetJobNotifyPort();

    PlatRegistryOpen("", nullptr);
    return 0;
}
