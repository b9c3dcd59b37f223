#include "text_convert.h"

#include <clocale>
#include <cstdlib>
#include <vector>

#include <wx/strconv.h>
#include <wx/wxcrt.h>

namespace {

// Explicit lengths throughout, so embedded NULs neither cut the text short nor end it early.
std::string narrow_with(const wxMBConv& conv, const wxString& text) {
    if (text.empty()) return {};
    const std::wstring wide = text.ToStdWstring();
    const size_t needed = conv.FromWChar(nullptr, 0, wide.data(), wide.size());
    if (needed == wxCONV_FAILED) return {};
    std::string out(needed, '\0');
    if (conv.FromWChar(out.data(), out.size(), wide.data(), wide.size()) == wxCONV_FAILED) return {};
    return out;
}

wxString widen_with(const wxMBConv& conv, std::string_view text) {
    if (text.empty()) return {};
    const size_t needed = conv.ToWChar(nullptr, 0, text.data(), text.size());
    if (needed == wxCONV_FAILED) return {};
    std::vector<wchar_t> out(needed);
    if (conv.ToWChar(out.data(), out.size(), text.data(), text.size()) == wxCONV_FAILED) return {};
    return wxString(out.data(), out.size());
}

}  // namespace

std::string to_locale_narrow(const wxString& text) { return narrow_with(wxConvLibc, text); }

wxString from_locale_narrow(std::string_view text) { return widen_with(wxConvLibc, text); }

std::string to_utf8(const wxString& text) { return narrow_with(wxConvUTF8, text); }

wxString from_utf8(std::string_view bytes) { return widen_with(wxConvUTF8, bytes); }

bool is_valid_utf8(std::string_view bytes) {
    return bytes.empty() || wxConvUTF8.ToWChar(nullptr, 0, bytes.data(), bytes.size()) != wxCONV_FAILED;
}

double parse_leading_number(const wxString& text) {
    const std::string narrow = to_locale_narrow(text);
    return std::strtod(narrow.c_str(), nullptr);
}

wxString format_rounded(double value) { return wxString::Format("%.0f", value); }

void use_environment_locale() {
    // wxSetlocale rather than setlocale: it also updates the toolkit's idea of the charset.
    if (wxSetlocale(LC_ALL, "") == nullptr) {
        // The environment names a locale that is not installed: keep names intact anyway.
        if (wxSetlocale(LC_CTYPE, "") == nullptr) wxSetlocale(LC_CTYPE, "C.UTF-8");
    }
    wxSetlocale(LC_NUMERIC, "C");
}
