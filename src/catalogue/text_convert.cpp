#include "text_convert.h"

#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <vector>

#include <rapidjson/encodings.h>
#include <wx/strconv.h>
#include <wx/wxcrt.h>

namespace {

// Explicit lengths throughout, so embedded NULs neither cut the text short nor end it early.
std::string narrow_with(const wxMBConv& conv, const wxString& text) {
    if (text.empty()) return {};
    const std::wstring wide = text.ToStdWstring();
    const size_t needed = conv.FromWChar(nullptr, 0, wide.data(), wide.size());
    if (needed == wxCONV_FAILED) return {};
    // The C library's conversion writes a terminating NUL beyond the counted length.
    std::string out(needed + 1, '\0');
    if (conv.FromWChar(out.data(), out.size(), wide.data(), wide.size()) == wxCONV_FAILED) return {};
    out.resize(needed);
    return out;
}

wxString widen_with(const wxMBConv& conv, std::string_view text) {
    if (text.empty()) return {};
    const size_t needed = conv.ToWChar(nullptr, 0, text.data(), text.size());
    if (needed == wxCONV_FAILED) return {};
    std::vector<wchar_t> out(needed + 1);
    if (conv.ToWChar(out.data(), out.size(), text.data(), text.size()) == wxCONV_FAILED) return {};
    return wxString(out.data(), needed);
}

// The minimal input stream RapidJSON's decoder needs, over a byte range.
class ByteStream {
public:
    using Ch = char;
    explicit ByteStream(std::string_view bytes) : bytes_(bytes) {}
    bool at_end() const { return position_ == bytes_.size(); }
    Ch Peek() const { return at_end() ? '\0' : bytes_[position_]; }
    Ch Take() { return at_end() ? '\0' : bytes_[position_++]; }
    size_t Tell() const { return position_; }

private:
    std::string_view bytes_;
    size_t position_ = 0;
};

}  // namespace

std::string to_locale_narrow(const wxString& text) { return narrow_with(wxConvLibc, text); }

wxString from_locale_narrow(std::string_view text) { return widen_with(wxConvLibc, text); }

// The toolkit's UTF-8 conversion lets surrogate code points through in both directions, and
// bytes that are not UTF-8 would make the next load of the settings file fail: check both ways.
std::string to_utf8(const wxString& text) {
    std::string bytes = narrow_with(wxConvUTF8, text);
    return is_valid_utf8(bytes) ? bytes : std::string();
}

wxString from_utf8(std::string_view bytes) {
    return is_valid_utf8(bytes) ? widen_with(wxConvUTF8, bytes) : wxString();
}

bool is_valid_utf8(std::string_view bytes) {
    ByteStream stream(bytes);
    unsigned codepoint = 0;
    while (!stream.at_end()) {
        // The decoder rejects overlong forms, surrogates, values beyond U+10FFFF and cut sequences
        // (a cut sequence reads the stream's '\0' as a continuation byte and fails).
        if (!rapidjson::UTF8<char>::Decode(stream, &codepoint)) return false;
    }
    return true;
}

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    return text;
}

// Only a plain decimal number is taken: from_chars alone would also accept "inf" and "nan".
bool is_plain_decimal(std::string_view text) {
    bool digits = false;
    bool separator = false;
    size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c >= '0' && c <= '9') {
            digits = true;
        } else if ((c == '.' || c == ',') && !separator) {
            separator = true;
        } else {
            break;
        }
    }
    if (!digits) return false;
    if (i == text.size()) return true;
    if (text[i] != 'e' && text[i] != 'E') return false;
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    if (i == text.size()) return false;
    for (; i < text.size(); ++i)
        if (text[i] < '0' || text[i] > '9') return false;
    return true;
}

}  // namespace

std::optional<double> read_number(const wxString& text) {
    // Anything outside ASCII cannot be part of a number, so the UTF-8 form is as good as any.
    const std::string bytes = to_utf8(text);
    std::string number(trimmed(bytes));
    if (!is_plain_decimal(number)) return std::nullopt;
    for (char& c : number)
        if (c == ',') c = '.';
    // from_chars takes no leading '+' and never looks at the locale.
    const size_t start = number.front() == '+' ? 1 : 0;
    double value = 0.0;
    const char* const end = number.data() + number.size();
    const auto [stop, error] = std::from_chars(number.data() + start, end, value);
    if (error != std::errc() || stop != end || !std::isfinite(value)) return std::nullopt;
    return value;
}

wxString format_rounded(double value) { return wxString::Format("%.0f", value); }

void use_environment_locale() {
    // wxSetlocale rather than setlocale: it also updates the toolkit's idea of the charset.
    // Numbers typed by the operator are read with the locale's decimal separator,
    // as they were when the toolkit set the locale itself.
    if (wxSetlocale(LC_ALL, "") == nullptr) {
        // The environment names a locale that is not installed: keep names intact anyway.
        if (wxSetlocale(LC_CTYPE, "") == nullptr) wxSetlocale(LC_CTYPE, "C.UTF-8");
    }
}
