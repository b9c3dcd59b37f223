#pragma once
// Conversions between the toolkit's wide strings, narrow text and numbers.
#include <string>
#include <string_view>

#include <wx/string.h>

// Wide to narrow with the C library's conversion for the process locale; empty on failure.
std::string to_locale_narrow(const wxString& text);
// Narrow to wide with the same conversion; empty on failure.
wxString from_locale_narrow(std::string_view text);

// Wide to UTF-8; empty when the text holds something UTF-8 cannot encode.
std::string to_utf8(const wxString& text);
// UTF-8 to wide; empty when the bytes are not valid UTF-8.
wxString from_utf8(std::string_view bytes);
bool is_valid_utf8(std::string_view bytes);

// The number a text field starts with, as strtod reads it: leading white space skipped,
// the longest numeric prefix counts, 0 when there is none; "inf" and "nan" read as such.
double parse_leading_number(const wxString& text);

// "%.0f": nearest integer, halfway to even, a small negative value gives "-0".
wxString format_rounded(double value);

// Takes the process locale from the environment (wxWidgets 3.2 no longer does, and the C
// library's text conversions then lose every non-ASCII character). Falls back to C.UTF-8 for
// the character set when the environment names a locale that is not installed. The numeric
// category stays "C", so numbers are read and printed with '.' on every station.
void use_environment_locale();
