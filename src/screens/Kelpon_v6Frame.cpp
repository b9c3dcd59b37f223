#include "Kelpon_v6Frame.h"

#include <cstdio>

#include "FoPanel.h"
#include "IO_Monitor_Panel.h"
#include "a_records.h"
#include "a_usb.h"
#include "plant_delivery.h"
#include "self_update.h"
#include "station_service.h"

wxBEGIN_EVENT_TABLE(Kelpon_v6Frame, wxFrame)
wxEND_EVENT_TABLE()

Kelpon_v6Frame::Kelpon_v6Frame(wxWindow* parent, wxWindowID id) {
    Create(parent, id, wxEmptyString, wxDefaultPosition, wxDefaultSize, wxDEFAULT_FRAME_STYLE, "id");
    SetClientSize(wxSize(1024, 600));
    SetBackgroundColour(wxColour(255, 255, 255, 255));
    panel_sizer = new wxBoxSizer(wxHORIZONTAL);
    SetSizer(panel_sizer);

    usb = new a_usb(this);
    usb->log_line = [this](const std::string& line) { LogMessage(wxString(line)); };
    usb->start_connection_thread();

    record_file = new a_records("Records.db");
    current_panel = new FoPanel(this, wxID_ANY, wxDefaultPosition, wxDefaultSize);
    // Opened once the positioner's log box can show what went wrong with the file.
    record_file->log_line = [this](const std::string& line) { LogMessage(wxString::FromUTF8(line)); };
    record_file->open();
    StartPlantDelivery();
    panel_sizer->Add(current_panel, 1, wxALL | wxEXPAND, 0);
    panel_sizer->Layout();
    current_panel->Bind(wxEVT_PAINT, &Kelpon_v6Frame::OnFirstPaint, this);
    if (const long period = station_service::watchdog_period_ms(); period > 0) {
        watchdog_tick.SetOwner(this);
        Bind(wxEVT_TIMER, [](wxTimerEvent&) { station_service::alive(); }, watchdog_tick.GetId());
        watchdog_tick.Start(static_cast<int>(period));
    }
    ShowFullScreen(true, wxFULLSCREEN_ALL);
}

void Kelpon_v6Frame::OnFirstPaint(wxPaintEvent& event) {
    event.Skip();
    if (painted) return;
    painted = true;
    CallAfter(&Kelpon_v6Frame::Started);
}

void Kelpon_v6Frame::Started() {
    // The launcher has written its own note to the session log already.
    if (const std::string note = self_update::take_launcher_note(); !note.empty())
        LogMessage(wxString::FromUTF8(note));
    if (const std::string line = self_update::confirm_trial(); !line.empty()) {
        std::fprintf(stderr, "%s\n", line.c_str());  // also for the session log
        LogMessage(wxString::FromUTF8(line));
    }
    station_service::ready();
}

Kelpon_v6Frame::~Kelpon_v6Frame() {
    closing = true;
    // Whatever it has not delivered stays in the journal for the next start.
    if (plant_delivery != nullptr) plant_delivery->stop();
    watchdog_tick.Stop();
    // The IO monitor switches the outputs off while the link is still there.
    for (wxWindow* panel : retired_panels)
        if (auto* monitor = dynamic_cast<IO_Monitor_Panel*>(panel)) monitor->Leave();
    if (auto* monitor = dynamic_cast<IO_Monitor_Panel*>(current_panel)) monitor->Leave();
    delete usb;
    usb = nullptr;
    // The panels go before the record file closes: the positioner records its shutdown save.
    DestroyChildren();
    delete record_file;
    record_file = nullptr;
    delete plant_delivery;
    plant_delivery = nullptr;
}

void Kelpon_v6Frame::StartPlantDelivery() {
    // Its lines come from the delivery thread: shown on the GUI thread, and kept for a service's log.
    const auto log = [this](const std::string& line) {
        std::fprintf(stderr, "%s\n", line.c_str());
        CallAfter([this, line] { LogMessage(wxString::FromUTF8(line)); });
    };
    const plant::config_result settings = plant::read_config(plant::config_path());
    if (!settings.error.empty()) log("No delivery to the plant database: " + settings.error);
    if (!settings.plant) return;
    plant_delivery = new plant::delivery(*settings.plant, record_file->path(), log);
    record_file->on_written = [delivery = plant_delivery] { delivery->wake(); };
    plant_delivery->start();
    log("Records are delivered to the plant database as station " + settings.plant->station);
}

void Kelpon_v6Frame::DestroyRetiredPanels() {
    for (wxWindow* panel : retired_panels)
        panel->Destroy();
    retired_panels.clear();
}

void Kelpon_v6Frame::SwitchPanel(int which) {
    // A panel retired by an earlier switch must be gone before a new positioner
    // loads the catalogue that its destructor saves.
    DestroyRetiredPanels();

    wxPanel* old_panel = current_panel;
    old_panel->Hide();
    panel_sizer->Detach(0);
    // The switch is usually requested from a handler of the old panel itself, so
    // it is destroyed once that handler has returned.
    retired_panels.push_back(old_panel);
    CallAfter(&Kelpon_v6Frame::DestroyRetiredPanels);

    if (which == 1)
        current_panel = new IO_Monitor_Panel(this, wxID_ANY, wxDefaultPosition, wxDefaultSize);
    else
        current_panel = new FoPanel(this, wxID_ANY, wxDefaultPosition, wxDefaultSize);
    current_panel->Show();
    panel_sizer->Add(current_panel, 1, wxALL | wxEXPAND, 0);
    panel_sizer->Layout();
}

void Kelpon_v6Frame::LogMessage(wxString text) {
    if (closing) return;
    auto* positioner = dynamic_cast<FoPanel*>(current_panel);
    if (positioner == nullptr) return;
    positioner->LogBox()->AppendText(text + "\n");
}
