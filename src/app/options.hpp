#pragma once
// Copies the command-line options into the Sender and Config, then selects the local files.
#include <string>
#include <vector>

class Arguments;
class Sender;

// "\" separators and exactly one trailing "\"; empty stays empty.
std::string normaliseLocal(std::string local);
// One trailing "/" removed, unless the whole folder is "/".
std::string normaliseRemote(std::string remote);

// Sets the parser up as the program reads its command line: help and version, every option
// readOptions reads (values stay unlimited), and slips of their names refused.
void declareOptions(Arguments& arguments);

// Takes --boxes from the words (the program's name excluded) as far as they can be read, for
// the boxes shown before the options are: one of a refused command line honours it too. A bad
// value changes nothing here; readOptions refuses it.
void takeBoxesOption(const std::vector<std::string>& words);

// True when the run may go on; false when nothing needs upload (the box has been shown).
// `scanReportedErrors` tells whether the scan could not read some part of the folder.
// Raises for an unusable option value; fields filled before the failure stay filled.
bool readOptions(Arguments& arguments, Sender& sender, bool& scanReportedErrors);
