#include "Kelpon_v6App.h"

#include <csignal>
#include <cstdio>

#include <wx/frame.h>
#include <wx/image.h>
#include <wx/log.h>
#include <wx/stattext.h>
#include <wx/timer.h>

#include "Kelpon_v6Frame.h"
#include "catalogue.h"
#include "self_update.h"
#include "text_convert.h"

namespace {
// The session ends the station with SIGTERM or SIGHUP at log-out or shutdown, a terminal with
// SIGINT or SIGQUIT; close it the ordinary way so the positioner still saves the catalogue.
void close_on_signal(int) {
    if (wxWindow* top = wxTheApp->GetTopWindow()) top->Close(false);
}

// A station started again right after another closed (by hand, or the launcher after its own
// longer wait) gives the closing one a moment.
constexpr int wait_for_closing_station_ms = 3000;
constexpr int notice_shown_ms = 5000;

// What a second station in the same folder shows before it ends, touching nothing.
class folder_taken_notice : public wxFrame {
public:
    folder_taken_notice() : wxFrame(nullptr, wxID_ANY, "Varnold") {
        SetBackgroundColour(*wxWHITE);
        auto* text = new wxStaticText(this, wxID_ANY, _("Ebben a mappaban mar fut egy allomas."));
        text->SetFont(wxFont(20, wxFONTFAMILY_SWISS, wxFONTSTYLE_NORMAL, wxFONTWEIGHT_NORMAL));
        SetClientSize(text->GetBestSize() + wxSize(48, 48));
        text->Move(24, 24);
        Centre();
        closer.SetOwner(this);
        // Ends with status 0: declining a taken folder is no failure, so the service does not
        // start it again for it.
        Bind(wxEVT_TIMER, [this](wxTimerEvent&) { Destroy(); });
        closer.StartOnce(notice_shown_ms);
    }

private:
    wxTimer closer;
};

// One station per folder: the catalogue is the folder's, and two stations would each save
// over the other's work.
bool take_folder() {
    const catalogue::folder_lock lock =
        catalogue::lock_folder(catalogue::settings_file_name, wait_for_closing_station_ms);
    switch (lock.status) {
        case catalogue::lock_status::held:
            return true;  // lock.fd stays open, and the lock held, until the process ends
        case catalogue::lock_status::taken:
            std::fprintf(stderr, "Another station is running in this folder; this one ends without touching it\n");
            return false;
        case catalogue::lock_status::unavailable:
            break;
    }
    std::fprintf(stderr, "Folder not locked for this station: %s\n", lock.reason.c_str());
    return true;
}
}  // namespace

bool Kelpon_v6App::OnInit() {
    // wxWidgets 3.2 leaves the C locale at "C"; the text conversions need the
    // operator's locale or every non-ASCII shaft name is lost on save.
    use_environment_locale();
    // A full-screen station has no one to click away a log dialog.
    delete wxLog::SetActiveTarget(new wxLogStderr);
    wxInitAllImageHandlers();
    SetSignalHandler(SIGTERM, close_on_signal);
    SetSignalHandler(SIGHUP, close_on_signal);
    SetSignalHandler(SIGINT, close_on_signal);
    SetSignalHandler(SIGQUIT, close_on_signal);
    // A file-size limit below the catalogue must fail the save with "File too large", not
    // end the station and lose the work in memory.
    std::signal(SIGXFSZ, SIG_IGN);
    if (!take_folder()) {
        auto* notice = new folder_taken_notice;
        notice->Show();
        SetTopWindow(notice);
        return true;
    }
    auto* frame = new Kelpon_v6Frame(nullptr, wxID_ANY);
    frame->Show();
    SetTopWindow(frame);
    return true;
}

// An update under the service ends the station with the status that has the service start it again.
int Kelpon_v6App::OnRun() {
    const int status = wxApp::OnRun();
    return self_update::service_restart_requested() ? self_update::restart_status : status;
}

Kelpon_v6App::~Kelpon_v6App() = default;
