// Text conversions between wide strings, locale text, UTF-8 and numbers.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>

#include "scoped_locale.h"
#include "text_convert.h"

namespace {

// "árvíz" as UTF-8 bytes and as a wide string.
const std::string utf8_word = "\xC3\xA1rv\xC3\xADz";
const wxString wide_word = wxString(L"\u00e1rv\u00edz");

// Sets or clears one environment variable for a test and restores it.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) previous_ = old;
        if (value != nullptr) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (previous_) {
            ::setenv(name_, previous_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::optional<std::string> previous_;
};

std::string category(int which) { return std::setlocale(which, nullptr); }

}  // namespace

TEST(TextConvert, LocaleConversionFollowsTheProcessCharset) {
    {
        ScopedLocale utf8("C.UTF-8");
        EXPECT_EQ(to_locale_narrow(wide_word), utf8_word);
        EXPECT_EQ(from_locale_narrow(utf8_word), wide_word);
        EXPECT_EQ(from_locale_narrow("\xff"), wxString());
        const wxString with_nul(L"a\0b", 3);
        EXPECT_EQ(to_locale_narrow(with_nul), std::string("a\0b", 3));
    }
    {
        // An ASCII charset cannot hold the accents: the conversion fails as a whole.
        ScopedLocale plain("C");
        EXPECT_EQ(to_locale_narrow(wide_word), "");
        EXPECT_EQ(from_locale_narrow(utf8_word), wxString());
        EXPECT_EQ(to_locale_narrow("plain ASCII"), "plain ASCII");
        EXPECT_EQ(from_locale_narrow("plain ASCII"), "plain ASCII");
    }
    EXPECT_EQ(to_locale_narrow(wxString()), "");
}

TEST(TextConvert, Utf8IsStrictAndIndependentOfTheLocale) {
    ScopedLocale plain("C");
    EXPECT_EQ(to_utf8(wide_word), utf8_word);
    EXPECT_EQ(from_utf8(utf8_word), wide_word);
    EXPECT_EQ(from_utf8(std::string("x\0y", 3)), wxString(L"x\0y", 3));
    EXPECT_EQ(to_utf8(wxString(L"x\0y", 3)), std::string("x\0y", 3));
    EXPECT_EQ(to_utf8(wxString(L"\U0001F600")), "\xF0\x9F\x98\x80");

    for (const char* bad : {"\xff", "a\xc3", "\xc0\xaf", "\xed\xa0\x80", "\xf8\x88\x80\x80\x80", "ok\x80"}) {
        EXPECT_FALSE(is_valid_utf8(bad)) << bad;
        EXPECT_EQ(from_utf8(bad), wxString()) << bad;
    }
    // The toolkit alone would let a lone surrogate through into the file.
    EXPECT_EQ(to_utf8(wxString(std::wstring(1, wchar_t(0xD800)))), "");
    EXPECT_TRUE(is_valid_utf8(""));
    EXPECT_TRUE(is_valid_utf8(utf8_word));
}

TEST(TextConvert, ParseLeadingNumberReadsLikeStrtod) {
    ScopedLocale utf8("C.UTF-8");
    EXPECT_DOUBLE_EQ(parse_leading_number("12.7"), 12.7);
    EXPECT_DOUBLE_EQ(parse_leading_number("  \t42abc"), 42.0);
    EXPECT_DOUBLE_EQ(parse_leading_number("-3.5e2x"), -350.0);
    EXPECT_DOUBLE_EQ(parse_leading_number("+7"), 7.0);
    EXPECT_DOUBLE_EQ(parse_leading_number("0x10"), 16.0);
    EXPECT_DOUBLE_EQ(parse_leading_number("1,5"), 1.0);
    EXPECT_DOUBLE_EQ(parse_leading_number(wxString(L"12\u00b0")), 12.0);
    EXPECT_EQ(parse_leading_number("abc"), 0.0);
    EXPECT_EQ(parse_leading_number(""), 0.0);
    EXPECT_EQ(parse_leading_number("."), 0.0);
    EXPECT_TRUE(std::isinf(parse_leading_number("inf")));
    EXPECT_TRUE(std::isinf(parse_leading_number("-Infinity")));
    EXPECT_TRUE(std::isnan(parse_leading_number("nan")));
    EXPECT_TRUE(std::isinf(parse_leading_number("1e999")));
}

TEST(TextConvert, FormatRoundedPrintsNoDecimals) {
    EXPECT_EQ(format_rounded(2.5), "2");
    EXPECT_EQ(format_rounded(1.5), "2");
    EXPECT_EQ(format_rounded(-2.5), "-2");
    EXPECT_EQ(format_rounded(-0.4), "-0");
    EXPECT_EQ(format_rounded(12.7), "13");
    EXPECT_EQ(format_rounded(15230.0), "15230");
    EXPECT_EQ(format_rounded(double(12.7f)), "13");
}

TEST(TextConvert, LocaleComesFromTheEnvironment) {
    ScopedLocale restore("C");
    ScopedEnv lang("LANG", nullptr);
    ScopedEnv numeric("LC_NUMERIC", nullptr);
    {
        ScopedEnv all("LC_ALL", "C.UTF-8");
        use_environment_locale();
        EXPECT_EQ(category(LC_CTYPE), "C.UTF-8");
        EXPECT_EQ(category(LC_NUMERIC), "C.UTF-8");
        EXPECT_EQ(to_locale_narrow(wide_word), utf8_word);
        EXPECT_DOUBLE_EQ(parse_leading_number("12.7"), 12.7);
    }
    std::setlocale(LC_ALL, "C");
    {
        // A locale that is not installed still gets a charset that keeps names.
        ScopedEnv all("LC_ALL", "xx_YY.UTF-8");
        use_environment_locale();
        EXPECT_EQ(category(LC_CTYPE), "C.UTF-8");
        EXPECT_EQ(to_locale_narrow(wide_word), utf8_word);
    }
}
