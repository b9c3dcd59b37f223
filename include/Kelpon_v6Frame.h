#pragma once
#include <wx/frame.h>
#include <wx/panel.h>
#include <wx/sizer.h>
#include <wx/string.h>
#include <wx/timer.h>

#include <vector>

class a_records;
class a_usb;
namespace plant {
class delivery;
}

// The one full-screen window: owns the USB link and shows one panel at a time.
class Kelpon_v6Frame : public wxFrame {
public:
    Kelpon_v6Frame(wxWindow* parent, wxWindowID id = wxID_ANY);
    ~Kelpon_v6Frame() override;

    // 1 shows the IO monitor, anything else a new positioner. May be called from
    // a handler of the panel it replaces: the old panel is destroyed later.
    void SwitchPanel(int which);
    // Appends text and "\n" to the positioner's log box; dropped while closing
    // or while the IO monitor is shown.
    void LogMessage(wxString text);

    bool closing = false;
    a_usb* usb = nullptr;
    // The production record file, kept across panel switches.
    a_records* record_file = nullptr;
    // Delivers the record file to the plant's database when the station has a plant file.
    plant::delivery* plant_delivery = nullptr;
    wxPanel* current_panel = nullptr;
    wxBoxSizer* panel_sizer = nullptr;

private:
    void DestroyRetiredPanels();
    void StartPlantDelivery();
    // Once the first frame is painted: a new program on trial becomes the installed one,
    // and the service learns that the station is up.
    void OnFirstPaint(wxPaintEvent& event);
    void Started();
    bool painted = false;
    // Fed from the GUI thread, so a screen that hangs stops feeding it.
    wxTimer watchdog_tick;
    std::vector<wxWindow*> retired_panels;  // replaced panels awaiting destruction

    wxDECLARE_EVENT_TABLE();
};
