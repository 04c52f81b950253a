// I/O handlers and the big-endian primitives of the ICC format.
#include "oslinternal.h"
#include "profile_bytes.h"

#include "engine_fixture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

using namespace testbytes;

namespace {

class Io : public EngineFixture {
protected:

    void expectOnly(uint32_t code, const std::string& text)
    {
        ASSERT_EQ(reports.size(), 1u) << (reports.empty() ? "" : reports.back().text);
        EXPECT_EQ(reports[0].code, code);
        EXPECT_EQ(reports[0].text, text);
        reports.clear();
    }

};

// ---------------------------------------------------------------------------
// Handlers
// ---------------------------------------------------------------------------

TEST_F(Io, MemoryReaderKeepsAPrivateCopyAndChecksEveryRead)
{
    uint8_t block[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    IoHandler* io = openMemoryHandler(ctx, block, 10, "r");
    ASSERT_NE(io, nullptr);
    block[0] = 99;   // the handler read its own copy
    EXPECT_EQ(ioReportedSize(io), 10u);
    uint8_t got[8] = {};
    EXPECT_EQ(ioRead(io, got, 2, 3), 3u);
    EXPECT_EQ(got[0], 0);
    EXPECT_EQ(got[5], 5);
    EXPECT_EQ(ioTell(io), 6u);
    EXPECT_EQ(ioRead(io, got, 1, 5), 0u);
    expectOnly(ErrRead, "Read from memory error. Got 4 bytes, block should be of 5 bytes");
    EXPECT_EQ(ioTell(io), 6u);
    EXPECT_EQ(ioRead(io, got, 0x10000, 0x10000), 0u);   // 4 GiB asked: no overflow
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].code, uint32_t(ErrRead));
    reports.clear();
    EXPECT_TRUE(ioSeek(io, 10));
    EXPECT_FALSE(ioSeek(io, 11));
    expectOnly(ErrSeek, "Too few data; probably corrupted profile");
    EXPECT_TRUE(closeIoHandler(io));
}

TEST_F(Io, MemoryWriterCutsSilentlyAtTheEndOfTheBlock)
{
    uint8_t block[6] = {};
    IoHandler* io = openMemoryHandler(ctx, block, 5, "w");   // the sixth byte is a guard
    ASSERT_NE(io, nullptr);
    EXPECT_EQ(ioReportedSize(io), 0u);
    const uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_TRUE(ioWrite(io, 3, data));
    EXPECT_TRUE(ioWrite(io, 4, data));   // cut to 2
    EXPECT_TRUE(ioWrite(io, 4, data));   // cut to 0
    EXPECT_EQ(ioUsedSpace(io), 5u);
    EXPECT_EQ(ioTell(io), 5u);
    const uint8_t want[6] = {1, 2, 3, 1, 2, 0};
    EXPECT_EQ(std::memcmp(block, want, 6), 0);
    // Seeking back does not lower the used space.
    EXPECT_TRUE(ioSeek(io, 1));
    EXPECT_TRUE(ioWrite(io, 1, data + 7));
    EXPECT_EQ(block[1], 8);
    EXPECT_EQ(ioUsedSpace(io), 5u);
    EXPECT_TRUE(closeIoHandler(io));
    EXPECT_TRUE(reports.empty());

    IoHandler* none = openMemoryHandler(ctx, nullptr, 0, "w");
    ASSERT_NE(none, nullptr);
    EXPECT_FALSE(ioWrite(none, 1, data));
    EXPECT_EQ(ioTell(none), 0u);
    EXPECT_TRUE(closeIoHandler(none));
}

TEST_F(Io, MemoryHandlerRefusesOtherModes)
{
    uint8_t block[4] = {};
    EXPECT_EQ(openMemoryHandler(ctx, block, 4, "a"), nullptr);
    expectOnly(ErrUnknownExtension, "Unknown access mode 'a'");
    EXPECT_EQ(openMemoryHandler(ctx, nullptr, 4, "r"), nullptr);
    expectOnly(ErrRead, "Couldn't read profile from NULL pointer");
}

TEST_F(Io, NullSinkCountsAndStoresNothing)
{
    IoHandler* io = openNullHandler(ctx);
    ASSERT_NE(io, nullptr);
    const uint8_t data[4] = {};
    EXPECT_TRUE(ioWrite(io, 4, data));
    EXPECT_TRUE(ioWrite(io, 6, data));
    EXPECT_EQ(ioUsedSpace(io), 10u);
    EXPECT_TRUE(ioSeek(io, 2));
    EXPECT_TRUE(ioWrite(io, 3, data));
    EXPECT_EQ(ioUsedSpace(io), 10u);
    EXPECT_EQ(ioTell(io), 5u);
    uint8_t buffer[8];
    EXPECT_EQ(ioRead(io, buffer, 2, 4), 4u);
    EXPECT_EQ(ioTell(io), 13u);
    EXPECT_TRUE(ioSeek(io, 1000000));   // always succeeds
    EXPECT_TRUE(closeIoHandler(io));
    EXPECT_TRUE(reports.empty());
}

TEST_F(Io, FileModesAreParsedLetterByLetter)
{
    const std::string path = (std::filesystem::temp_directory_path() / "osl-io-test.bin").string();
    EXPECT_EQ(openFileHandler(ctx, path.c_str(), "rw"), nullptr);
    expectOnly(ErrFile, "Access mode already specified 'w'");
    EXPECT_EQ(openFileHandler(ctx, path.c_str(), "wx"), nullptr);
    expectOnly(ErrFile, "Wrong access mode 'x'");
    EXPECT_EQ(openFileHandler(ctx, path.c_str(), "e"), nullptr);   // neither letter: silent
    EXPECT_TRUE(reports.empty());
    EXPECT_EQ(openFileHandler(ctx, "/nonexistent/dir/x.icc", "w"), nullptr);
    expectOnly(ErrFile, "Couldn't create '/nonexistent/dir/x.icc'");

    IoHandler* w = openFileHandler(ctx, path.c_str(), "we");
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(std::string(ioFileName(w)), path);
    EXPECT_TRUE(ioWrite(w, 0, nullptr));
    EXPECT_TRUE(writeUInt32(w, 0x01020304));
    EXPECT_TRUE(writeUInt16(w, 0x0506));
    EXPECT_EQ(ioUsedSpace(w), 6u);
    EXPECT_TRUE(closeIoHandler(w));

    IoHandler* r = openFileHandler(ctx, path.c_str(), "r");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(ioReportedSize(r), 6u);
    uint32_t n = 0;
    EXPECT_TRUE(readUInt32(r, &n));
    EXPECT_EQ(n, 0x01020304u);
    EXPECT_FALSE(readUInt32(r, &n));
    expectOnly(ErrFile, "Read error. Got 0 bytes, block should be of 4 bytes");
    EXPECT_TRUE(ioSeek(r, 4));
    EXPECT_EQ(ioTell(r), 4u);
    EXPECT_TRUE(closeIoHandler(r));
    std::filesystem::remove(path);

    // Long names are kept to 255 characters.
    const std::string longName = "/nonexistent/" + std::string(400, 'n');
    EXPECT_EQ(openFileHandler(ctx, longName.c_str(), "r"), nullptr);
    reports.clear();
}

// ---------------------------------------------------------------------------
// Primitives
// ---------------------------------------------------------------------------

class Primitives : public Io {
protected:
    // Writes through a memory block and reads the bytes back.
    template <typename Write>
    Bytes written(Write write)
    {
        Bytes block(64, 0xAA);
        IoHandler* io = openMemoryHandler(ctx, block.data(), 64, "w");
        EXPECT_TRUE(write(io));
        block.resize(ioUsedSpace(io));
        closeIoHandler(io);
        return block;
    }
    IoHandler* reader(const Bytes& b) { return openMemoryHandler(ctx, const_cast<uint8_t*>(b.data()), uint32_t(b.size()), "r"); }
};

TEST_F(Primitives, IntegersAreBigEndian)
{
    EXPECT_EQ(written([](IoHandler* io) { return writeUInt8(io, 0x12); }), (Bytes{0x12}));
    EXPECT_EQ(written([](IoHandler* io) { return writeUInt16(io, 0x1234); }), (Bytes{0x12, 0x34}));
    EXPECT_EQ(written([](IoHandler* io) { return writeUInt32(io, 0x12345678); }), (Bytes{0x12, 0x34, 0x56, 0x78}));
    EXPECT_EQ(written([](IoHandler* io) { return writeUInt64(io, 0x0102030405060708ull); }),
              (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
    const uint16_t words[3] = {0x0102, 0xA0B0, 0xFFFF};
    EXPECT_EQ(written([&](IoHandler* io) { return writeUInt16Array(io, 3, words); }),
              (Bytes{1, 2, 0xA0, 0xB0, 0xFF, 0xFF}));

    const Bytes b{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    IoHandler* io = reader(b);
    uint8_t u8;
    uint16_t u16;
    uint32_t u32;
    uint64_t u64;
    ASSERT_TRUE(readUInt8(io, &u8));
    ASSERT_TRUE(readUInt16(io, &u16));
    ASSERT_TRUE(readUInt32(io, &u32));
    ASSERT_TRUE(readUInt64(io, &u64));
    EXPECT_EQ(u8, 1);
    EXPECT_EQ(u16, 0x0203);
    EXPECT_EQ(u32, 0x04050607u);
    EXPECT_EQ(u64, 0x08090A0B0C0D0E0Full);
    EXPECT_FALSE(readUInt8(io, &u8));
    closeIoHandler(io);
    reports.clear();

    // Null destinations still consume the bytes.
    io = reader(b);
    ASSERT_TRUE(readUInt16(io, nullptr));
    ASSERT_TRUE(readUInt16Array(io, 2, nullptr));
    ASSERT_TRUE(readUInt32(io, nullptr));
    EXPECT_EQ(ioTell(io), 10u);
    uint16_t arr[2];
    ASSERT_TRUE(readUInt16Array(io, 2, arr));
    EXPECT_EQ(arr[0], 0x0B0C);
    EXPECT_EQ(arr[1], 0x0D0E);
    EXPECT_FALSE(readUInt16Array(io, 1, arr));
    closeIoHandler(io);
}

TEST_F(Primitives, FixedPointRoundsHalfUpAndSaturates)
{
    struct S15 { double v; uint32_t bits; };
    const S15 s15[] = {
        {1.0, 0x00010000},  {-1.0, 0xFFFF0000}, {0.5, 0x00008000},       {0.9642, 0x0000F6D6},
        {0.8249, 0x0000D32D}, {-0.5 / 65536, 0x00000000}, {1.5 / 65536, 0x00000002},
        {32767.99998474121, 0x7FFFFFFF}, {1e9, 0x7FFFFFFF}, {-1e9, 0x80000000}, {NAN, 0},
    };
    for (const S15& c : s15) {
        EXPECT_EQ(uint32_t(doubleToS15Fixed16(c.v)), c.bits) << c.v;
        Bytes want(4);
        put32(want, 0, c.bits);
        EXPECT_EQ(written([&](IoHandler* io) { return writeS15Fixed16(io, c.v); }), want) << c.v;
    }
    EXPECT_EQ(s15Fixed16ToDouble(int32_t(0xFFFF8000)), -0.5);

    // u8Fixed8: gamma 2.2 is 0x0233, as profiles store it.
    struct U8 { double v; uint16_t bits; };
    const U8 u8[] = {{2.2, 0x0233}, {1.0, 0x0100}, {1.8, 0x01CC}, {255.99609375, 0xFFFF}, {300, 0xFFFF},
                     {-1, 0}, {NAN, 0}};
    for (const U8& c : u8) EXPECT_EQ(doubleToU8Fixed8(c.v), c.bits) << c.v;
    EXPECT_EQ(written([](IoHandler* io) { return writeU8Fixed8(io, 2.2); }), (Bytes{0x02, 0x33}));
    const Bytes g{0x02, 0x33};
    IoHandler* io = reader(g);
    double gamma = 0;
    ASSERT_TRUE(readU8Fixed8(io, &gamma));
    EXPECT_EQ(gamma, 563.0 / 256.0);
    closeIoHandler(io);
}

TEST_F(Primitives, XyzNumbersAndFloats)
{
    const Bytes xyz = written([](IoHandler* io) { return writeXyzNumber(io, D50); });
    EXPECT_EQ(xyz, (Bytes{0, 0, 0xF6, 0xD6, 0, 1, 0, 0, 0, 0, 0xD3, 0x2D}));
    IoHandler* io = reader(xyz);
    CieXyz back{};
    ASSERT_TRUE(readXyzNumber(io, &back));
    EXPECT_EQ(back.X, 0xF6D6 / 65536.0);
    EXPECT_EQ(back.Z, 0xD32D / 65536.0);
    closeIoHandler(io);

    EXPECT_EQ(written([](IoHandler* io) { return writeFloat32(io, 1.0); }), (Bytes{0x3F, 0x80, 0, 0}));
    EXPECT_EQ(written([](IoHandler* io) { return writeFloat32(io, -2.5); }), (Bytes{0xC0, 0x20, 0, 0}));
    for (double bad : {1e21, -1e21, double(NAN), double(INFINITY), 1e-40}) {
        Bytes block(4);
        IoHandler* w = openMemoryHandler(ctx, block.data(), 4, "w");
        EXPECT_FALSE(writeFloat32(w, bad)) << bad;
        EXPECT_EQ(ioUsedSpace(w), 0u);
        closeIoHandler(w);
    }
    const Bytes f{0xC0, 0x20, 0, 0};
    io = reader(f);
    float v = 0;
    ASSERT_TRUE(readFloat32(io, &v));
    EXPECT_EQ(v, -2.5f);
    closeIoHandler(io);
}

TEST_F(Primitives, TypeBaseAlignmentAndDates)
{
    EXPECT_EQ(written([](IoHandler* io) { return writeTypeBase(io, sig("XYZ ")); }),
              (Bytes{'X', 'Y', 'Z', ' ', 0, 0, 0, 0}));
    const Bytes tb{'c', 'u', 'r', 'v', 9, 9, 9, 9, 0xFF};
    IoHandler* io = reader(tb);
    uint32_t type = 0;
    ASSERT_TRUE(readTypeBase(io, &type));
    EXPECT_EQ(type, sig("curv"));   // reserved bytes ignored
    EXPECT_TRUE(readUInt8(io, nullptr));
    EXPECT_FALSE(readAlignment(io));   // 3 bytes to skip, none left
    closeIoHandler(io);
    reports.clear();

    EXPECT_EQ(written([](IoHandler* io) { return writeUInt8(io, 7) && writeAlignment(io) && writeAlignment(io); }),
              (Bytes{7, 0, 0, 0}));
    const Bytes five{1, 2, 3, 4, 5, 6, 7, 8};
    io = reader(five);
    ASSERT_TRUE(readUInt8(io, nullptr));
    ASSERT_TRUE(readAlignment(io));
    EXPECT_EQ(ioTell(io), 4u);
    ASSERT_TRUE(readAlignment(io));
    EXPECT_EQ(ioTell(io), 4u);
    closeIoHandler(io);

    std::tm t{};
    t.tm_year = 124;
    t.tm_mon = 1;
    t.tm_mday = 29;
    t.tm_hour = 23;
    t.tm_min = 59;
    t.tm_sec = 58;
    const Bytes date = written([&](IoHandler* io) { return writeDateTimeNumber(io, t); });
    EXPECT_EQ(date, (Bytes{0x07, 0xE8, 0, 2, 0, 29, 0, 23, 0, 59, 0, 58}));
    io = reader(date);
    std::tm back{};
    ASSERT_TRUE(readDateTimeNumber(io, &back));
    EXPECT_EQ(back.tm_year, 124);
    EXPECT_EQ(back.tm_mon, 1);
    EXPECT_EQ(back.tm_mday, 29);
    EXPECT_EQ(back.tm_sec, 58);
    EXPECT_EQ(back.tm_wday, -1);
    EXPECT_EQ(back.tm_isdst, 0);
    closeIoHandler(io);
}

} // namespace
