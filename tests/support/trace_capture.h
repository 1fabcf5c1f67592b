// The monitors' trace as a test reads it: TraceLevel under a monitor key of
// the registry, and the debug output gathered in a file.
#pragma once

#include "wintest.h"

#include <stdio.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

class TraceCapture {
  public:
    // The key to hand to InitializePrintMonitor.
    static constexpr const WCHAR *Root =
        WSTR("SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Trace Test");

    TraceCapture()
        : path_((std::filesystem::temp_directory_path() /
                 ("trace-" + std::to_string(getpid()) + ".txt"))
                    .string()) {
        remove(path_.c_str());
        redirected_ = PlatSetDebugOutput(path_);
    }
    // False where the debug output cannot be caught.
    bool Redirected() const { return redirected_; }
    ~TraceCapture() {
        PlatSetDebugOutput("");
        remove(path_.c_str());
    }

    static void SetLevel(DWORD level) {
        HKEY key = nullptr;
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, Root, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr);
        RegSetValueExW(key, WSTR("TraceLevel"), 0, REG_DWORD, (const BYTE *)&level, sizeof(level));
        RegCloseKey(key);
    }

    // The lines written since the last call.
    std::vector<std::string> Lines() {
        std::vector<std::string> lines;
        std::ifstream file(path_);
        std::string line;
        for (size_t n = 0; std::getline(file, line); n++) {
            if (n >= seen_)
                lines.push_back(line);
        }
        seen_ += lines.size();
        return lines;
    }

  private:
    std::string path_;
    bool redirected_ = false;
    size_t seen_ = 0;
};
