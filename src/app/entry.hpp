#pragma once
// The program's run, testable in-process, and the process around it.
#include <string>
#include <vector>

class Sender;

// The whole run for the given command-line words (program name first); gives the exit status.
// Never raises.
int runProgram(const std::vector<std::string>& words);

// Start-up, the run and shut-down, in that order: what the process entry point does.
int runProcess(const std::vector<std::string>& words);

// Writes the summary line of an upload run and gives the exit status: 0 only when the run got to
// its end, stored every selected file and the scan read the whole folder.
int reportOutcome(const Sender& sender, bool sent, bool scanReportedErrors);
