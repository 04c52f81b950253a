// The profile container: header and directory reading, lazy tags, storing,
// links, and two-pass saving, over hand-made and real profiles.
#include "oslinternal.h"
#include "profile_bytes.h"

#include "engine_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

using namespace testbytes;

namespace {

class Container : public EngineFixture {
protected:

    IccProfile* open(const Bytes& b) { return openFromMemoryContext(ctx, b.data(), uint32_t(b.size())); }

    Bytes save(IccProfile* p)
    {
        uint32_t size = 0;
        EXPECT_TRUE(saveToMemory(p, nullptr, &size));
        Bytes out(size);
        EXPECT_TRUE(saveToMemory(p, out.data(), &size));
        EXPECT_EQ(size, out.size());
        return out;
    }

    void expectOnly(uint32_t code, const std::string& text)
    {
        ASSERT_EQ(reports.size(), 1u) << (reports.empty() ? "" : reports.back().text);
        EXPECT_EQ(reports[0].code, code);
        EXPECT_EQ(reports[0].text, text);
    }

};

using ProfilePtr = std::unique_ptr<IccProfile, decltype(&closeProfile)>;

ProfileBuilder threeTagProfile()
{
    ProfileBuilder b;
    b.tag(sig("wtpt"), b.addData(xyzTag(0.9642, 1.0, 0.8249)));
    b.tag(sig("rXYZ"), b.addData(xyzTag(0.4361, 0.2225, 0.0139)));
    b.tag(sig("zzzz"), b.addData({1, 2, 3, 4, 5, 6, 7}));   // a private tag of 7 bytes
    return b;
}

// ---------------------------------------------------------------------------
// Header and directory
// ---------------------------------------------------------------------------

TEST_F(Container, HeaderFieldsAndDirectoryAreRead)
{
    ProfileBuilder b = threeTagProfile();
    b.version = 0x02400000;
    b.deviceClass = sig("abst");
    b.colorSpace = sig("Lab ");
    b.pcs = sig("Lab ");
    Bytes bytes = b.build();
    put32(bytes, 4, sig("abcd"));       // CMM
    put32(bytes, 40, sig("APPL"));      // platform
    put32(bytes, 44, 3);                // flags
    put32(bytes, 48, sig("mnfr"));
    put32(bytes, 52, sig("modl"));
    put32(bytes, 56, 0x01020304);       // attributes, high word
    put32(bytes, 60, 0x05060708);
    put32(bytes, 64, 2);                // intent
    put32(bytes, 80, sig("crtr"));
    for (int i = 0; i < 16; ++i) bytes[84 + i] = uint8_t(0xA0 + i);

    ProfilePtr p{open(bytes), &closeProfile};
    ASSERT_TRUE(p);
    EXPECT_EQ(profileVersion(p.get()), 0x02400000u);
    EXPECT_DOUBLE_EQ(versionAsNumber(p.get()), 2.4);
    EXPECT_EQ(profileDeviceClass(p.get()), sig("abst"));
    EXPECT_EQ(profileColorSpace(p.get()), sig("Lab "));
    EXPECT_EQ(profilePcs(p.get()), sig("Lab "));
    EXPECT_EQ(profileCmmType(p.get()), sig("abcd"));
    EXPECT_EQ(profilePlatform(p.get()), sig("APPL"));
    EXPECT_EQ(profileFlags(p.get()), 3u);
    EXPECT_EQ(profileManufacturer(p.get()), sig("mnfr"));
    EXPECT_EQ(profileModel(p.get()), sig("modl"));
    EXPECT_EQ(profileAttributes(p.get()), 0x0102030405060708ull);
    EXPECT_EQ(profileRenderingIntent(p.get()), 2u);
    EXPECT_EQ(profileCreator(p.get()), sig("crtr"));
    uint8_t id[16];
    profileId(p.get(), id);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(id[i], 0xA0 + i);
    const std::tm t = profileCreationDate(p.get());
    EXPECT_EQ(t.tm_year, 124);
    EXPECT_EQ(t.tm_mon, 1);
    EXPECT_EQ(t.tm_mday, 29);
    EXPECT_EQ(t.tm_hour, 13);
    EXPECT_EQ(t.tm_min, 45);
    EXPECT_EQ(t.tm_sec, 30);
    EXPECT_EQ(t.tm_wday, -1);

    ASSERT_EQ(tagCount(p.get()), 3u);
    EXPECT_EQ(tagSignatureAt(p.get(), 0), sig("wtpt"));
    EXPECT_EQ(tagSignatureAt(p.get(), 1), sig("rXYZ"));
    EXPECT_EQ(tagSignatureAt(p.get(), 2), sig("zzzz"));
    EXPECT_EQ(tagSignatureAt(p.get(), 3), 0u);
    EXPECT_TRUE(hasTag(p.get(), sig("rXYZ")));
    EXPECT_FALSE(hasTag(p.get(), sig("gXYZ")));
    EXPECT_TRUE(reports.empty());
}

TEST_F(Container, VersionDigitsAreClampedAndReservedBytesCleared)
{
    struct Case { uint32_t raw; bool opens; uint32_t stored; };
    const Case cases[] = {
        {0x04F30000, true, 0x04930000},   // minor nibble F -> 9
        {0x02AB1234, true, 0x02990000},
        {0x0500FFFF, true, 0x05000000},   // 5.0.0 whatever its last bytes hold
        {0x05010000, false, 0},           // 5.0.1
        {0x05100000, false, 0},           // 5.1
        {0x12000000, false, 0},           // major 0x12 -> 9.0
    };
    for (const Case& c : cases) {
        reports.clear();
        ProfileBuilder b = threeTagProfile();
        b.version = c.raw;
        ProfilePtr p{open(b.build()), &closeProfile};
        EXPECT_EQ(bool(p), c.opens) << std::hex << c.raw;
        if (p) {
            EXPECT_EQ(profileVersion(p.get()), c.stored);
            EXPECT_TRUE(reports.empty());
        } else {
            ASSERT_EQ(reports.size(), 1u);
            EXPECT_EQ(reports[0].code, uint32_t(ErrUnknownExtension));
            EXPECT_EQ(reports[0].text.rfind("Unsupported profile version '0x", 0), 0u) << reports[0].text;
        }
    }
}

TEST_F(Container, MalformedHeadersGiveTheirMessageAndNoProfile)
{
    const Bytes good = threeTagProfile().build();
    struct Case {
        const char* name;
        Bytes bytes;
        uint32_t code;
        std::string text;
    };
    std::vector<Case> cases;
    cases.push_back({"truncated header", Bytes(good.begin(), good.begin() + 100), ErrRead,
                     "Read from memory error. Got 100 bytes, block should be of 128 bytes"});
    cases.push_back({"no tag count", Bytes(good.begin(), good.begin() + 130), ErrRead,
                     "Read from memory error. Got 2 bytes, block should be of 4 bytes"});
    cases.push_back({"directory cut short", Bytes(good.begin(), good.begin() + 150), ErrRead,
                     "Read from memory error. Got 2 bytes, block should be of 4 bytes"});
    {
        ProfileBuilder b = threeTagProfile();
        b.magic = sig("ascp");
        cases.push_back({"wrong magic", b.build(), ErrBadSignature, "not an ICC profile, invalid signature"});
    }
    {
        ProfileBuilder b = threeTagProfile();
        b.deviceClass = sig("xxxx");
        cases.push_back({"unknown class", b.build(), ErrUnknownExtension, "Unsupported device class '0x78787878'"});
    }
    {
        ProfileBuilder b;
        const size_t block = b.addData(xyzTag(1, 1, 1));
        for (int i = 0; i < 101; ++i) b.tag(0x74000000u + uint32_t(i), block);
        cases.push_back({"101 tags", b.build(), ErrRange, "Too many tags (101)"});
    }
    {
        ProfileBuilder b = threeTagProfile();
        b.declaredCount = 0xFFFFFFFF;
        cases.push_back({"absurd count", b.build(), ErrRange, "Too many tags (4294967295)"});
    }
    {
        ProfileBuilder b = threeTagProfile();
        b.tag(sig("wtpt"), b.addData(xyzTag(1, 1, 1)));
        cases.push_back({"duplicate tag", b.build(), ErrRange, "Duplicate tag found"});
    }
    for (const Case& c : cases) {
        reports.clear();
        EXPECT_EQ(open(c.bytes), nullptr) << c.name;
        ASSERT_EQ(reports.size(), 1u) << c.name;
        EXPECT_EQ(reports[0].code, c.code) << c.name;
        EXPECT_EQ(reports[0].text, c.text) << c.name;
    }
}

TEST_F(Container, EmptyOrNullInputIsRefused)
{
    const uint8_t nothing[1] = {0};
    EXPECT_EQ(openFromMemoryContext(ctx, nothing, 0), nullptr);
    expectOnly(ErrRead, "Couldn't allocate 0 bytes for profile");
    reports.clear();
    EXPECT_EQ(openFromMemoryContext(ctx, nullptr, 200), nullptr);
    expectOnly(ErrRead, "Couldn't read profile from NULL pointer");

    const auto path = std::filesystem::temp_directory_path() / "osl-empty-profile.icc";
    { std::ofstream(path, std::ios::binary); }
    reports.clear();
    EXPECT_EQ(openFromFile(ctx, path.c_str(), "r"), nullptr);
    expectOnly(ErrFile, "Read error. Got 0 bytes, block should be of 128 bytes");
    std::filesystem::remove(path);

    reports.clear();
    EXPECT_EQ(openFromFile(ctx, "/nonexistent/osl.icc", "r"), nullptr);
    expectOnly(ErrFile, "File '/nonexistent/osl.icc' not found");
}

TEST_F(Container, EntriesOutsideTheDataAreDroppedSilently)
{
    ProfileBuilder b = threeTagProfile();
    b.rawEntry(sig("bXYZ"), 0xFFFFFFF0, 0x20);        // wraps around 32 bits
    b.rawEntry(sig("gXYZ"), 200, 0xFFFFFFFF);         // absurd size
    b.rawEntry(sig("bkpt"), 0, 20);                   // offset 0
    b.rawEntry(sig("lumi"), 200, 0);                  // size 0
    b.rawEntry(sig("chad"), 100000, 44);              // past the end
    const Bytes bytes = b.build();
    ProfilePtr p{open(bytes), &closeProfile};
    ASSERT_TRUE(p);
    EXPECT_EQ(tagCount(p.get()), 3u);
    for (const char* s : {"bXYZ", "gXYZ", "bkpt", "lumi", "chad"}) EXPECT_FALSE(hasTag(p.get(), fourcc(s))) << s;
    EXPECT_TRUE(reports.empty());
}

TEST_F(Container, TagsMustLieInsideTheDeclaredSizeAndTheData)
{
    // The header claims less than there is: the last tag falls outside it.
    ProfileBuilder small = threeTagProfile();
    Bytes bytes = small.build();
    const std::vector<Entry> dir = directory(bytes);
    put32(bytes, 0, dir[2].offset + dir[2].size - 1);
    ProfilePtr p{open(bytes), &closeProfile};
    ASSERT_TRUE(p);
    EXPECT_EQ(tagCount(p.get()), 2u);
    EXPECT_FALSE(hasTag(p.get(), sig("zzzz")));

    // The header claims more than there is: the data decide.
    put32(bytes, 0, 0x7FFFFFFF);
    bytes.resize(dir[2].offset + 3);
    ProfilePtr q{open(bytes), &closeProfile};
    ASSERT_TRUE(q);
    EXPECT_EQ(tagCount(q.get()), 2u);
    EXPECT_TRUE(reports.empty());
}

// ---------------------------------------------------------------------------
// Loading tags
// ---------------------------------------------------------------------------

TEST_F(Container, TagsAreDecodedOnceAndCached)
{
    ProfilePtr p{open(threeTagProfile().build()), &closeProfile};
    ASSERT_TRUE(p);
    auto* w = static_cast<CieXyz*>(loadTag(p.get(), sig("wtpt")));
    ASSERT_NE(w, nullptr);
    EXPECT_NEAR(w->X, 0.9642, 1.0 / 65536);
    EXPECT_NEAR(w->Y, 1.0, 1.0 / 65536);
    EXPECT_NEAR(w->Z, 0.8249, 1.0 / 65536);
    EXPECT_EQ(loadTag(p.get(), sig("wtpt")), w);
    EXPECT_EQ(linkedTypeOf(p.get(), sig("wtpt")), sig("XYZ "));
    EXPECT_EQ(linkedTypeOf(p.get(), sig("rXYZ")), 0u);   // not decoded yet
    EXPECT_EQ(loadTag(p.get(), sig("gXYZ")), nullptr);   // absent: no message
    EXPECT_TRUE(reports.empty());
}

TEST_F(Container, BadTagsGiveNothingWithTheirMessage)
{
    ProfileBuilder b;
    Bytes nine;
    for (int i = 0; i < 4; ++i) appendS15(nine, 1.0);
    b.tag(sig("chad"), b.addData(tagData(sig("sf32"), nine)));            // 4 of 9 values
    b.tag(sig("wtpt"), b.addData(tagData(sig("XYZ "), {0, 1})));          // too short
    b.tag(sig("bkpt"), b.addData(tagData(sig("curv"), {0, 0, 0, 0})));    // a type wtpt/bkpt do not take
    b.tag(sig("zzzz"), b.addData(xyzTag(1, 1, 1)));                      // no descriptor
    b.tag(sig("lumi"), b.addData({0, 0, 0, 0}));                          // shorter than a type base
    ProfilePtr p{open(b.build()), &closeProfile};
    ASSERT_TRUE(p);

    struct Case { const char* tag; uint32_t sig; uint32_t code; const char* text; };
    const Case cases[] = {
        {"chad", sig("chad"), ErrCorruptionDetected, "'chad' Inconsistent number of items: expected 9, got 4"},
        {"wtpt", sig("wtpt"), ErrCorruptionDetected, "Corrupted tag 'wtpt'"},
        {"bkpt", sig("bkpt"), 0, nullptr},
        {"zzzz", sig("zzzz"), ErrUnknownExtension, "Unknown tag type 'zzzz' found."},
        {"lumi", sig("lumi"), 0, nullptr},
    };
    for (const Case& c : cases) {
        for (int attempt = 0; attempt < 2; ++attempt) {   // nothing is cached after a failure
            reports.clear();
            EXPECT_EQ(loadTag(p.get(), c.sig), nullptr) << c.tag;
            if (c.text)
                expectOnly(c.code, c.text);
            else
                EXPECT_TRUE(reports.empty()) << c.tag;
        }
    }
    // The profile is still usable and saves every tag as it was.
    const Bytes saved = save(p.get());
    EXPECT_EQ(directory(saved).size(), 5u);
}

TEST_F(Container, FloatsOutsideTheProfileRangeMakeTheirTagUnreadable)
{
    auto floatBits = [](float f) {
        uint32_t u;
        std::memcpy(&u, &f, 4);
        return u;
    };
    struct Case { uint32_t bits; bool ok; };
    const Case cases[] = {
        {floatBits(1e21f), false}, {floatBits(-1e21f), false}, {0x7FC00000, false},   // NaN
        {0x7F800000, false},       {0x00000001, false},        {floatBits(9.9e19f), true},
        {floatBits(0.0f), true},   {floatBits(-2.5f), true},
    };
    for (const Case& c : cases) {
        Bytes b;
        append32(b, c.bits);
        IoHandler* io = openMemoryHandler(ctx, b.data(), 4, "r");
        float f = 0;
        EXPECT_EQ(readFloat32(io, &f), c.ok) << std::hex << c.bits;
        closeIoHandler(io);
    }
}

TEST_F(Container, LoadingFromManyThreadsGivesOneObject)
{
    const Bytes bytes = readFile("/usr/share/color/icc/colord/sRGB.icc");
    ASSERT_FALSE(bytes.empty()) << "colord sRGB profile missing";
    ProfilePtr p{open(bytes), &closeProfile};
    ASSERT_TRUE(p);
    std::vector<void*> got(8);
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&, i] {
            for (int k = 0; k < 50; ++k) got[i] = loadTag(p.get(), (i + k) % 2 ? sig("wtpt") : sig("rXYZ"));
            got[i] = loadTag(p.get(), sig("wtpt"));
        });
    for (auto& t : threads) t.join();
    for (void* g : got) EXPECT_EQ(g, got[0]);
    EXPECT_NE(got[0], nullptr);
}

// ---------------------------------------------------------------------------
// Links
// ---------------------------------------------------------------------------

TEST_F(Container, SharedBytesOfTheSameKindBecomeLinks)
{
    ProfileBuilder b;
    const size_t shared = b.addData(xyzTag(0.5, 0.25, 0.125));
    b.tag(sig("rXYZ"), shared);
    b.tag(sig("gXYZ"), shared);
    b.tag(sig("lumi"), shared);   // 'XYZ ' only: not the same kind, stays independent
    ProfilePtr p{open(b.build()), &closeProfile};
    ASSERT_TRUE(p);
    auto* r = static_cast<CieXyz*>(loadTag(p.get(), sig("rXYZ")));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(loadTag(p.get(), sig("gXYZ")), r);
    auto* l = static_cast<CieXyz*>(loadTag(p.get(), sig("lumi")));
    ASSERT_NE(l, nullptr);
    EXPECT_NE(l, r);
    EXPECT_EQ(l->Y, 0.25);

    const std::vector<Entry> dir = directory(save(p.get()));
    ASSERT_EQ(dir.size(), 3u);
    EXPECT_EQ(dir[0].offset, dir[1].offset);   // written once, both point at it
    EXPECT_EQ(dir[0].size, dir[1].size);
    EXPECT_NE(dir[2].offset, dir[0].offset);
    EXPECT_EQ(dir[2].size, 20u);
}

TEST_F(Container, AliasesShareTheirTargetAndDanglingOnesAreDropped)
{
    ProfilePtr p{createBlankProfile(ctx), &closeProfile};
    ASSERT_TRUE(p);
    const CieXyz red{0.4361, 0.2225, 0.0139};
    ASSERT_TRUE(storeTag(p.get(), sig("rXYZ"), &red));
    ASSERT_TRUE(aliasTag(p.get(), sig("gXYZ"), sig("rXYZ")));
    ASSERT_TRUE(aliasTag(p.get(), sig("bXYZ"), sig("gXYZ")));   // a link to a link
    ASSERT_TRUE(aliasTag(p.get(), sig("bkpt"), sig("kXYZ")));   // to nothing
    EXPECT_FALSE(aliasTag(p.get(), sig("wtpt"), sig("wtpt")));
    EXPECT_EQ(loadTag(p.get(), sig("gXYZ")), loadTag(p.get(), sig("rXYZ")));
    EXPECT_EQ(loadTag(p.get(), sig("bXYZ")), loadTag(p.get(), sig("rXYZ")));
    EXPECT_EQ(linkedTypeOf(p.get(), sig("bXYZ")), sig("XYZ "));
    EXPECT_EQ(loadTag(p.get(), sig("bkpt")), nullptr);
    EXPECT_EQ(tagCount(p.get()), 4u);

    const Bytes saved = save(p.get());
    const std::vector<Entry> dir = directory(saved);
    ASSERT_EQ(dir.size(), 3u);
    EXPECT_EQ(dir[0].sig, sig("rXYZ"));
    for (const Entry& e : dir) {
        EXPECT_EQ(e.offset, dir[0].offset);
        EXPECT_EQ(e.size, 20u);
    }
    EXPECT_EQ(saved.size(), 128u + 4 + 3 * 12 + 20);
}

// ---------------------------------------------------------------------------
// Storing
// ---------------------------------------------------------------------------

TEST_F(Container, BlankProfileHasTheEngineDefaults)
{
    const std::time_t before = std::time(nullptr);
    ProfilePtr p{createBlankProfile(ctx), &closeProfile};
    ASSERT_TRUE(p);
    EXPECT_EQ(profileVersion(p.get()), 0x02100000u);
    EXPECT_EQ(profileCmmType(p.get()), sig("ostl"));
    EXPECT_EQ(profileCreator(p.get()), sig("ostl"));
    EXPECT_EQ(profilePlatform(p.get()), sig("MSFT"));
    EXPECT_EQ(profileDeviceClass(p.get()), sig("mntr"));
    EXPECT_EQ(profileColorSpace(p.get()), 0u);
    EXPECT_EQ(profilePcs(p.get()), 0u);
    EXPECT_EQ(profileAttributes(p.get()), 0u);
    EXPECT_EQ(tagCount(p.get()), 0u);
    EXPECT_EQ(profileContext(p.get()), ctx);
    std::tm t = profileCreationDate(p.get());
    const std::time_t created = timegm(&t);
    EXPECT_GE(created, before);
    EXPECT_LE(created, std::time(nullptr));

    // The saved header says the same, with the D50 illuminant.
    const Bytes saved = save(p.get());
    ASSERT_EQ(saved.size(), 132u);
    EXPECT_EQ(be32(saved, 0), 132u);
    EXPECT_EQ(be32(saved, 4), sig("ostl"));
    EXPECT_EQ(be32(saved, 8), 0x02100000u);
    EXPECT_EQ(be32(saved, 12), sig("mntr"));
    EXPECT_EQ(be32(saved, 36), sig("acsp"));
    EXPECT_EQ(be32(saved, 40), sig("MSFT"));
    EXPECT_EQ(be32(saved, 68), 0x0000F6D6u);   // 0.9642
    EXPECT_EQ(be32(saved, 72), 0x00010000u);
    EXPECT_EQ(be32(saved, 76), 0x0000D32Du);   // 0.8249
    EXPECT_EQ(be32(saved, 80), sig("ostl"));
    EXPECT_EQ(be32(saved, 128), 0u);
}

TEST_F(Container, VersionNumbersUseDecimalDigits)
{
    ProfilePtr p{createBlankProfile(ctx), &closeProfile};
    struct Case { double number; uint32_t raw; };
    const Case cases[] = {{4.3, 0x04300000}, {2.1, 0x02100000}, {4.4, 0x04400000},
                          {5.0, 0x05000000}, {2.0, 0x02000000}, {4.29999, 0x04300000}};
    for (const Case& c : cases) {
        setVersionFromNumber(p.get(), c.number);
        EXPECT_EQ(profileVersion(p.get()), c.raw) << c.number;
        EXPECT_NEAR(versionAsNumber(p.get()), std::floor(c.number * 100 + 0.5) / 100, 1e-12);
    }
}

TEST_F(Container, StoredObjectsAreCopiesAndRoundTrip)
{
    ProfilePtr p{createBlankProfile(ctx), &closeProfile};
    CieXyz white{0.9505, 1.0, 1.089};
    ASSERT_TRUE(storeTag(p.get(), sig("wtpt"), &white));
    auto* held = static_cast<CieXyz*>(loadTag(p.get(), sig("wtpt")));
    ASSERT_NE(held, nullptr);
    EXPECT_NE(held, &white);
    white.X = 0;   // the profile kept its own copy
    EXPECT_EQ(held->X, 0.9505);

    // Storing the profile's own object again is safe.
    ASSERT_TRUE(storeTag(p.get(), sig("wtpt"), held));
    const double matrix[9] = {1.0478, 0.0229, -0.0501, 0.0295, 0.9905, -0.0171, -0.0092, 0.0150, 0.7521};
    ASSERT_TRUE(storeTag(p.get(), sig("chad"), matrix));

    ProfilePtr q{open(save(p.get())), &closeProfile};
    ASSERT_TRUE(q);
    auto* w = static_cast<CieXyz*>(loadTag(q.get(), sig("wtpt")));
    ASSERT_NE(w, nullptr);
    EXPECT_NEAR(w->X, 0.9505, 0.5 / 65536);
    EXPECT_NEAR(w->Z, 1.089, 0.5 / 65536);
    auto* m = static_cast<double*>(loadTag(q.get(), sig("chad")));
    ASSERT_NE(m, nullptr);
    for (int i = 0; i < 9; ++i) EXPECT_NEAR(m[i], matrix[i], 0.5 / 65536);
    EXPECT_TRUE(reports.empty());
}

TEST_F(Container, StoreRefusesUnknownTagsAndTypesWithoutHandlers)
{
    // A private tag whose type has no handler.
    PluginTag tag{{PluginMagic, 2160, PluginTagSig, nullptr}, sig("tst1"), {1, 1, {sig("tsT?")}, nullptr}};
    ASSERT_TRUE(registerPlugins(ctx, &tag));
    ProfilePtr p{createBlankProfile(ctx), &closeProfile};
    const CieXyz x{1, 1, 1};
    EXPECT_FALSE(storeTag(p.get(), sig("qqqq"), &x));
    expectOnly(ErrUnknownExtension, "Unsupported tag '71717171'");
    reports.clear();
    EXPECT_FALSE(storeTag(p.get(), sig("tst1"), &x));
    expectOnly(ErrUnknownExtension, "Unsupported type 'tsT?' for tag 'tst1'");
    EXPECT_EQ(tagCount(p.get()), 0u);
    reports.clear();
    EXPECT_FALSE(storeTag(p.get(), sig("wtpt"), nullptr));   // removing what is not there
    EXPECT_TRUE(reports.empty());
}

TEST_F(Container, AHundredTagsAtMostButRemovedSlotsAreReused)
{
    // Private XYZ tags through a descriptor plug-in for each signature.
    std::vector<PluginTag> tags(101);
    for (uint32_t i = 0; i < 101; ++i) {
        tags[i] = PluginTag{{PluginMagic, 2160, PluginTagSig, i + 1 < 101 ? &tags[i + 1].base : nullptr},
                            0x70000000u + i, {1, 1, {sig("XYZ ")}, nullptr}};
    }
    ASSERT_TRUE(registerPlugins(ctx, &tags[0]));
    ProfilePtr p{createBlankProfile(ctx), &closeProfile};
    const CieXyz x{0.1, 0.2, 0.3};
    for (uint32_t i = 0; i < 100; ++i) ASSERT_TRUE(storeTag(p.get(), 0x70000000u + i, &x)) << i;
    EXPECT_FALSE(storeTag(p.get(), 0x70000000u + 100, &x));
    expectOnly(ErrRange, "Too many tags (100)");
    EXPECT_FALSE(aliasTag(p.get(), 0x70000000u + 100, 0x70000000u));

    reports.clear();
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(storeTag(p.get(), 0x70000000u + 7, nullptr));
        EXPECT_FALSE(hasTag(p.get(), 0x70000000u + 7));
        ASSERT_TRUE(storeTag(p.get(), 0x70000000u + 100, &x));
        ASSERT_TRUE(storeTag(p.get(), 0x70000000u + 100, nullptr));
        ASSERT_TRUE(storeTag(p.get(), 0x70000000u + 7, &x));
    }
    EXPECT_EQ(tagCount(p.get()), 100u);
    EXPECT_TRUE(reports.empty());
    ProfilePtr q{open(save(p.get())), &closeProfile};
    ASSERT_TRUE(q);
    EXPECT_EQ(tagCount(q.get()), 100u);
}

// ---------------------------------------------------------------------------
// Saving
// ---------------------------------------------------------------------------

// The bytes with the profile ID that a save fills in.
Bytes withId(Bytes b)
{
    uint8_t id[16];
    EXPECT_TRUE(computeProfileId(b.data(), uint32_t(b.size()), id));
    std::copy(id, id + 16, b.begin() + 84);
    return b;
}

TEST_F(Container, UnloadedTagsAreCopiedByteForByte)
{
    const Bytes original = threeTagProfile().build();
    ProfilePtr p{open(original), &closeProfile};
    ASSERT_TRUE(p);
    const Bytes saved = save(p.get());
    EXPECT_EQ(saved, withId(original));   // already padded, D50 in the header: identical but for the ID
    EXPECT_EQ(save(p.get()), saved);   // and again
    EXPECT_TRUE(reports.empty());
}

TEST_F(Container, FloatTablesStayOutOfVersionTwoFiles)
{
    // A float table (an empty 'mpet' of 3 channels) with a second tag
    // sharing its bytes, beside a white point.
    ProfileBuilder b;
    b.tag(sig("wtpt"), b.addData(xyzTag(0.9642, 1.0, 0.8249)));
    const size_t table = b.addData(tagData(sig("mpet"), Bytes{0, 3, 0, 3, 0, 0, 0, 0}));
    b.tag(sig("D2B0"), table);
    b.tag(sig("D2B1"), table);
    const Bytes original = b.build();
    for (const bool loaded : {false, true}) {
        for (const double version : {2.1, 4.3}) {
            ProfilePtr p{open(original), &closeProfile};
            ASSERT_TRUE(p);
            if (loaded) ASSERT_NE(loadTag(p.get(), sig("D2B1")), nullptr);
            setVersionFromNumber(p.get(), version);
            ProfilePtr back{open(save(p.get())), &closeProfile};
            ASSERT_TRUE(back);
            EXPECT_TRUE(hasTag(back.get(), sig("wtpt")));
            for (const uint32_t tag : {sig("D2B0"), sig("D2B1")})
                EXPECT_EQ(hasTag(back.get(), tag), version > 4) << version << (loaded ? ", loaded" : "");
        }
    }
    EXPECT_TRUE(reports.empty());
}

TEST_F(Container, SizeQueryMatchesTheBytesWrittenAndSmallBlocksAreRefused)
{
    ProfilePtr p{open(threeTagProfile().build()), &closeProfile};
    uint32_t size = 0;
    ASSERT_TRUE(saveToMemory(p.get(), nullptr, &size));

    // A block one byte short, inside a larger buffer with a guard after it.
    std::vector<uint8_t> buffer(size + 64, 0xEE);
    uint32_t room = size - 1;
    EXPECT_FALSE(saveToMemory(p.get(), buffer.data(), &room));
    EXPECT_EQ(room, size);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].code, uint32_t(ErrWrite));
    for (size_t i = size - 1; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0xEE) << i;

    // An exact block under ASan: nothing can go past it.
    std::unique_ptr<uint8_t[]> exact(new uint8_t[size - 1]);
    room = size - 1;
    EXPECT_FALSE(saveToMemory(p.get(), exact.get(), &room));
    room = 0;
    EXPECT_FALSE(saveToMemory(p.get(), exact.get(), &room));

    std::unique_ptr<uint8_t[]> fits(new uint8_t[size]);
    room = size;
    EXPECT_TRUE(saveToMemory(p.get(), fits.get(), &room));
    EXPECT_EQ(room, size);
}

// A test type whose writer fails on demand.
std::atomic<bool> failWrites{false};
struct Scalar {
    uint32_t value;
};
void* scalarRead(TagTypeHandler* self, IoHandler* io, uint32_t* count, uint32_t)
{
    auto* s = static_cast<Scalar*>(engineAlloc(self->ctx, sizeof(Scalar)));
    if (!s || !readUInt32(io, &s->value)) {
        engineFree(self->ctx, s);
        return nullptr;
    }
    *count = 1;
    return s;
}
bool scalarWrite(TagTypeHandler*, IoHandler* io, void* object, uint32_t)
{
    return !failWrites && writeUInt32(io, static_cast<Scalar*>(object)->value);
}
void* scalarDup(TagTypeHandler* self, const void* object, uint32_t)
{
    return engineDup(self->ctx, object, sizeof(Scalar));
}
void scalarFree(TagTypeHandler* self, void* object)
{
    engineFree(self->ctx, object);
}

TEST_F(Container, AFailedSaveLeavesTheProfileAsItWas)
{
    PluginTagType type{{PluginMagic, 2160, PluginTagTypeSig, nullptr},
                       {sig("scal"), scalarRead, scalarWrite, scalarDup, scalarFree, nullptr, 0}};
    PluginTag tag{{PluginMagic, 2160, PluginTagSig, &type.base}, sig("tsc1"), {1, 1, {sig("scal")}, nullptr}};
    ASSERT_TRUE(registerPlugins(ctx, &tag));

    ProfilePtr p{open(threeTagProfile().build()), &closeProfile};
    ASSERT_TRUE(p);
    const Scalar s{0xCAFEF00D};
    ASSERT_TRUE(storeTag(p.get(), sig("tsc1"), &s));
    void* wtpt = loadTag(p.get(), sig("wtpt"));
    void* stored = loadTag(p.get(), sig("tsc1"));
    ASSERT_TRUE(wtpt && stored);
    const Bytes before = save(p.get());

    failWrites = true;
    uint32_t size = 0;
    EXPECT_FALSE(saveToMemory(p.get(), nullptr, &size));
    EXPECT_EQ(size, 0u);
    std::vector<uint8_t> block(before.size());
    size = uint32_t(block.size());
    EXPECT_FALSE(saveToMemory(p.get(), block.data(), &size));
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().code, uint32_t(ErrWrite));
    EXPECT_EQ(reports.back().text, "Couldn't write type 'scal'");
    failWrites = false;

    EXPECT_EQ(tagCount(p.get()), 4u);
    EXPECT_EQ(loadTag(p.get(), sig("wtpt")), wtpt);
    EXPECT_EQ(loadTag(p.get(), sig("tsc1")), stored);
    EXPECT_EQ(save(p.get()), before);

    ProfilePtr q{open(before), &closeProfile};
    auto* back = static_cast<Scalar*>(loadTag(q.get(), sig("tsc1")));
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->value, 0xCAFEF00Du);
}

TEST_F(Container, ProfilesRoundTripThroughFilesAndStreams)
{
    const auto dir = std::filesystem::temp_directory_path();
    const std::string path = (dir / "osl-io0-test.icc").string();
    const Bytes original = threeTagProfile().build();
    {
        ProfilePtr p{open(original), &closeProfile};
        ASSERT_TRUE(saveToFile(p.get(), path.c_str()));
    }
    EXPECT_EQ(readFile(path), withId(original));

    // The stream stays the caller's after saving to it.
    FILE* f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    ProfilePtr fromStream{openFromStreamContext(ctx, f, "r"), &closeProfile};
    ASSERT_TRUE(fromStream);
    FILE* out = std::tmpfile();
    ASSERT_TRUE(saveToStream(fromStream.get(), out));
    EXPECT_EQ(std::ftell(out), long(original.size()));
    std::fclose(out);
    ASSERT_NE(loadTag(fromStream.get(), sig("rXYZ")), nullptr);   // lazily from the open stream

    // A profile opened for writing is written when closed.
    const std::string written = (dir / "osl-io0-written.icc").string();
    IccProfile* w = openFromFile(ctx, written.c_str(), "w");
    ASSERT_NE(w, nullptr);
    const CieXyz white{0.9642, 1.0, 0.8249};
    ASSERT_TRUE(storeTag(w, sig("wtpt"), &white));
    ASSERT_TRUE(closeProfile(w));
    const Bytes bytes = readFile(written);
    ASSERT_EQ(bytes.size(), 128u + 4 + 12 + 20);
    EXPECT_EQ(be32(bytes, 0), bytes.size());
    EXPECT_EQ(be32(bytes, 132), sig("wtpt"));
    std::filesystem::remove(path);
    std::filesystem::remove(written);
    EXPECT_TRUE(reports.empty());
}

// ---------------------------------------------------------------------------
// Every real profile of the system
// ---------------------------------------------------------------------------

std::vector<std::string> realProfiles()
{
    std::vector<std::string> paths;
    for (const char* root : {"/usr/share/color/icc", "/usr/share/color/argyll/ref"}) {
        std::error_code ec;
        for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
            std::string ext = it->path().extension().string();
            std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
            if (it->is_regular_file() && (ext == ".icc" || ext == ".icm")) paths.push_back(it->path().string());
        }
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

TEST_F(Container, TheInstalledProfilesArePresent)
{
    const std::vector<std::string> paths = realProfiles();
    for (const char* needed : {"/usr/share/color/icc/colord/sRGB.icc", "/usr/share/color/icc/colord/x11-colors.icc",
                               "/usr/share/color/icc/ghostscript/default_cmyk.icc",
                               "/usr/share/color/icc/ghostscript/lab.icc", "/usr/share/color/argyll/ref/sRGB.icm",
                               "/usr/share/color/argyll/ref/lab2lab.icm"})
        EXPECT_NE(std::find(paths.begin(), paths.end(), needed), paths.end()) << needed << " is missing";
    EXPECT_GE(paths.size(), 40u);
}

class RealProfile : public Container, public ::testing::WithParamInterface<std::string> {};

TEST_P(RealProfile, OpensReadsAndSavesUnchanged)
{
    const std::string path = GetParam();
    const Bytes bytes = readFile(path);
    ASSERT_GE(bytes.size(), 132u);

    // What the bytes say, read independently.
    const uint32_t rawVersion = be32(bytes, 8);
    std::vector<Entry> expected;
    for (const Entry& e : directory(bytes))
        if (e.size && e.offset && uint64_t(e.offset) + e.size <= std::min<uint64_t>(be32(bytes, 0), bytes.size()))
            expected.push_back(e);

    IccProfile* fromFile = openFromFile(ctx, path.c_str(), "r");
    IccProfile* fromMemory = open(bytes);
    FILE* f = std::fopen(path.c_str(), "rb");
    IccProfile* fromStream = openFromStreamContext(ctx, f, "r");
    ASSERT_TRUE(fromFile && fromMemory && fromStream) << (reports.empty() ? "" : reports[0].text);
    for (IccProfile* p : {fromFile, fromMemory, fromStream}) {
        EXPECT_EQ(profileVersion(p), rawVersion & 0xFFFF0000u);
        EXPECT_EQ(profileDeviceClass(p), be32(bytes, 12));
        EXPECT_EQ(profileColorSpace(p), be32(bytes, 16));
        EXPECT_EQ(profilePcs(p), be32(bytes, 20));
        EXPECT_EQ(profileCreationDate(p).tm_year + 1900, be16(bytes, 24));
        EXPECT_EQ(profileCreationDate(p).tm_sec, be16(bytes, 34));
        EXPECT_EQ(profilePlatform(p), be32(bytes, 40));
        EXPECT_EQ(profileFlags(p), be32(bytes, 44));
        EXPECT_EQ(profileManufacturer(p), be32(bytes, 48));
        EXPECT_EQ(profileModel(p), be32(bytes, 52));
        EXPECT_EQ(profileRenderingIntent(p), be32(bytes, 64));
        EXPECT_EQ(profileCreator(p), be32(bytes, 80));
        uint8_t id[16];
        profileId(p, id);
        EXPECT_EQ(std::memcmp(id, bytes.data() + 84, 16), 0);
        ASSERT_EQ(tagCount(p), expected.size());
        for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(tagSignatureAt(p, uint32_t(i)), expected[i].sig);
    }

    // The media white point, where it is an XYZ tag, decodes as its bytes say.
    for (const Entry& e : expected) {
        if (e.sig != sig("wtpt") || be32(bytes, e.offset) != sig("XYZ ")) continue;
        auto* w = static_cast<CieXyz*>(loadTag(fromStream, sig("wtpt")));
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(w->X, int32_t(be32(bytes, e.offset + 8)) / 65536.0);
        EXPECT_EQ(w->Y, int32_t(be32(bytes, e.offset + 12)) / 65536.0);
        EXPECT_EQ(w->Z, int32_t(be32(bytes, e.offset + 16)) / 65536.0);
    }

    // Saved unchanged and reopened, every tag keeps its bytes.
    const Bytes saved = save(fromMemory);
    EXPECT_EQ(save(fromFile), saved);
    EXPECT_EQ(be32(saved, 0), saved.size());
    ProfilePtr again{open(saved), &closeProfile};
    ASSERT_TRUE(again);
    const std::vector<Entry> dir = directory(saved);
    ASSERT_EQ(dir.size(), expected.size());
    for (size_t i = 0; i < dir.size(); ++i) {
        EXPECT_EQ(dir[i].sig, expected[i].sig);
        ASSERT_EQ(dir[i].size, expected[i].size) << path;
        EXPECT_TRUE(std::equal(saved.begin() + dir[i].offset, saved.begin() + dir[i].offset + dir[i].size,
                               bytes.begin() + expected[i].offset))
            << path << " tag " << i;
    }
    EXPECT_EQ(tagCount(again.get()), expected.size());
    EXPECT_TRUE(reports.empty()) << reports[0].text;

    EXPECT_TRUE(closeProfile(fromFile));
    EXPECT_TRUE(closeProfile(fromMemory));
    EXPECT_TRUE(closeProfile(fromStream));
}

INSTANTIATE_TEST_SUITE_P(Installed, RealProfile, ::testing::ValuesIn(realProfiles()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             std::string name = std::filesystem::path(info.param).parent_path().filename().string() +
                                                "_" + std::filesystem::path(info.param).stem().string();
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

} // namespace
