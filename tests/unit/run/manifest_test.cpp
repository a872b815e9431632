#include <gtest/gtest.h>

#include <string>

#include "run/manifest.hpp"

namespace {
const std::string hashA(64, 'a');
const std::string hashB = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
}

TEST(Manifest, WhatIsWrittenReadsBackAndDoubtfulEntriesAreLeftOut)
{
    Manifest manifest;
    manifest.hashes = {{"z.txt", hashA}, {"dir/a b.txt", hashB}, {"\xC3\xA9t\xC3\xA9.txt", hashA},
                       {"../escape", hashA}, {"bad/hash", "ABC"}, {"", hashA}};
    const std::string text = formatManifest(manifest);
    EXPECT_EQ(text, hashB + "  dir/a b.txt\n" + hashA + "  z.txt\n" + hashA + "  \xC3\xA9t\xC3\xA9.txt\n");
    Manifest back = parseManifest(text);
    EXPECT_EQ(back.hashes.size(), 3u);
    EXPECT_EQ(back.hashes["dir/a b.txt"], hashB);
    // The binary marker of sha256sum -b is read the same.
    EXPECT_EQ(parseManifest(hashA + " *bin/x\n").hashes.at("bin/x"), hashA);
}

TEST(Manifest, HostileOrDamagedLinesAreSkippedAndTheRestKept)
{
    std::string text = hashA + "  good\n";
    for (const char* path : {"../up", "a/../b", "./a", "a//b", "/abs", "dir/", "a\\b", "a\rb",
                                    "tab\there", "del\x7f", "bad\xC3(", "over\xC0\xAFlong"})
        text += hashA + "  " + path + "\n";
    text += hashA + "  crlf\r\n";
    text += "\\" + hashA + "  escaped\n";
    text += std::string(64, 'A') + "  upper\n";
    text += hashA.substr(1) + "   short\n";
    text += hashA + " one-blank\n";
    text += hashA + "\tnot-a-blank\n";
    text += hashA + "  \n";
    text += hashA + "  " + std::string(4097, 'p') + "\n";
    text += hashA + "  twice\n" + hashB + "  twice\n" + hashA + "  twice\n";
    text += std::string(100000, 'x') + "\n";
    text += hashA + "  " + std::string(4096, 'q') + "\n";
    text += hashB + "  cut";
    Manifest manifest = parseManifest(text);
    ASSERT_EQ(manifest.hashes.size(), 2u);
    EXPECT_EQ(manifest.hashes.at("good"), hashA);
    EXPECT_TRUE(manifest.hashes.contains(std::string(4096, 'q')));
    EXPECT_TRUE(parseManifest("").hashes.empty());
    EXPECT_TRUE(manifestPathIsClean("a/.b/c..d/\xF0\x9F\x98\x80"));
}
