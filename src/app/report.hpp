#pragma once
// --report=FILE: the run's outcome as one JSON object, for a pipeline to read instead of
// the console lines: each selected file and each deletion with what became of it, and for
// a failure the reply that failed it.
#include <chrono>
#include <string>

class Sender;

// Creates (empties) the file, so that a path that cannot be written is refused before
// anything is sent; raises ConversionException.
void createReportFile(const std::string& path);

// The report's text: `status` is the run's exit status.
std::string reportText(const Sender& sender, std::chrono::system_clock::time_point started,
                       std::chrono::system_clock::time_point ended, int status);
// Writes it over FILE; false when that failed.
bool writeReport(const std::string& path, const std::string& text) noexcept;
