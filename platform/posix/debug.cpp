// OutputDebugStringW: on Windows a debugger or a debug-output viewer shows
// the text; here it goes to a file or to standard error, one write per call
// so that lines of different threads never mix.
#include "internal.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <mutex>

namespace {

std::mutex outputMutex;
int outputFile = -1;       // PlatSetDebugOutput's file, or -1
bool outputChosen = false; // outputFile decided (hook or environment)

// The file of WINPLAT_DEBUG_OUTPUT the first time output is written.
// Caller holds outputMutex.
void ChooseOutput() {
    if (outputChosen)
        return;
    outputChosen = true;
    const char *path = getenv("WINPLAT_DEBUG_OUTPUT");
    if (path != nullptr && *path != 0)
        outputFile = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

} // namespace

void WINAPI OutputDebugStringW(LPCWSTR text) {
    if (text == nullptr)
        return;
    DWORD error = GetLastError();
    std::string line = winplat::Utf16ToUtf8(winplat::WideOrEmpty(text));
    {
        std::lock_guard<std::mutex> lock(outputMutex);
        ChooseOutput();
        int fd = outputFile >= 0 ? outputFile : STDERR_FILENO;
        ssize_t done = write(fd, line.data(), line.size());
        (void)done;
    }
    SetLastError(error);
}

bool PlatSetDebugOutput(const std::string &path) {
    std::lock_guard<std::mutex> lock(outputMutex);
    if (outputFile >= 0)
        close(outputFile);
    outputFile = -1;
    outputChosen = false;
    if (path.empty())
        return true;
    outputChosen = true;
    outputFile = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    return outputFile >= 0;
}
