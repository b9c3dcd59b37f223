// "Update" on the positioner: the download runs beside the event loop, a failure keeps
// the station up with its reason, a verified release closes it for the restart.
#include <cstdlib>

#include <wx/timer.h>
#include <wx/weakref.h>

#include "fopanel_fixture.h"
#include "local_http_server.h"

namespace {

using fopanel_test::read_bytes;
using fopanel_test::text;
using fopanel_test::write_bytes;
using namespace std::chrono_literals;

class PositionerUpdate : public fopanel_test::positioner {};

std::size_t count(const std::string& haystack, const std::string& needle) {
    std::size_t found = 0;
    for (auto at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) ++found;
    return found;
}

TEST_F(PositionerUpdate, DownloadsBesideTheEventLoopAndRestartsOnlyAVerifiedRelease) {
    open();
    http_test::local_http_server server;
    // About two seconds in 1 KB pieces.
    const std::string release = "#!/bin/sh\ntouch new-program-started\n" + std::string(40 * 1024, '#');
    server.answer("/Varnold", {200, release, http_test::delivery::slow});
    self_update::settings s = panel->update_settings;
    s.url = server.url("/Varnold");
    s.download_dir = dir.file("tmp");
    s.installed_program = dir.file("Varnold");
    s.start_dir = dir.path();
    s.public_key = dir.file("update.pub");
    s.restart_delay_s = 0;
    const std::string keys = "minisign -G -W -p " + s.public_key + " -s " + dir.file("update.key");
    ASSERT_EQ(std::system((keys + " >/dev/null").c_str()), 0);
    write_bytes(s.installed_program, "#!/bin/sh\n");
    panel->update_settings = s;

    wxWeakRef<wxWindow> station(frame);
    int ticks = 0;
    wxTimer ticker;
    ticker.Bind(wxEVT_TIMER, [&](wxTimerEvent&) { ++ticks; });
    ticker.Start(100);
    gui_test::click(panel->Button6);
    EXPECT_TRUE(text(panel->TextCtrl2).rfind("\nUpdate under way") != std::string::npos);
    gui_test::click(panel->Button6);  // a second press while it runs does nothing
    const auto failed = [&] { return !station || text(panel->TextCtrl2).find("Update failed") != std::string::npos; };
    ASSERT_TRUE(gui_test::pump_until(failed, 10s));
    gui_test::pump_until([&] { return !station; }, 300ms);
    ASSERT_TRUE(station) << "a failed update closed the station";
    // The positioner's events went on during the download, and so did the progress lines.
    EXPECT_GE(ticks, 10);
    const std::string log = text(panel->TextCtrl2);
    EXPECT_GE(count(log, "\nUpdate under way: "), 2u) << log;
    EXPECT_EQ(log.substr(log.rfind('\n')), "\nUpdate failed: " + s.url + ".minisig: server answered 404");
    EXPECT_EQ(server.requests(), (std::vector<std::string>{"/Varnold", "/Varnold.minisig"}));
    EXPECT_EQ(read_bytes(s.installed_program), "#!/bin/sh\n");
    EXPECT_FALSE(panel->UpdateRunning());

    // Signed, the same release replaces the program, closes the station and is started.
    write_bytes(dir.file("Varnold.release"), release);
    const std::string sign = "minisign -S -s " + dir.file("update.key") + " -m " + dir.file("Varnold.release");
    ASSERT_EQ(std::system((sign + " </dev/null >/dev/null").c_str()), 0);
    server.answer("/Varnold.minisig", {200, read_bytes(dir.file("Varnold.release.minisig"))});
    gui_test::click(panel->Button6);
    ASSERT_TRUE(gui_test::pump_until([&] { return !station; }, 10s));
    frame = nullptr;
    EXPECT_TRUE(read_bytes(s.installed_program) == release);
    EXPECT_TRUE(gui_test::pump_until([&] { return std::ifstream(dir.file("new-program-started")).good(); }));
}

}  // namespace
