#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "common/sha256.hpp"

TEST(Sha256, KnownAnswers)
{
    EXPECT_EQ(sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // 56 bytes: the padding no longer fits the block and spills into a second one.
    EXPECT_EQ(sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(sha256Hex(std::string(1000000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256, PiecesOfAnySizeGiveTheWholeHashAndTheDigestStartsAfresh)
{
    std::string data;
    for (int i = 0; i < 1000; ++i) data += static_cast<char>(i * 7 + 3);
    const std::string whole = sha256Hex(data);
    for (std::size_t piece : {1u, 3u, 63u, 64u, 65u, 127u, 999u}) {
        Sha256 hash;
        for (std::size_t at = 0; at < data.size(); at += piece)
            hash.update(data.data() + at, std::min(piece, data.size() - at));
        EXPECT_EQ(hash.hexDigest(), whole) << piece;
        hash.update("abc", 3);
        EXPECT_EQ(hash.hexDigest(), sha256Hex("abc")) << piece;
    }
}
