#pragma once
// Process-wide settings, written once while the options are read and only read afterwards.
#include <cstdint>
#include <string>
#include <vector>

#include "local/scan.hpp"

// The scan's settings are handed to the scan as they are; the files the run itself writes
// (the trace) grow while the run goes on, so the scan leaves them out wherever they lie.
struct Config : ScanSettings {
    std::uint32_t timeoutSeconds = 5;
    // --report: where the run's outcome is written at its end; empty for none.
    std::string reportFile;
    // It was there before the run opened it (as it is, or a file of the tree behind a link).
    bool reportExistedBefore = false;
    // The scan found it none of the files to upload, so writing it changes nothing of the run.
    bool reportChecked = false;
    // For the report: the scan's error lines, and the files they left out (below the local folder).
    std::vector<std::string> scanErrors;
    struct Refused {
        std::string path;
        std::string reason;
    };
    std::vector<Refused> scanRefused;
    // --boxes: false writes every box to standard error as a line instead of a window, so
    // that an unattended run never waits for a click.
    bool boxes = true;
    // --progress: a status line on standard error while the files are stored, where that is a terminal.
    bool progress = false;
    // The windowing connection and the hidden window that owns every box (opaque
    // handles: only the platform's message-box file knows what they are).
    void* display = nullptr;
    void* messageOwner = nullptr;
};

Config& config();

// Create `display` and then `messageOwner`; at shut-down dispose of them in reverse.
void startUpConfig();
void shutDownConfig();
