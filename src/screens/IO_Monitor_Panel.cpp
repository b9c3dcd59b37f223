#include "IO_Monitor_Panel.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include <wx/font.h>
#include <wx/intl.h>
#include <wx/tooltip.h>

#include "Kelpon_v6Frame.h"
#include "a_usb.h"
#include "usb_protocol.h"

// Allocated once, in this order, during static initialisation.
const wxWindowID IO_Monitor_Panel::ID_STATICTEXT1 = wxNewId();
const wxWindowID IO_Monitor_Panel::ID_CHECKBOX1 = wxNewId();
const wxWindowID IO_Monitor_Panel::ID_BUTTON1 = wxNewId();
const wxWindowID IO_Monitor_Panel::ID_STATICTEXT2 = wxNewId();
const wxWindowID IO_Monitor_Panel::ID_STATICTEXT3 = wxNewId();
const wxWindowID IO_Monitor_Panel::ID_STATICTEXT4 = wxNewId();
const wxWindowID IO_Monitor_Panel::ID_BUTTON2 = wxNewId();
const wxWindowID IO_Monitor_Panel::ID_BUTTON3 = wxNewId();
const wxWindowID IO_Monitor_Panel::ID_SLIDER1 = wxNewId();
const wxWindowID IO_Monitor_Panel::ID_TEXTCTRL1 = wxNewId();

wxBEGIN_EVENT_TABLE(IO_Monitor_Panel, wxPanel)
wxEND_EVENT_TABLE()

namespace {

wxFont swiss_font(int points, const wxString& face) {
    return wxFont(points, wxFONTFAMILY_SWISS, wxFONTSTYLE_NORMAL, wxFONTWEIGHT_NORMAL, false, face,
                  wxFONTENCODING_DEFAULT);
}

// The face the input buttons were drawn for, then its metric twin, then DejaVu's
// condensed face (fonts-dejavu-extra): the default sans is too wide for "Input 12 : 255" in
// the grid, and the toolkit tries the families of the list in order.
const wxString narrow_face = "Arial Narrow,Liberation Sans Narrow,DejaVu Sans Condensed";

// Sets an enlarged font and a minimum size that shows `widest` in it, never below the
// size the control was designed with. GTK applies a new font to the control's own size
// request only when it next styles the widget, too late for the first layout, so the
// size is the text's extent in the new font plus the room the control takes around its
// text, measured now in the old font.
void set_font_fitting(wxWindow* control, const wxFont& font, const wxString& widest) {
    const wxString shown = control->GetLabel();
    control->SetLabel(widest);
    control->InvalidateBestSize();
    const wxSize surround = control->GetBestSize() - control->GetTextExtent(widest);
    control->SetLabel(shown);
    control->SetFont(font);
    wxSize fitting = control->GetTextExtent(widest) + surround;
    fitting.IncTo(control->GetMinSize());
    control->SetMinSize(fitting);
}

void set_font_fitting(wxWindow* control, const wxFont& font) {
    set_font_fitting(control, font, control->GetLabel());
}

wxString from_ascii(const std::string& text) { return wxString::FromUTF8(text.c_str()); }

// Setting a label makes GTK measure and lay the control out again even when the text is
// the same, which cost about 4 ms of every 10 ms refresh for the 14 read-outs: only a
// changed text is set.
void show_text(wxWindow* control, const std::string& text) {
    const wxString value = from_ascii(text);
    if (control->GetLabel() != value) control->SetLabel(value);
}

wxFlexGridSizer* single_column(int growable_row) {
    auto* sizer = new wxFlexGridSizer(0, 1, 0, 0);
    sizer->AddGrowableCol(0);
    sizer->AddGrowableRow(static_cast<size_t>(growable_row));
    return sizer;
}

// Widest texts the read-outs show: inputs up to 255, analog inputs below 10 V (twice
// the board's 5 V range).
const wxString widest_input_label = "Input 12 : 255";
const wxString widest_an0_label = "AN0: 8.88 V 88.88 Bar";
const wxString widest_an1_label = "AN1 8.88 V";

// How long leaving keeps trying to switch the outputs off while the link is up: a board
// that stops answering gets one write timeout and the link's probe to come back.
constexpr auto leave_retry_time = std::chrono::milliseconds(2500);

// The frame of zeros, tried again one refresh apart until it goes through, the link is
// down or leave_retry_time has passed. Returns how the last try went.
exchange_outcome switch_outputs_off(a_usb& link) {
    const io_monitor::output_frame off{};
    const auto deadline = std::chrono::steady_clock::now() + leave_retry_time;
    for (;;) {
        link.write_outputs(off.data());
        const exchange_outcome outcome = link.last_exchange();
        if (outcome.ok() || !link.connected || std::chrono::steady_clock::now() >= deadline) return outcome;
        std::this_thread::sleep_for(std::chrono::milliseconds(IO_Monitor_Panel::refresh_ms));
    }
}

constexpr int centred = wxALIGN_CENTER_VERTICAL | wxALIGN_CENTER_HORIZONTAL;
// The grid cells are filled (wxEXPAND); centring on top of that changes nothing and
// wx 3.2 asserts on the combination.
constexpr int grid_cell = wxEXPAND | wxALL;

}  // namespace

IO_Monitor_PanelRenderTimer::IO_Monitor_PanelRenderTimer(IO_Monitor_Panel* owner_panel)
    : panel(owner_panel) {
    SetOwner(this, -1);
}

IO_Monitor_PanelRenderTimer::~IO_Monitor_PanelRenderTimer() = default;

void IO_Monitor_PanelRenderTimer::Notify() { panel->Render(); }

IO_Monitor_Panel::IO_Monitor_Panel(wxWindow* parent, wxWindowID id, const wxPoint&, const wxSize&) {
    Create(parent, id, wxDefaultPosition, wxSize(1024, 600), wxTAB_TRAVERSAL, "id");

    auto* outer = single_column(1);
    outer->Add(CreateTopBar(), 1, wxALL | wxEXPAND, 5);

    auto* body = new wxBoxSizer(wxHORIZONTAL);
    wxGridSizer* inputs_grid = nullptr;
    StaticText2 = AddGridColumn(body, ID_STATICTEXT2, _("Inputs"), "ID_STATICTEXT2", inputs_grid);
    wxGridSizer* outputs_grid = nullptr;
    StaticText3 = AddGridColumn(body, ID_STATICTEXT3, _("Outputs"), "ID_STATICTEXT3", outputs_grid);

    body->Add(CreateAnalogColumn(), 1, wxALL | wxEXPAND, 5);
    outer->Add(body, 1, wxALL | wxEXPAND, 5);

    SetSizer(outer);
    Layout();
    Connect(ID_BUTTON1, wxEVT_BUTTON, wxCommandEventHandler(IO_Monitor_Panel::OnButton1Click));

    CreateInputButtons(inputs_grid);
    CreateOutputToggles(outputs_grid);
    Layout();

    // Only the station's frame carries a link; any other parent leaves the screen offline.
    if (auto* frame = dynamic_cast<Kelpon_v6Frame*>(parent)) usb = frame->usb;

    timer = new IO_Monitor_PanelRenderTimer(this);
    timer->Start(refresh_ms, wxTIMER_CONTINUOUS);
    stopper.restart();
    TextCtrl1->AppendText(_("hello timer restart\n"));
}

// A column of the body: its heading, a two-column grid for buttons, a stretch spacer.
wxStaticText* IO_Monitor_Panel::AddGridColumn(wxSizer* body, wxWindowID heading_id, const wxString& heading,
                                              const char* heading_name, wxGridSizer*& grid) {
    auto* column = single_column(1);
    auto* text = new wxStaticText(this, heading_id, heading, wxDefaultPosition, wxDefaultSize, 0, heading_name);
    set_font_fitting(text, swiss_font(16, "Sans"));
    column->Add(text, 1, wxALL | centred, 5);
    grid = new wxGridSizer(0, 2, 0, 0);
    column->Add(grid, 1, wxALL | wxEXPAND, 5);
    column->AddStretchSpacer(1);
    body->Add(column, 1, wxALL | wxEXPAND, 5);
    return text;
}

wxSizer* IO_Monitor_Panel::CreateTopBar() {
    auto* bar = new wxBoxSizer(wxHORIZONTAL);
    StaticText1 = new wxStaticText(this, ID_STATICTEXT1, _("IO Monitor"), wxDefaultPosition, wxSize(116, 20),
                                   0, "ID_STATICTEXT1");
    set_font_fitting(StaticText1, swiss_font(16, "Sans"));
    bar->Add(StaticText1, 1, wxSHAPED | wxALL | centred, 5);
    CheckBox1 = new wxCheckBox(this, ID_CHECKBOX1, _("USB Connected"), wxDefaultPosition, wxSize(137, 39), 0,
                               wxDefaultValidator, "ID_CHECKBOX1");
    CheckBox1->SetValue(false);
    bar->Add(CheckBox1, 1, wxALL | centred, 5);
    Button1 = new wxButton(this, ID_BUTTON1, _("Home"), wxDefaultPosition, wxSize(122, 46), 0,
                           wxDefaultValidator, "ID_BUTTON1");
    bar->Add(Button1, 1, wxALL | centred, 5);
    return bar;
}

wxSizer* IO_Monitor_Panel::CreateAnalogColumn() {
    auto* column = single_column(1);
    StaticText4 = new wxStaticText(this, ID_STATICTEXT4, _("Analog"), wxDefaultPosition, wxDefaultSize, 0,
                                   "ID_STATICTEXT4");
    set_font_fitting(StaticText4, swiss_font(16, "Sans"));
    column->Add(StaticText4, 1, wxALL | centred, 5);

    auto* stack = single_column(2);
    Button2 = new wxButton(this, ID_BUTTON2, _("Label"), wxDefaultPosition, wxDefaultSize, 0,
                           wxDefaultValidator, "ID_BUTTON2");
    set_font_fitting(Button2, swiss_font(20, "Sans"), widest_an0_label);
    stack->Add(Button2, 1, wxALL | wxEXPAND, 5);
    Button3 = new wxButton(this, ID_BUTTON3, _("Label"), wxDefaultPosition, wxDefaultSize, 0,
                           wxDefaultValidator, "ID_BUTTON3");
    set_font_fitting(Button3, swiss_font(20, "Sans"), widest_an1_label);
    stack->Add(Button3, 1, wxALL | wxEXPAND, 5);
    stack->AddStretchSpacer(1);
    Slider1 = new wxSlider(this, ID_SLIDER1, 0, 0, io_monitor::pwm_steps, wxDefaultPosition, wxDefaultSize,
                           wxSL_LABELS, wxDefaultValidator, "ID_SLIDER1");
    Slider1->SetToolTip(_("PWM"));
    stack->Add(Slider1, 1, wxALL | wxEXPAND, 5);
    TextCtrl1 = new wxTextCtrl(this, ID_TEXTCTRL1, _("Text"), wxDefaultPosition, wxSize(197, 167),
                               wxTE_MULTILINE, wxDefaultValidator, "ID_TEXTCTRL1");
    stack->Add(TextCtrl1, 1, wxALL | wxEXPAND, 5);
    column->Add(stack, 1, wxALL | wxEXPAND, 5);
    return column;
}

void IO_Monitor_Panel::CreateInputButtons(wxSizer* grid) {
    const wxFont input_font = swiss_font(16, narrow_face);
    for (auto& button : InputButtons) {
        button = new wxButton(this, wxNewId(), _("IN - 01 - 0"), wxDefaultPosition, wxSize(120, 50),
                              wxBORDER_STATIC, wxDefaultValidator, "ID_BUTTON1");
        set_font_fitting(button, input_font, widest_input_label);
        grid->Add(button, 1, grid_cell, 5);
    }
}

void IO_Monitor_Panel::CreateOutputToggles(wxSizer* grid) {
    const wxFont input_font = swiss_font(16, narrow_face);
    for (std::size_t i = 0; i < OutputToggles.size(); ++i) {
        OutputToggles[i] = new wxToggleButton(this, wxNewId(), wxString::Format("Output %d", int(i + 1)),
                                              wxDefaultPosition, wxDefaultSize, 0, wxDefaultValidator,
                                              "ID_TOGGLEBUTTON1");
        set_font_fitting(OutputToggles[i], input_font);
        grid->Add(OutputToggles[i], 1, grid_cell, 5);
    }
}

IO_Monitor_Panel::~IO_Monitor_Panel() {
    Leave();
    delete timer;
    timer = nullptr;
}

void IO_Monitor_Panel::Leave() {
    if (timer != nullptr) timer->Stop();
    if (usb == nullptr) return;
    const exchange_outcome outcome = switch_outputs_off(*usb);
    // No screen is left to show it.
    if (!outcome.ok())
        std::fprintf(stderr, "IO monitor: the outputs could not be switched off on leaving: %s\n",
                     outcome.reason().c_str());
    // The link may go before this panel does (the frame destroys it first).
    usb = nullptr;
}

void IO_Monitor_Panel::OnButton1Click(wxCommandEvent&) {
    Leave();
    // The frame destroys this panel only after this handler has returned.
    if (auto* frame = dynamic_cast<Kelpon_v6Frame*>(GetParent())) frame->SwitchPanel(0);
}

void IO_Monitor_Panel::Report(io_monitor::failure_run& run, const exchange_outcome& outcome) {
    const std::string line = run.update(outcome.sent || outcome.held_back, outcome.ok(), outcome.reason());
    if (!line.empty()) TextCtrl1->AppendText(from_ascii(line) + "\n");
}

io_monitor::output_frame IO_Monitor_Panel::PressedOutputs() const {
    std::array<bool, io_monitor::output_count> pressed{};
    for (std::size_t k = 0; k < pressed.size(); ++k) pressed[k] = OutputToggles[k]->GetValue();
    return io_monitor::build_output_frame(pressed);
}

void IO_Monitor_Panel::Render() {
    if (usb == nullptr) return;
    CheckBox1->SetValue(usb->connected);
    usb->read_io_status();
    const exchange_outcome read = usb->last_exchange();
    Report(status_failures, read);

    // Shown in every case: only a whole reply replaces the block, so after a failed read
    // it holds the last values received.
    const io_monitor::status_values status = io_monitor::read_status(usb->io_status);
    for (std::size_t i = 0; i < InputButtons.size(); ++i)
        show_text(InputButtons[i], io_monitor::input_label(i + 1, status.inputs[i]));
    io_monitor::output_frame outputs = PressedOutputs();
    show_text(Button2, io_monitor::an0_label(status.analog[0]));
    show_text(Button3, io_monitor::an1_label(status.analog[1]));

    // Output 9 follows the PWM, whatever its toggle says.
    pwm_level = io_monitor::pwm_level_from_slider(Slider1->GetValue());
    outputs[io_monitor::pwm_output_index] = io_monitor::pwm_step(pwm_phase, pwm_level) ? 1 : 0;
    if (!read.ok()) {
        SwitchOffWhileBlind();
        return;
    }
    outputs_off = false;
    usb->write_outputs(outputs.data());
    Report(output_failures, usb->last_exchange());
}

void IO_Monitor_Panel::SwitchOffWhileBlind() {
    // Without the board's status nothing stays switched on: zeros, every refresh until
    // they go through.
    if (outputs_off) return;
    const io_monitor::output_frame off{};
    usb->write_outputs(off.data());
    const exchange_outcome written = usb->last_exchange();
    Report(output_failures, written);
    if (!written.ok()) return;
    outputs_off = true;
    TextCtrl1->AppendText(from_ascii(io_monitor::outputs_off_line) + "\n");
}
