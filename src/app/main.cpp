#include <string>
#include <vector>

#include "app/entry.hpp"

// The executable's one platform split: Windows hands over UTF-16 words, the program wants UTF-8.
#ifdef _WIN32
#include "common/wide.hpp"

int wmain(int argc, wchar_t** argv)
{
    std::vector<std::string> words;
    for (int i = 0; i < argc; ++i) words.push_back(sys::fromWide(argv[i]));
    return runProcess(words);
}
#else
int main(int argc, char** argv) { return runProcess(std::vector<std::string>(argv, argv + argc)); }
#endif
