// Tag types: byte layouts against hand-written bytes, round trips through
// profiles of version 2 and 4, the type chosen for each version, the limits
// and messages of the readers and writers, plug-in types, and every tag of
// every installed profile.
#include "oslinternal.h"
#include "tag_objects.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

using namespace testbytes;
using namespace tagtest;

namespace {

// ---------------------------------------------------------------------------
// Every tag of every installed profile
// ---------------------------------------------------------------------------

std::vector<std::string> installedProfiles()
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

// Tags of the installed profiles that the engine refuses, with the message:
// "file name/tag" → message.
// colord's named-colour profiles carry a 'B2A0' of 3 inputs whose M curves
// run into its matrix: the second M curve has no curve type.
const std::map<std::string, std::string> KnownRefusals = {
    {"Crayons.icc/B2A0", "Corrupted tag 'B2A0'"},
    {"x11-colors.icc/B2A0", "Corrupted tag 'B2A0'"},
};

class TypesTest : public TagTypesTest {};
class InstalledProfile : public TagTypesTest, public ::testing::WithParamInterface<std::string> {};

TEST_F(TypesTest, InstalledProfilesArePresent)
{
    const std::vector<std::string> paths = installedProfiles();
    EXPECT_GE(paths.size(), 40u);
    for (const char* needed : {"/usr/share/color/icc/colord/x11-colors.icc",
                               "/usr/share/color/icc/ghostscript/default_cmyk.icc",
                               "/usr/share/color/argyll/ref/sRGB.icm"})
        EXPECT_NE(std::find(paths.begin(), paths.end(), needed), paths.end()) << needed << " is missing";
}

TEST_P(InstalledProfile, EveryTagLoadsAndSurvivesSaving)
{
    const std::string path = GetParam();
    const std::string file = std::filesystem::path(path).filename().string();
    const Bytes bytes = readFile(path);
    ProfilePtr p = open(bytes);
    ASSERT_TRUE(p) << reportText();

    struct Loaded {
        uint32_t tag, type;
        const void* object;
    };
    std::vector<Loaded> loaded;
    for (uint32_t i = 0; i < tagCount(p.get()); ++i) {
        const uint32_t tag = tagSignatureAt(p.get(), i);
        const std::string where = file + "/" + sigText(tag).text;
        reports().clear();
        const void* object = loadTag(p.get(), tag);
        const auto known = KnownRefusals.find(where);
        if (known != KnownRefusals.end()) {
            EXPECT_EQ(object, nullptr) << where;
            ASSERT_FALSE(reports().empty()) << where;
            EXPECT_EQ(reports().back().text, known->second) << where;
            continue;
        }
        ASSERT_NE(object, nullptr) << where << " " << reportText();
        EXPECT_TRUE(reports().empty()) << where << " " << reportText();
        loaded.push_back({tag, linkedTypeOf(p.get(), tag), object});
    }

    const Bytes saved = save(p.get());
    ASSERT_FALSE(saved.empty()) << file << " " << reportText();
    ProfilePtr again = open(saved);
    ASSERT_TRUE(again);
    for (const Loaded& l : loaded) {
        const std::string where = file + "/" + sigText(l.tag).text;
        expectSameTagObject(l.tag, l.type, l.object, loadTag(again.get(), l.tag), where);
    }
    EXPECT_TRUE(reports().empty()) << reportText();
    // Saving what was read back gives the same bytes again.
    for (const Loaded& l : loaded) loadTag(again.get(), l.tag);
    EXPECT_EQ(save(again.get()), saved) << file;
}

INSTANTIATE_TEST_SUITE_P(Installed, InstalledProfile, ::testing::ValuesIn(installedProfiles()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             std::string name = std::filesystem::path(info.param).parent_path().filename().string() +
                                                "_" + std::filesystem::path(info.param).stem().string();
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

} // namespace
