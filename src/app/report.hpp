#pragma once
// --report=FILE: the run's outcome as one JSON object, for a pipeline to read instead of
// the console lines: each selected file and each deletion with what became of it, and for
// a failure the reply that failed it.
#include <chrono>
#include <string>

class Sender;

// Opens the file for writing without changing it (creating it when missing), so that a path
// that cannot be written is refused before anything is sent; raises ConversionException.
void checkReportFile(const std::string& path);

// The report's text: `status` is the run's exit status, `refusal` why it did not start
// (empty when it did). The scan's findings are taken from config().
std::string reportText(const Sender& sender, std::chrono::system_clock::time_point started,
                       std::chrono::system_clock::time_point ended, int status, const std::string& refusal = {});
// Writes it over FILE; false when that failed.
bool writeReport(const std::string& path, const std::string& text) noexcept;
