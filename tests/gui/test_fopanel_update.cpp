// "Update" on the positioner: the download runs beside the event loop with one progress line,
// a failure keeps the station up with its reason, a verified release closes it for the restart.
#include "fopanel_fixture.h"
#include "local_http_server.h"

#include <sys/stat.h>

#include <wx/weakref.h>

namespace {

using fopanel_test::read_bytes;
using fopanel_test::text;
using namespace std::chrono_literals;

class PositionerUpdate : public fopanel_test::positioner {};

TEST_F(PositionerUpdate, DownloadsBesideTheEventLoopAndRestartsOnlyAVerifiedRelease) {
    open();
    http_test::local_http_server server;
    // At least two seconds in 1 KB pieces.
    const std::string release = "#!/bin/sh\ntouch new-program-started\n" + std::string(40 * 1024, '#');
    server.answer("/Varnold", {200, release, http_test::delivery::slow});
    self_update::settings s = panel->update_settings;
    s.url = server.url("/Varnold");
    s.download_dir = dir.file("tmp");
    s.installed_program = dir.file("Varnold");
    s.launcher = VARNOLD_LAUNCHER;
    s.public_key = dir.file("update") + ".pub";
    s.progress_period_ms = 100;
    http_test::make_key(dir.file("update"));
    fopanel_test::write_bytes(s.installed_program, "#!/bin/sh\n");
    ::chmod(s.installed_program.c_str(), 0755);
    panel->update_settings = s;

    wxWeakRef<wxWindow> station(frame);
    const auto log_has = [&](const char* line) { return text(panel->TextCtrl2).find(line) != std::string::npos; };
    gui_test::click(panel->Button6);
    EXPECT_TRUE(text(panel->TextCtrl2).rfind("\nUpdate under way") != std::string::npos);
    gui_test::click(panel->Button6);  // a second press while it runs does nothing
    // A progress line shown while the program is still coming: the screen was not held.
    ASSERT_TRUE(gui_test::pump_until([&] { return log_has("\nUpdate under way: "); }, 10s));
    EXPECT_FALSE(log_has("Update failed"));
    ASSERT_TRUE(gui_test::pump_until([&] { return !station || log_has("Update failed"); }, 20s));
    gui_test::pump_for(300ms);
    ASSERT_TRUE(station) << "a failed update closed the station";
    const std::string log = text(panel->TextCtrl2);
    EXPECT_EQ(log.substr(log.rfind('\n')), "\nUpdate failed: " + s.url + ".minisig: server answered 404");
    EXPECT_EQ(log.find("Update under way"), log.rfind("Update under way")) << "one progress line, updated";
    EXPECT_EQ(read_bytes(s.installed_program), "#!/bin/sh\n");
    EXPECT_FALSE(panel->UpdateRunning());

    // Signed, the same release closes the station and is started on trial; as it never comes
    // up (it is no station) it is kept aside, and the program that starts is left in place.
    server.answer("/Varnold.minisig", {200, http_test::signature(release, dir.file("update"))});
    gui_test::click(panel->Button6);
    ASSERT_TRUE(gui_test::pump_until([&] { return !station; }, 20s));
    frame = nullptr;
    EXPECT_TRUE(gui_test::pump_until([&] { return read_bytes(s.installed_program + ".failed") == release; }, 20s));
    EXPECT_TRUE(std::ifstream(dir.file("new-program-started")).good());
    EXPECT_EQ(read_bytes(s.installed_program), "#!/bin/sh\n");
}

}  // namespace
