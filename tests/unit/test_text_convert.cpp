// Text conversions between wide strings, locale text, UTF-8 and numbers, and teaching from field texts.
#include <gtest/gtest.h>

#include <cfloat>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>

#include "catalogue.h"
#include "scoped_locale.h"
#include "text_convert.h"

namespace {

// "árvíz" as UTF-8 bytes and as a wide string.
const std::string utf8_word = "\xC3\xA1rv\xC3\xADz";
const wxString wide_word = wxString(L"\u00e1rv\u00edz");

}  // namespace

TEST(TextConvert, NamesConvertStrictlyToUtf8AndThroughTheProcessCharset) {
    ScopedLocale plain("C");
    EXPECT_EQ(to_utf8(wide_word), utf8_word);
    EXPECT_EQ(from_utf8(utf8_word), wide_word);
    EXPECT_EQ(from_utf8(std::string("x\0y", 3)), wxString(L"x\0y", 3));
    for (const char* bad : {"\xff", "a\xc3", "\xc0\xaf", "\xed\xa0\x80", "\xf8\x88\x80\x80\x80", "ok\x80"})
        EXPECT_EQ(from_utf8(bad), wxString()) << bad;
    // The toolkit alone would let a lone surrogate through into the file.
    EXPECT_EQ(to_utf8(wxString(std::wstring(1, wchar_t(0xD800)))), "");
    // An ASCII charset cannot hold the accents: the conversion fails as a whole.
    EXPECT_EQ(to_locale_narrow(wide_word), "");
    EXPECT_EQ(from_locale_narrow(utf8_word), wxString());
    ScopedLocale utf8("C.UTF-8");
    EXPECT_EQ(to_locale_narrow(wide_word), utf8_word);
    EXPECT_EQ(from_locale_narrow(utf8_word), wide_word);
    EXPECT_EQ(from_locale_narrow("\xff"), wxString());
}

// A field text, the number read from it and the target it teaches in place of 50
// (50: no number, or none a float can hold, so the target is kept and the row logged).
struct field_case {
    const char* text;
    std::optional<double> number;
    float taught;
};

const field_case field_cases[] = {
    {"", std::nullopt, 50.0f},       {"12.7", 12.7, 12.7f},           {"12,7", 12.7, 12.7f},
    {"1.5e3", 1500.0, 1500.0f},      {"-0", -0.0, -0.0f},             {"42abc", std::nullopt, 50.0f},
    {"abc", std::nullopt, 50.0f},    {" 7 ", 7.0, 7.0f},              {"+7", 7.0, 7.0f},
    {"-3,5E-1", -0.35, -0.35f},      {".5", 0.5, 0.5f},               {"1.234,5", std::nullopt, 50.0f},
    {"1 5", std::nullopt, 50.0f},    {"1e", std::nullopt, 50.0f},     {".", std::nullopt, 50.0f},
    {"-", std::nullopt, 50.0f},      {"0x10", std::nullopt, 50.0f},   {"inf", std::nullopt, 50.0f},
    {"nan", std::nullopt, 50.0f},    {"1e999", std::nullopt, 50.0f},  {"12\xC2\xB0", std::nullopt, 50.0f},
    {"1e39", 1e39, 50.0f},           {"-3.4028234e38", -3.4028234e38, -FLT_MAX},
};

TEST(TextConvert, FieldTextsReadAndTeachAlikeUnderEveryLocale) {
    for (const char* locale : {"C", "de_DE.UTF-8"}) {
        ScopedLocale scoped(locale);
        for (const field_case& field : field_cases) {
            SCOPED_TRACE(std::string(locale) + " \"" + field.text + "\"");
            const wxString text = wxString::FromUTF8(field.text);
            const std::optional<double> number = read_number(text);
            ASSERT_EQ(number.has_value(), field.number.has_value());
            if (number) {
                EXPECT_EQ(*number, *field.number);
                EXPECT_EQ(std::signbit(*number), std::signbit(*field.number));
            }
            Type type;
            type.X = type.Y = type.alpha = type.beta = 50.0f;
            const catalogue::teach_result taught = catalogue::teach(type, {text, text, text, text});
            for (const float target : {type.X, type.Y, type.alpha, type.beta}) {
                EXPECT_EQ(target, field.taught);
                EXPECT_EQ(std::signbit(target), std::signbit(field.taught));
            }
            EXPECT_EQ(catalogue::rejected_message(taught),
                      field.taught == 50.0f ? "Ervenytelen ertek, a cel nem valtozott: X, Y, A, B" : "");
        }
    }
}

TEST(TextConvert, LocaleComesFromTheEnvironmentAndAMissingOneKeepsNames) {
    ScopedLocale restore("C");
    for (const char* name : {"LANG", "LC_NUMERIC", "LC_CTYPE"}) ::unsetenv(name);
    for (const char* all : {"C.UTF-8", "xx_YY.UTF-8"}) {  // the second is not installed
        std::setlocale(LC_ALL, "C");
        ::setenv("LC_ALL", all, 1);
        use_environment_locale();
        ::unsetenv("LC_ALL");
        EXPECT_EQ(std::string(std::setlocale(LC_CTYPE, nullptr)), "C.UTF-8") << all;
        EXPECT_EQ(to_locale_narrow(wide_word), utf8_word) << all;
    }
}
