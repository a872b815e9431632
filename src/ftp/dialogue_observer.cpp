#include "ftp/dialogue_observer.hpp"

std::string observedCommand(std::string_view line)
{
    if (line.size() >= 4 && (line.substr(0, 4) == "PASS" || line.substr(0, 4) == "pass") &&
        (line.size() == 4 || line[4] == ' '))
        return "> PASS ****";
    return "> " + std::string(line);
}
