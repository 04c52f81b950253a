// MD5 against the RFC 1321 test suite, and the ICC profile ID: the IDs that
// other programs stored in published profiles, and the ID of every profile
// the engine saves.
#include "osl.h"
#include "profile_bytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

using namespace testbytes;

namespace {

std::string hex(const uint8_t digest[16])
{
    std::string s;
    char two[3];
    for (int i = 0; i < 16; ++i) {
        std::snprintf(two, sizeof two, "%02x", digest[i]);
        s += two;
    }
    return s;
}

TEST(Md5Test, Rfc1321TestSuite)
{
    const struct { std::string message; const char* digest; } suite[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& row : suite) {
        uint8_t digest[16];
        md5Digest(row.message.data(), row.message.size(), digest);
        EXPECT_EQ(hex(digest), row.digest) << '"' << row.message << '"';
    }
}

// The colord profiles carry IDs their makers computed; ours agree.
TEST(Md5Test, ProfileIdsOfPublishedProfiles)
{
    for (const char* name : {"sRGB.icc", "AdobeRGB1998.icc", "ProPhotoRGB.icc", "Crayons.icc"}) {
        const Bytes file = readFile(std::string("/usr/share/color/icc/colord/") + name);
        ASSERT_GT(file.size(), 128u) << name << " is missing";
        uint8_t id[16];
        ASSERT_TRUE(computeProfileId(file.data(), uint32_t(file.size()), id));
        EXPECT_EQ(hex(id), hex(file.data() + 84)) << name;
    }
    uint8_t id[16];
    EXPECT_FALSE(computeProfileId("short", 5, id));
}

// A saved profile carries the ID of its own bytes, whatever its flags,
// intent and the ID it held before.
TEST(Md5Test, SavedProfilesCarryTheirId)
{
    const Bytes file = readFile("/usr/share/color/icc/ghostscript/default_cmyk.icc");
    ASSERT_GT(file.size(), 128u);
    IccProfile* p = openFromMemory(file.data(), uint32_t(file.size()));
    ASSERT_TRUE(p);
    const uint8_t stale[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    setProfileId(p, stale);
    setProfileFlags(p, 3);
    setProfileRenderingIntent(p, 2);
    uint32_t size = 0;
    ASSERT_TRUE(saveToMemory(p, nullptr, &size));
    Bytes saved(size);
    ASSERT_TRUE(saveToMemory(p, saved.data(), &size));
    closeProfile(p);

    // The ID by hand: MD5 of the bytes with flags, intent and ID zeroed.
    Bytes zeroed = saved;
    for (size_t at : {44, 64}) put32(zeroed, at, 0);
    std::fill(zeroed.begin() + 84, zeroed.begin() + 100, 0);
    uint8_t want[16];
    md5Digest(zeroed.data(), zeroed.size(), want);
    EXPECT_EQ(hex(saved.data() + 84), hex(want));
    EXPECT_EQ(be32(saved, 44), 3u);
    EXPECT_EQ(be32(saved, 64), 2u);
}

}   // namespace
