#pragma once
// SHA-256 of local content, written here so the Windows program needs no crypto library
// to tell whether a remote copy still matches.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class Sha256 {
public:
    void update(const void* data, std::size_t size);
    // 64 lowercase hex digits. Ends the hash: update after it starts a new, empty one.
    std::string hexDigest();

private:
    void compress(const unsigned char* block);

    std::array<std::uint32_t, 8> state_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                        0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::array<unsigned char, 64> block_{};
    std::size_t filled_ = 0;
    std::uint64_t length_ = 0;  // bytes hashed so far
};

std::string sha256Hex(std::string_view bytes);
