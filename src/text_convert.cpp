#include "text_convert.h"

#include <clocale>
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

double parse_leading_number(const wxString& text) {
    const std::string narrow = to_locale_narrow(text);
    return std::strtod(narrow.c_str(), nullptr);
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
