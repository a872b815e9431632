#pragma once
// A readable byte stream for an upload.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Up to `capacity` bytes into `buffer`; 0 at the end of the stream. Failures throw.
    virtual std::size_t read(char* buffer, std::size_t capacity) = 0;
};

// A text the run made itself (a manifest, a lock's owner), sent as it stands; the text must
// outlive the source.
class TextSource : public ByteSource {
public:
    explicit TextSource(const std::string& text) : text_(text) {}
    std::size_t read(char* buffer, std::size_t capacity) override
    {
        const std::size_t count = std::min(capacity, text_.size() - at_);
        std::memcpy(buffer, text_.data() + at_, count);
        at_ += count;
        return count;
    }

private:
    const std::string& text_;
    std::size_t at_ = 0;
};
