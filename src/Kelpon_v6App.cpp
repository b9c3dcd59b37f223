#include "Kelpon_v6App.h"

#include <csignal>

#include <wx/image.h>
#include <wx/log.h>

#include "Kelpon_v6Frame.h"
#include "text_convert.h"

namespace {
// The session ends the station with SIGTERM or SIGHUP at log-out or shutdown; close it
// the ordinary way so the positioner still saves the operator's catalogue.
void close_on_signal(int) {
    if (wxWindow* top = wxTheApp->GetTopWindow()) top->Close(false);
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
    auto* frame = new Kelpon_v6Frame(nullptr, wxID_ANY);
    frame->Show();
    SetTopWindow(frame);
    return true;
}

Kelpon_v6App::~Kelpon_v6App() = default;
