#pragma once
// Copies the command-line options into the Sender and Config, then selects the local files.
#include <string>

class Arguments;
class Sender;

// "\" separators and exactly one trailing "\"; empty stays empty.
std::string normaliseLocal(std::string local);
// One trailing "/" removed, unless the whole folder is "/".
std::string normaliseRemote(std::string remote);

// Sets the parser up as the program reads its command line: help and version, every option
// readOptions reads (values stay unlimited), and slips of their names refused.
void declareOptions(Arguments& arguments);

// True when the run may go on; false when nothing needs upload (the box has been shown).
// `scanReportedErrors` tells whether the scan could not read some part of the folder.
// Raises for an unusable option value; fields filled before the failure stay filled.
bool readOptions(Arguments& arguments, Sender& sender, bool& scanReportedErrors);
