// The catalogue's file format, its checked parsing and the teaching rules.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>


#include "catalogue.h"
#include "scoped_locale.h"

namespace fs = std::filesystem;
using catalogue::parse_status;

namespace {

std::string read_bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string golden(const std::string& name) {
    const fs::path path = fs::path(TEST_DATA_DIR) / "catalogue" / name;
    EXPECT_TRUE(fs::exists(path)) << path;
    return read_bytes(path);
}

Type make_type(std::int32_t id, const wxString& name, float x, float y, float alpha, float beta) {
    Type type;
    type.ID = id;
    type.name = name;
    type.X = x;
    type.Y = y;
    type.alpha = alpha;
    type.beta = beta;
    return type;
}

std::vector<Type> parse_ok(const std::string& text) {
    const catalogue::parse_result result = catalogue::from_json(text);
    EXPECT_EQ(result.status, parse_status::ok) << result.detail;
    return result.types;
}

}  // namespace

TEST(CatalogueJson, WritesThePrettyPrintedForm) {
    const std::vector<Type> example = {make_type(1, "T100", 1520.0f, 0.0f, 12.5f, 0.1f)};
    EXPECT_EQ(catalogue::to_json(example), golden("worked_example.json"));
    EXPECT_EQ(catalogue::to_json(example), catalogue::to_json(example));

    const std::string empty = catalogue::to_json({});
    EXPECT_EQ(empty, "{\n    \"ShaftTypes\": []\n}");
    EXPECT_EQ(empty.size(), 24u);
    EXPECT_EQ(empty, golden("empty.json"));

    // Loading and saving again reproduces every file the program wrote.
    for (const char* file : {"worked_example.json", "empty.json", "escaped_name.json"})
        EXPECT_EQ(catalogue::to_json(parse_ok(golden(file))), golden(file)) << file;

    const std::string narrowed = catalogue::to_json({make_type(2, "N", 45.7f, 0.0f, 0.0f, 0.0f)});
    EXPECT_NE(narrowed.find("\"X\": 45.70000076293945,"), std::string::npos) << narrowed;
}

TEST(CatalogueJson, EscapesNamesAndKeepsNegativeIdsWhateverTheLocale) {
    const wxString name = wxString::FromUTF8("Tengely \"\xC5\x90\" \\ \xC3\xA1rv\xC3\xADzt\xC5\xB1r\xC5\x91");
    ASSERT_FALSE(name.empty());
    const std::vector<Type> types = {
        make_type(-42, name, 45.7f, -0.0f, 1.1805916207174113e21f, -5.960464477539063e-8f),
        make_type(7, "", 16777216.0f, 0.5f, -250.0f, FLT_MAX)};
    const std::string expected = golden("escaped_name.json");
    {
        ScopedLocale utf8("C.UTF-8");
        EXPECT_EQ(catalogue::to_json(types), expected);
    }
    {
        // The file is UTF-8 even where the C library's charset is ASCII.
        ScopedLocale plain("C");
        EXPECT_EQ(catalogue::to_json(types), expected);
    }

    const std::vector<Type> loaded = parse_ok(expected);
    ASSERT_EQ(loaded.size(), 2u);
    EXPECT_EQ(loaded[0].ID, -42);
    EXPECT_EQ(loaded[0].name, name);
    EXPECT_EQ(loaded[0].X, 45.7f);
    EXPECT_TRUE(std::signbit(loaded[0].Y));
    EXPECT_EQ(loaded[1].name, wxString());
    EXPECT_EQ(loaded[1].beta, FLT_MAX);
}

TEST(CatalogueJson, AcceptsHandwrittenFilesAndSavesTheCanonicalForm) {
    // Integers, members in another order, extra members, duplicate keys (the first counts).
    const std::vector<Type> loaded = parse_ok(golden("handwritten.json"));
    ASSERT_EQ(loaded.size(), 2u);
    EXPECT_EQ(loaded[0].ID, 5);
    EXPECT_EQ(loaded[0].X, 5.0f);
    EXPECT_EQ(loaded[0].beta, -3.0f);
    EXPECT_EQ(loaded[1].ID, 6);
    EXPECT_EQ(loaded[1].name, "Elso");
    EXPECT_EQ(loaded[1].X, 1.25f);
    EXPECT_EQ(catalogue::to_json(loaded), golden("handwritten_saved.json"));
}

TEST(CatalogueJson, RejectsBadDocumentsWithoutTakingAnyRecord) {
    const std::string good = R"({"ID":1,"name":"a","X":1,"Y":2,"alpha":3,"beta":4})";
    const std::string long_name(257, 'n');
    const auto with_element = [&good](const std::string& bad) {
        return "{\"ShaftTypes\": [" + good + ", " + bad + "]}";
    };
    struct Case {
        std::string text;
        parse_status expected;
    };
    const std::vector<Case> cases = {
        {"", parse_status::parse_error},
        {"{\"ShaftTypes\": [{\"ID\": 1, \"name\": \"\xff\"}]}", parse_status::parse_error},
        {"{\"ShaftTypes\": [}", parse_status::parse_error},
        {"{\"ShaftTypes\": [],}", parse_status::parse_error},
        {"// note\n{\"ShaftTypes\": []}", parse_status::parse_error},
        {"{\"ShaftTypes\": [" + std::string(32, '[') + std::string(32, ']') + "]}", parse_status::parse_error},
        {std::string("{\"ShaftTypes\": []}") + '\0' + " trailing", parse_status::parse_error},
        {with_element(R"({"ID":1,"name":"a","X":NaN,"Y":2,"alpha":3,"beta":4})"), parse_status::parse_error},
        {with_element(R"({"ID":1,"name":"a","X":1e400,"Y":2,"alpha":3,"beta":4})"), parse_status::parse_error},
        {"[]", parse_status::wrong_shape},
        {"{}", parse_status::wrong_shape},
        {"{\"ShaftTypes\": {}}", parse_status::wrong_shape},
        {with_element("1"), parse_status::wrong_shape},
        {with_element(R"({"name":"a","X":1,"Y":2,"alpha":3,"beta":4})"), parse_status::wrong_shape},
        {with_element(R"({"ID":1,"name":"a","X":1,"Y":2,"alpha":3})"), parse_status::wrong_shape},
        {with_element(R"({"ID":"1","name":"a","X":1,"Y":2,"alpha":3,"beta":4})"), parse_status::wrong_shape},
        {with_element(R"({"ID":2147483648,"name":"a","X":1,"Y":2,"alpha":3,"beta":4})"), parse_status::wrong_shape},
        {with_element(R"({"ID":1,"name":5,"X":1,"Y":2,"alpha":3,"beta":4})"), parse_status::wrong_shape},
        {with_element(R"({"ID":1,"name":"\udc00","X":1,"Y":2,"alpha":3,"beta":4})"), parse_status::wrong_shape},
        {with_element("{\"ID\":1,\"name\":\"" + long_name + "\",\"X\":1,\"Y\":2,\"alpha\":3,\"beta\":4}"),
         parse_status::wrong_shape},
        {with_element(R"({"ID":1,"name":"a","X":"1","Y":2,"alpha":3,"beta":4})"), parse_status::wrong_shape},
        {with_element(R"({"ID":1,"name":"a","X":1,"Y":2,"alpha":3,"beta":1e39})"), parse_status::wrong_shape},
        {with_element(R"({"ID":1,"name":"a","X":1,"Y":2,"alpha":3,"beta":-3.4028236e38})"), parse_status::wrong_shape},
        // The first occurrence of a key counts, so a good later one does not rescue it.
        {with_element(R"({"ID":"x","ID":1,"name":"a","X":1,"Y":2,"alpha":3,"beta":4})"), parse_status::wrong_shape},
    };
    for (const Case& c : cases) {
        const catalogue::parse_result result = catalogue::from_json(c.text);
        EXPECT_EQ(result.status, c.expected) << c.text;
        EXPECT_TRUE(result.types.empty()) << c.text;
        EXPECT_FALSE(result.detail.empty()) << c.text;
    }
    EXPECT_EQ(parse_ok(with_element(good)).size(), 2u);
    // The limits themselves still load: 256 characters (not bytes) and the deepest nesting.
    const std::string longest = "\xC3\xA1" + std::string(255, 'n');
    EXPECT_EQ(parse_ok(with_element("{\"ID\":1,\"name\":\"" + longest + "\",\"X\":1,\"Y\":2,\"alpha\":3,\"beta\":4}"))
                  .at(1).name.length(), 256u);
    EXPECT_TRUE(catalogue::name_fits(wxString::FromUTF8(longest)));
    EXPECT_FALSE(catalogue::name_fits(wxString(wxUniChar('n'), 257)));
    const std::string deepest = "{\"ShaftTypes\": [" + std::string(30, '[') + std::string(30, ']') + "]}";
    EXPECT_EQ(catalogue::from_json(deepest).status, parse_status::wrong_shape);
}

TEST(CatalogueJson, NeverWritesNonFiniteTargets) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const Type good = make_type(1, "a", 1.0f, 2.0f, 3.0f, 4.0f);
    for (const Type& bad : {make_type(2, "b", inf, 0, 0, 0), make_type(2, "b", 0, -inf, 0, 0),
                            make_type(2, "b", 0, 0, nan, 0), make_type(2, "b", 0, 0, 0, nan)}) {
        EXPECT_FALSE(catalogue::is_storable(bad));
        EXPECT_EQ(catalogue::to_json({good, bad}), "");
    }
    EXPECT_TRUE(catalogue::is_storable(good));
}

TEST(CatalogueNewType, TakesTheIdAboveTheLargestAndAFreeName) {
    const auto ids = [](std::initializer_list<std::int32_t> list) {
        std::vector<Type> types;
        for (const std::int32_t id : list) types.push_back(make_type(id, "T", 0, 0, 0, 0));
        return types;
    };
    const std::int32_t top = std::numeric_limits<std::int32_t>::max();
    EXPECT_EQ(catalogue::next_free_id({}), 1);
    EXPECT_EQ(catalogue::next_free_id(ids({7, -3, 2})), 8);
    EXPECT_EQ(catalogue::next_free_id(ids({-9, -3})), -2);
    EXPECT_EQ(catalogue::next_free_id(ids({top, 1, -1, 3, 2})), 4);
    EXPECT_EQ(catalogue::new_type_name(ids({1}), "Uj", 2), "Uj");
    EXPECT_EQ(catalogue::new_type_name(ids({1}), "T", 2), "Uj tipus 2");
    EXPECT_EQ(catalogue::new_type_name(ids({1}), " \t", 2), "Uj tipus 2");
    EXPECT_EQ(catalogue::new_type_name(ids({1}), wxString('n', 257), 2), "Uj tipus 2");
}

TEST(CatalogueJson, SampleCatalogueIsInTheProgramsOwnForm) {
    const fs::path sample = fs::path(TEST_DATA_DIR) / ".." / ".." / "resources" / "Settings.dat";
    const std::string bytes = read_bytes(sample);
    const std::vector<Type> types = parse_ok(bytes);
    ASSERT_GE(types.size(), 4u) << sample;
    // The emulated board's demo run is tuned to the first type.
    EXPECT_EQ(types[0].ID, 1);
    EXPECT_EQ(types[0].X, 15230.0f);
    EXPECT_EQ(types[0].Y, 0.0f);
    EXPECT_EQ(types[0].alpha, 1200.0f);
    EXPECT_EQ(types[0].beta, -800.0f);
    EXPECT_EQ(catalogue::to_json(types), bytes);
}
