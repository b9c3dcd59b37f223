// The station exactly as Varnold starts it, then switched to the IO monitor. The monitor's
// button is hidden in the delivered configuration, so this is how its screenshot is taken.
#include <wx/app.h>

#include "Kelpon_v6App.h"
#include "Kelpon_v6Frame.h"

namespace {

class io_monitor_app : public Kelpon_v6App {
public:
    bool OnInit() override {
        if (!Kelpon_v6App::OnInit()) return false;
        auto* frame = dynamic_cast<Kelpon_v6Frame*>(GetTopWindow());
        if (frame == nullptr) return false;
        // Once the start-up events have run, as a click on the hidden button would.
        CallAfter([frame] { frame->SwitchPanel(1); });
        return true;
    }
};

}  // namespace

wxIMPLEMENT_APP(io_monitor_app);
