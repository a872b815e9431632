#pragma once
// A readable byte stream for an upload.
#include <cstddef>

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Up to `capacity` bytes into `buffer`; 0 at the end of the stream. Failures throw.
    virtual std::size_t read(char* buffer, std::size_t capacity) = 0;
};
