#pragma once
// Conversions between the toolkit's wide strings, narrow text and numbers.
#include <optional>
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

// The number an actual-value field holds, read whole and the same on every station whatever
// its locale: optional sign, digits with a decimal point or a decimal comma, optional exponent
// ("12.7", "12,7", "-0", "1.5e3"); white space around it is allowed. Anything else (empty text,
// "42abc", "1.234,5", "inf", hexadecimal, a magnitude a double cannot hold) is no number.
std::optional<double> read_number(const wxString& text);

// "%.0f": nearest integer, halfway to even, a small negative value gives "-0".
wxString format_rounded(double value);

// Takes the process locale from the environment (wxWidgets 3.2 no longer does, and the C
// library's text conversions then lose every non-ASCII character). Falls back to C.UTF-8 for
// the character set when the environment names a locale that is not installed. The numeric
// category follows the environment too; read_number and format_rounded do not depend on it.
void use_environment_locale();
