// The catalogue's file format, its checked parsing and the new type's ID and name.
#include <gtest/gtest.h>

#include <cfloat>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "catalogue.h"
#include "scoped_locale.h"

using catalogue::parse_status;

namespace {

std::string read_bytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Type make_type(std::int32_t id, const wxString& name, float x, float y, float alpha, float beta) {
    Type type;
    type.ID = id, type.name = name, type.X = x, type.Y = y, type.alpha = alpha, type.beta = beta;
    return type;
}

std::vector<Type> parse_ok(const std::string& text) {
    const catalogue::parse_result result = catalogue::from_json(text);
    EXPECT_EQ(result.status, parse_status::ok) << result.detail;
    return result.types;
}

}  // namespace

TEST(CatalogueJson, WritesTheProgramsOwnBytesUnderEveryLocaleAndReadsThemBack) {
    const std::string dir = TEST_DATA_DIR;
    const std::string escaped = read_bytes(dir + "/catalogue/escaped_name.json");
    const std::string sample = read_bytes(dir + "/../../resources/Settings.dat");
    const std::string empty = "{\n    \"ShaftTypes\": []\n}";
    const wxString name = wxString::FromUTF8("Tengely \"\xC5\x90\" \\ \xC3\xA1rv\xC3\xADzt\xC5\xB1r\xC5\x91");
    const std::vector<Type> types = {
        make_type(-42, name, 45.7f, -0.0f, 1.1805916207174113e21f, -5.960464477539063e-8f),
        make_type(7, "", 16777216.0f, 0.5f, -250.0f, FLT_MAX)};
    for (const char* locale : {"C.UTF-8", "C"}) {  // UTF-8 even where the C library's charset is ASCII
        ScopedLocale scoped(locale);
        EXPECT_EQ(catalogue::to_json(types), escaped) << locale;
        EXPECT_EQ(catalogue::to_json({}), empty) << locale;
    }
    // What was read is written back byte for byte; a handwritten file (integers, other order,
    // extra members, duplicate keys of which the first counts) takes the canonical form.
    const std::string handwritten =
        catalogue::to_json({make_type(5, "Kezzel irt", 5, 0, 250, -3), make_type(6, "Elso", 1.25f, 2, 3, 4)});
    const std::vector<std::pair<std::string, std::string>> rows = {
        {escaped, escaped}, {sample, sample}, {empty, empty}, {read_bytes(dir + "/catalogue/handwritten.json"), handwritten}};
    for (const auto& [in, out] : rows) EXPECT_EQ(catalogue::to_json(parse_ok(in)), out) << in;

    // A target that is not finite would make the file unloadable: nothing is written.
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    for (const Type& bad : {make_type(2, "b", inf, 0, 0, 0), make_type(2, "b", 0, -inf, 0, 0),
                            make_type(2, "b", 0, 0, nan, 0), make_type(2, "b", 0, 0, 0, nan)})
        EXPECT_EQ(catalogue::to_json({types[1], bad}), "");
}

TEST(CatalogueJson, RejectsBadDocumentsWithoutTakingAnyRecord) {
    const std::string good = R"({"ID":1,"name":"a","X":1,"Y":2,"alpha":3,"beta":4})";
    const auto with = [&good](const std::string& bad) { return "{\"ShaftTypes\": [" + good + ", " + bad + "]}"; };
    const auto named = [&with](const std::string& name) {
        return with("{\"ID\":1,\"name\":\"" + name + "\",\"X\":1,\"Y\":2,\"alpha\":3,\"beta\":4}");
    };
    const auto nested = [](int depth) {
        return "{\"ShaftTypes\": [" + std::string(size_t(depth), '[') + std::string(size_t(depth), ']') + "]}";
    };
    const parse_status syntax = parse_status::parse_error, shape = parse_status::wrong_shape;
    const std::vector<std::pair<std::string, parse_status>> cases = {
        {"", syntax}, {named("\xff"), syntax}, {"{\"ShaftTypes\": [}", syntax}, {"{\"ShaftTypes\": [],}", syntax},
        {"// note\n{\"ShaftTypes\": []}", syntax}, {nested(31), syntax}, {std::string("{\"ShaftTypes\": []}") + '\0' + "x", syntax},
        {with(R"({"ID":1,"name":"a","X":NaN,"Y":2,"alpha":3,"beta":4})"), syntax},
        {with(R"({"ID":1,"name":"a","X":1e400,"Y":2,"alpha":3,"beta":4})"), syntax},
        {"{\"ShaftTypes\": {}}", shape}, {with("1"), shape}, {nested(30), shape},
        {with(R"({"name":"a","X":1,"Y":2,"alpha":3,"beta":4})"), shape},
        {with(R"({"ID":1,"name":"a","X":1,"Y":2,"alpha":3})"), shape},
        {with(R"({"ID":"1","name":"a","X":1,"Y":2,"alpha":3,"beta":4})"), shape},
        {with(R"({"ID":2147483648,"name":"a","X":1,"Y":2,"alpha":3,"beta":4})"), shape},
        {with(R"({"ID":-2147483649,"name":"a","X":1,"Y":2,"alpha":3,"beta":4})"), shape},
        {with(R"({"ID":1,"name":5,"X":1,"Y":2,"alpha":3,"beta":4})"), shape},
        {named("\\udc00"), shape}, {named(std::string(257, 'n')), shape}, {"[]", shape}, {"{}", shape},
        {with(R"({"ID":1,"name":"a","X":"1","Y":2,"alpha":3,"beta":4})"), shape},
        {with(R"({"ID":1,"name":"a","X":1,"Y":2,"alpha":3,"beta":1e39})"), shape},
        {with(R"({"ID":1,"name":"a","X":1,"Y":2,"alpha":3,"beta":-3.4028236e38})"), shape},
        {with(R"({"ID":"x","ID":1,"name":"a","X":1,"Y":2,"alpha":3,"beta":4})"), shape},
    };
    for (const auto& [text, expected] : cases) {
        const catalogue::parse_result result = catalogue::from_json(text);
        EXPECT_EQ(result.status, expected) << text;
        EXPECT_TRUE(result.types.empty()) << text;
        EXPECT_FALSE(result.detail.empty()) << text;
    }
    // The other side of each limit: the name limit counts characters, not bytes; the extreme
    // IDs and targets that round to the largest float load.
    EXPECT_EQ(parse_ok(named("\xC3\xA1" + std::string(255, 'n'))).at(1).name.length(), 256u);
    const std::vector<Type> edges = parse_ok(with(R"({"ID":-2147483648,"name":"a","X":3.4028235e38,"Y":2,"alpha":3,"beta":-3.4028235e38},
                                                     {"ID":2147483647,"name":"b","X":1,"Y":2,"alpha":3,"beta":4})"));
    ASSERT_EQ(edges.size(), 3u);
    EXPECT_TRUE(edges[1].ID == INT32_MIN && edges[1].X == FLT_MAX && edges[1].beta == -FLT_MAX && edges[2].ID == INT32_MAX);
}

TEST(CatalogueNewType, TakesTheIdAboveTheLargestAndAFreeName) {
    const auto ids = [](std::initializer_list<std::int32_t> list) {
        std::vector<Type> types;
        for (const std::int32_t id : list) types.push_back(make_type(id, "T", 0, 0, 0, 0));
        return types;
    };
    EXPECT_EQ(catalogue::next_free_id({}), 1);
    EXPECT_EQ(catalogue::next_free_id(ids({7, -3, 2})), 8);
    EXPECT_EQ(catalogue::next_free_id(ids({-9, -3})), -2);
    EXPECT_EQ(catalogue::next_free_id(ids({INT32_MAX - 1, 3})), INT32_MAX);
    EXPECT_EQ(catalogue::next_free_id(ids({INT32_MAX, 1, -1, 3, 2})), 4);
    EXPECT_EQ(catalogue::new_type_name(ids({1}), "Uj", 2), "Uj");
    EXPECT_EQ(catalogue::new_type_name(ids({1}), wxString('n', 256), 2), wxString('n', 256));
    for (const wxString& unusable : {wxString("T"), wxString(" \t"), wxString('n', 257)})
        EXPECT_EQ(catalogue::new_type_name(ids({1}), unusable, 2), "Uj tipus 2");
}
