#include "Kelpon_v6App.h"

#include <wx/image.h>
#include <wx/log.h>

#include "Kelpon_v6Frame.h"
#include "text_convert.h"

bool Kelpon_v6App::OnInit() {
    // wxWidgets 3.2 leaves the C locale at "C"; the text conversions need the
    // operator's locale or every non-ASCII shaft name is lost on save.
    use_environment_locale();
    // A full-screen station has no one to click away a log dialog.
    delete wxLog::SetActiveTarget(new wxLogStderr);
    wxInitAllImageHandlers();
    auto* frame = new Kelpon_v6Frame(nullptr, wxID_ANY);
    frame->Show();
    SetTopWindow(frame);
    return true;
}

Kelpon_v6App::~Kelpon_v6App() = default;
