#pragma once
// Process-wide settings, written once while the options are read and only read afterwards.
#include <cstdint>
#include <string>
#include <vector>

struct Config {
    std::uint32_t timeoutSeconds = 5;
    bool recurse = true;
    std::vector<std::string> includePatterns;
    std::vector<std::string> excludePatterns;
    // Files the run itself writes (the trace): they grow while the run goes on, so the scan
    // leaves them out wherever they lie and however their path was spelt.
    std::vector<std::string> ownOutputFiles;
    // The windowing connection and the hidden window that owns every box (opaque
    // handles: only the platform's message-box file knows what they are).
    void* display = nullptr;
    void* messageOwner = nullptr;
};

Config& config();

// Create `display` and then `messageOwner`; at shut-down dispose of them in reverse.
void startUpConfig();
void shutDownConfig();
