#pragma once
#include <string>

// The usage text, deciphered on each call; it is kept enciphered in the program file.
std::string usageText();
// Writes the usage text unchanged (braces included) and one line end.
void printUsage();
