// Entry point of the GUI tests: the emulated board first (before anything calls
// libusb_init), then the toolkit, then the tests.
#include <cstdio>
#include <cstring>

#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/image.h>
#include <wx/init.h>
#include <wx/log.h>

#include "emulated_board.h"
#include "text_convert.h"

namespace {
void fail_on_assert(const wxString& file, int line, const wxString& func, const wxString& cond,
                    const wxString& msg) {
    ADD_FAILURE_AT(file.utf8_str(), line)
        << "wx assert in " << func.utf8_str() << ": " << cond.utf8_str() << " " << msg.utf8_str();
}

bool listing_only(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--gtest_list_tests") == 0) return true;
    return false;
}
}  // namespace

int main(int argc, char** argv) {
    // InitGoogleTest strips the gtest flags, so look for the listing request first.
    const bool listing = listing_only(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    if (listing) return RUN_ALL_TESTS();

    if (!test_support::create_test_board()) return 1;
    use_environment_locale();

    wxApp::SetInstance(new wxApp);
    if (!wxEntryStart(argc, argv)) {
        std::fprintf(stderr, "GUI tests need a display: wxEntryStart failed (DISPLAY=%s)\n",
                     std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "unset");
        return 1;
    }
    wxSetAssertHandler(fail_on_assert);
    delete wxLog::SetActiveTarget(new wxLogStderr);
    wxTheApp->CallOnInit();
    wxInitAllImageHandlers();

    const int result = RUN_ALL_TESTS();

    wxTheApp->OnExit();
    wxEntryCleanup();
    test_support::destroy_test_board();
    return result;
}
