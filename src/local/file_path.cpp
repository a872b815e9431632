#include "local/file_path.hpp"

#include <algorithm>

#include "local/file_system.hpp"

FilePath::FilePath(std::string text) : text_(std::move(text))
{
    std::replace(text_.begin(), text_.end(), '\\', '/');
}

FilePath& FilePath::native()
{
    std::replace(text_.begin(), text_.end(), '/', '\\');
    return *this;
}

std::size_t FilePath::lastComponentStart() const
{
    std::size_t slash = text_.rfind('/');
    if (slash != std::string::npos) return slash + 1;
    // A bare drive prefix ("C:name") ends at its colon.
    std::size_t colon = text_.find(':');
    if (colon != std::string::npos) return colon + 1;
    return 0;
}

std::string FilePath::file() const { return text_.substr(lastComponentStart()); }

std::uint64_t FilePath::fileSize() const { return fileSystem().attributes(text_).size; }

std::int64_t FilePath::modifiedTime() const { return fileSystem().attributes(text_).modified; }

bool FilePath::isFolder() const { return folder_ || fileSystem().attributes(text_).folder; }
