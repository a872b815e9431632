#include "local/file_system.hpp"

namespace {
FileSystem* current = nullptr;
}

FileSystem& fileSystem() { return current ? *current : platformFileSystem(); }

FileSystem* setFileSystem(FileSystem* replacement)
{
    FileSystem* previous = &fileSystem();
    current = replacement;
    return previous;
}
