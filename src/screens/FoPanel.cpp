#include "FoPanel.h"

#include <cstdio>
#include <limits>
#include <optional>

#include <wx/font.h>
#include <wx/image.h>
#include <wx/intl.h>
#include <wx/log.h>

#include "Kelpon_v6Frame.h"
#include "a_usb.h"
#include "build_stamp.h"
#include "choice_items.h"
#include "self_update.h"
#include "text_convert.h"

// Allocated in control-table order during static initialisation.
const wxWindowID FoPanel::ID_STATICTEXT1 = wxNewId();
const wxWindowID FoPanel::ID_TEXTCTRL2 = wxNewId();
const wxWindowID FoPanel::ID_CHECKBOX1 = wxNewId();
const wxWindowID FoPanel::ID_BUTTON1 = wxNewId();
const wxWindowID FoPanel::ID_BUTTON6 = wxNewId();
const wxWindowID FoPanel::ID_BUTTON2 = wxNewId();
const wxWindowID FoPanel::ID_BUTTON3 = wxNewId();
const wxWindowID FoPanel::ID_BUTTON4 = wxNewId();
const wxWindowID FoPanel::ID_TEXTCTRL1 = wxNewId();
const wxWindowID FoPanel::ID_TEXTCTRL3 = wxNewId();
const wxWindowID FoPanel::ID_TEXTCTRL4 = wxNewId();
const wxWindowID FoPanel::ID_TEXTCTRL5 = wxNewId();
const wxWindowID FoPanel::ID_STATICTEXT2 = wxNewId();
const wxWindowID FoPanel::ID_STATICTEXT3 = wxNewId();
const wxWindowID FoPanel::ID_STATICTEXT4 = wxNewId();
const wxWindowID FoPanel::ID_STATICTEXT5 = wxNewId();
const wxWindowID FoPanel::ID_TEXTCTRL6 = wxNewId();
const wxWindowID FoPanel::ID_CHOICE1 = wxNewId();
const wxWindowID FoPanel::ID_STATICTEXT6 = wxNewId();
const wxWindowID FoPanel::ID_BUTTON5 = wxNewId();
const wxWindowID FoPanel::ID_STATICTEXT7 = wxNewId();
const wxWindowID FoPanel::ID_TEXTCTRL7 = wxNewId();
const wxWindowID FoPanel::ID_TEXTCTRL8 = wxNewId();
const wxWindowID FoPanel::ID_TEXTCTRL9 = wxNewId();
const wxWindowID FoPanel::ID_TEXTCTRL10 = wxNewId();
const wxWindowID FoPanel::ID_STATICTEXT8 = wxNewId();
const wxWindowID FoPanel::ID_STATICTEXT9 = wxNewId();
const wxWindowID FoPanel::ID_BUTTON7 = wxNewId();
const wxWindowID FoPanel::ID_BITMAPBUTTON1 = wxNewId();
const wxWindowID FoPanel::ID_BITMAPBUTTON2 = wxNewId();
const wxWindowID FoPanel::ID_BITMAPBUTTON3 = wxNewId();
const wxWindowID FoPanel::ID_BITMAPBUTTON4 = wxNewId();
const wxWindowID FoPanel::ID_TEXTCTRL11 = wxNewId();
const wxWindowID FoPanel::ID_BUTTON8 = wxNewId();
const wxWindowID FoPanel::ID_BITMAPBUTTON5 = wxNewId();
const wxWindowID FoPanel::ID_BUTTON9 = wxNewId();
const std::string FoPanel::build_stamp = VARNOLD_BUILD_STAMP;

wxBEGIN_EVENT_TABLE(FoPanel, wxPanel)
wxEND_EVENT_TABLE()

namespace {

wxFont sans_font(int points) {
    return wxFont(points, wxFONTFAMILY_SWISS, wxFONTSTYLE_NORMAL, wxFONTWEIGHT_NORMAL, false,
                  "Sans", wxFONTENCODING_DEFAULT);
}

// Images are data beside the program, read from the working directory. A missing or
// broken file gives an empty bitmap rather than a log dialog.
wxBitmap load_image(const char* file) {
    wxLogNull no_dialog;
    wxImage image;
    if (!image.LoadFile(file, wxBITMAP_TYPE_ANY, -1)) return wxBitmap();
    return wxBitmap(image, -1);
}

// The one way an indicator changes its picture.
void show_bitmap(wxBitmapButton* button, const wxBitmap& bitmap, bool fit) {
    button->SetBitmap(bitmap);
    button->SetBitmapPosition(wxLEFT);
    if (fit) button->Fit();
}

// What indicator_shown holds for a row that shows it has no reading.
const char* const no_reading_tile = "";
constexpr std::size_t overall_indicator = 4;

using readout::link_bus;

wxString ascii(const std::string& text) { return wxString::FromUTF8(text.c_str()); }

records::type_values record_of(const Type& type) {
    return {type.ID, to_utf8(type.name), {type.X, type.Y, type.alpha, type.beta}};
}

// Empties a field without sending a change event when it is empty already.
void clear_field(wxTextCtrl* field) {
    if (!field->IsEmpty()) field->Clear();
}

}  // namespace

FoPanelRenderTimer::~FoPanelRenderTimer() = default;

void FoPanelRenderTimer::Notify() { panel->Render(); }

FoPanel::FoPanel(wxWindow* parent, wxWindowID, const wxPoint&, const wxSize&) {
    Create(parent, wxID_ANY, wxDefaultPosition, wxSize(1024, 600), wxTAB_TRAVERSAL, "wxID_ANY");
    SetBackgroundColour(wxColour(255, 230, 172, 255));
    SetFont(sans_font(20));
    CreateControls();
    BindHandlers();
    // Nothing has been read from the board yet.
    for (int row = 0; row < 4; ++row)
        if (readout::from_board(row)) ShowNoReading(row);

    // Only the station's frame carries a link; any other parent leaves the panel offline.
    if (auto* frame = dynamic_cast<Kelpon_v6Frame*>(parent)) {
        usb = frame->usb;
        record_file = frame->record_file;
    }

    timer = new FoPanelRenderTimer(this);
    timer->Start(200, wxTIMER_CONTINUOUS);

    CheckBox1->Show();
    TextCtrl2->Show();

    LoadSettings();
    FillTypeChoice();
    Choice1->SetSelection(types.empty() ? wxNOT_FOUND : 0);
    const Type* first = SelectedRecord();
    TextCtrl11->SetValue(first != nullptr ? first->name : wxString());
    ShowSelectedType();

    AppendLog(wxString::Format("Created: %s", from_locale_narrow(build_stamp)));
}

FoPanel::~FoPanel() {
    // A download still running is stopped; its results, queued for this panel, go with it.
    update_cancel = true;
    if (update_worker.joinable()) update_worker.join();
    if (timer != nullptr) {
        timer->Stop();
        delete timer;
        timer = nullptr;
    }
    // Closed in position: the shaft is no longer watched, so its time in position ends here.
    if (all_ok) RecordPositioning(records::kind::left, "positioner closed");
    SaveSettings();
}

void FoPanel::CreateControls() {
    // Short labels at the panel's 20 pt font would be drawn clipped with their default
    // size, so they get a size that fits their text.
    const auto fitting = [this](const wxString& label) {
        return GetTextExtent(label) + wxSize(4, 4);
    };

    StaticText1 = new wxStaticText(this, ID_STATICTEXT1, wxEmptyString, wxPoint(1024, 600),
                                   wxDefaultSize, 0, "ID_STATICTEXT1");
    TextCtrl2 = new wxTextCtrl(this, ID_TEXTCTRL2, wxEmptyString, wxPoint(760, 272), wxSize(240, 248),
                               wxTE_MULTILINE | wxTE_READONLY, wxDefaultValidator, "ID_TEXTCTRL2");
    TextCtrl2->SetFocus();
    TextCtrl2->Hide();
    CheckBox1 = new wxCheckBox(this, ID_CHECKBOX1, _("USB Connected"), wxPoint(768, 544),
                               wxSize(240, 32), 0, wxDefaultValidator, "ID_CHECKBOX1");
    CheckBox1->SetValue(false);
    CheckBox1->Hide();
    Button1 = new wxButton(this, ID_BUTTON1, _("IO Monitor"), wxPoint(896, 464), wxSize(157, 72), 0,
                           wxDefaultValidator, "ID_BUTTON1");
    Button1->Hide();
    Button1->SetFont(sans_font(16));
    Button6 = new wxButton(this, ID_BUTTON6, _("Update"), wxPoint(632, 536), wxDefaultSize, 0,
                           wxDefaultValidator, "ID_BUTTON6");
    Button2 = new wxButton(this, ID_BUTTON2, _("I2C Init"), wxPoint(904, 240), wxDefaultSize, 0,
                           wxDefaultValidator, "ID_BUTTON2");
    Button2->Hide();
    Button3 = new wxButton(this, ID_BUTTON3, _("I2C read"), wxPoint(960, 208), wxDefaultSize, 0,
                           wxDefaultValidator, "ID_BUTTON3");
    Button3->Hide();
    Button4 = new wxButton(this, ID_BUTTON4, _("SSI Read"), wxPoint(896, 176), wxDefaultSize, 0,
                           wxDefaultValidator, "ID_BUTTON4");
    Button4->Hide();
    TextCtrl1 = new wxTextCtrl(this, ID_TEXTCTRL1, wxEmptyString, wxPoint(96, 144), wxSize(152, 48), 0,
                               wxDefaultValidator, "ID_TEXTCTRL1");
    TextCtrl3 = new wxTextCtrl(this, ID_TEXTCTRL3, wxEmptyString, wxPoint(96, 232), wxSize(152, 37), 0,
                               wxDefaultValidator, "ID_TEXTCTRL3");
    TextCtrl4 = new wxTextCtrl(this, ID_TEXTCTRL4, wxEmptyString, wxPoint(96, 304), wxSize(152, 37), 0,
                               wxDefaultValidator, "ID_TEXTCTRL4");
    TextCtrl5 = new wxTextCtrl(this, ID_TEXTCTRL5, wxEmptyString, wxPoint(96, 376), wxSize(152, 37), 0,
                               wxDefaultValidator, "ID_TEXTCTRL5");
    StaticText2 = new wxStaticText(this, ID_STATICTEXT2, _("X"), wxPoint(24, 160), fitting(_("X")), 0,
                                   "ID_STATICTEXT2");
    StaticText3 = new wxStaticText(this, ID_STATICTEXT3, _("Y"), wxPoint(24, 240), fitting(_("Y")), 0,
                                   "ID_STATICTEXT3");
    StaticText4 = new wxStaticText(this, ID_STATICTEXT4, _("A"), wxPoint(24, 312), fitting(_("A")), 0,
                                   "ID_STATICTEXT4");
    StaticText5 = new wxStaticText(this, ID_STATICTEXT5, _("B"), wxPoint(24, 376), wxSize(32, 40), 0,
                                   "ID_STATICTEXT5");
    TextCtrl6 = new wxTextCtrl(this, ID_TEXTCTRL6, wxEmptyString, wxPoint(136, 464), wxDefaultSize, 0,
                               wxDefaultValidator, "ID_TEXTCTRL6");
    Choice1 = new wxChoice(this, ID_CHOICE1, wxPoint(560, 24), wxSize(296, 47), 0, nullptr, 0,
                           wxDefaultValidator, "ID_CHOICE1");
    StaticText6 = new wxStaticText(this, ID_STATICTEXT6, _("Pozicionalo"), wxPoint(16, 16),
                                   wxSize(232, 48), wxALIGN_CENTRE, "ID_STATICTEXT6");
    StaticText6->SetFont(sans_font(32));
    Button5 = new wxButton(this, ID_BUTTON5, _("Mentes"), wxPoint(744, 168), wxSize(160, 48), 0,
                           wxDefaultValidator, "ID_BUTTON5");
    StaticText7 = new wxStaticText(this, ID_STATICTEXT7, _("Tipusok"), wxPoint(432, 32),
                                   fitting(_("Tipusok")), 0, "ID_STATICTEXT7");
    TextCtrl7 = new wxTextCtrl(this, ID_TEXTCTRL7, wxEmptyString, wxPoint(280, 144), wxSize(152, 48), 0,
                               wxDefaultValidator, "ID_TEXTCTRL7");
    TextCtrl8 = new wxTextCtrl(this, ID_TEXTCTRL8, wxEmptyString, wxPoint(280, 224), wxSize(152, 48), 0,
                               wxDefaultValidator, "ID_TEXTCTRL8");
    TextCtrl9 = new wxTextCtrl(this, ID_TEXTCTRL9, wxEmptyString, wxPoint(280, 296), wxSize(152, 48), 0,
                               wxDefaultValidator, "ID_TEXTCTRL9");
    TextCtrl10 = new wxTextCtrl(this, ID_TEXTCTRL10, wxEmptyString, wxPoint(280, 368), wxSize(152, 48), 0,
                                wxDefaultValidator, "ID_TEXTCTRL10");
    StaticText8 = new wxStaticText(this, ID_STATICTEXT8, _("Aktualis"), wxPoint(96, 96),
                                   fitting(_("Aktualis")), 0, "ID_STATICTEXT8");
    StaticText9 = new wxStaticText(this, ID_STATICTEXT9, _("Cel"), wxPoint(280, 96), fitting(_("Cel")),
                                   0, "ID_STATICTEXT9");
    Button7 = new wxButton(this, ID_BUTTON7, _("Close"), wxPoint(912, 16), wxDefaultSize, 0,
                           wxDefaultValidator, "ID_BUTTON7");
    const char* const arrow = readout::image_file(readout::indicator::up_arrow);
    BitmapButton1 = new wxBitmapButton(this, ID_BITMAPBUTTON1, Image(arrow), wxPoint(456, 152),
                                       wxDefaultSize, wxBU_AUTODRAW, wxDefaultValidator,
                                       "ID_BITMAPBUTTON1");
    BitmapButton2 = new wxBitmapButton(this, ID_BITMAPBUTTON2, Image(arrow), wxPoint(456, 224),
                                       wxDefaultSize, wxBU_AUTODRAW, wxDefaultValidator,
                                       "ID_BITMAPBUTTON2");
    BitmapButton3 = new wxBitmapButton(this, ID_BITMAPBUTTON3, Image(arrow), wxPoint(456, 304),
                                       wxDefaultSize, wxBU_AUTODRAW, wxDefaultValidator,
                                       "ID_BITMAPBUTTON3");
    BitmapButton4 = new wxBitmapButton(this, ID_BITMAPBUTTON4, Image(arrow), wxPoint(456, 376),
                                       wxDefaultSize, wxBU_AUTODRAW, wxDefaultValidator,
                                       "ID_BITMAPBUTTON4");
    TextCtrl11 = new wxTextCtrl(this, ID_TEXTCTRL11, wxEmptyString, wxPoint(560, 96), wxSize(296, 48), 0,
                                wxDefaultValidator, "ID_TEXTCTRL11");
    Button8 = new wxButton(this, ID_BUTTON8, _("Atnevezes"), wxPoint(560, 168), wxSize(160, 48), 0,
                           wxDefaultValidator, "ID_BUTTON8");
    BitmapButton5 = new wxBitmapButton(this, ID_BITMAPBUTTON5, Image(readout::nok_image),
                                       wxPoint(552, 272), wxDefaultSize, wxBU_AUTODRAW,
                                       wxDefaultValidator, "ID_BITMAPBUTTON5");
    Button9 = new wxButton(this, ID_BUTTON9, _("Uj tipus"), wxPoint(880, 96), wxSize(120, 47), 0,
                           wxDefaultValidator, "ID_BUTTON9");
    indicator_shown = {arrow, arrow, arrow, arrow, readout::nok_image};
}

void FoPanel::BindHandlers() {
    Connect(ID_BUTTON1, wxEVT_BUTTON, wxCommandEventHandler(FoPanel::OnButton1Click));
    Connect(ID_BUTTON6, wxEVT_BUTTON, wxCommandEventHandler(FoPanel::OnButton6Click));
    Connect(ID_BUTTON2, wxEVT_BUTTON, wxCommandEventHandler(FoPanel::OnButton2Click));
    Connect(ID_BUTTON3, wxEVT_BUTTON, wxCommandEventHandler(FoPanel::OnButton3Click));
    Connect(ID_BUTTON4, wxEVT_BUTTON, wxCommandEventHandler(FoPanel::OnButton4Click));
    Connect(ID_CHOICE1, wxEVT_CHOICE, wxCommandEventHandler(FoPanel::OnChoice1Select));
    Connect(ID_BUTTON5, wxEVT_BUTTON, wxCommandEventHandler(FoPanel::OnButton5Click));
    Connect(ID_BUTTON7, wxEVT_BUTTON, wxCommandEventHandler(FoPanel::OnButton7Click));
    Connect(ID_BUTTON8, wxEVT_BUTTON, wxCommandEventHandler(FoPanel::OnButton8Click));
    Connect(ID_BUTTON9, wxEVT_BUTTON, wxCommandEventHandler(FoPanel::OnButton9Click));
}

// ---- Catalogue ----

void FoPanel::AppendLog(const wxString& message) {
    TextCtrl2->AppendText("\n");
    TextCtrl2->AppendText(message);
}

// The update's progress keeps to one line, rewritten while nothing was logged after it.
void FoPanel::ShowProgress(const wxString& line) {
    if (progress_end == TextCtrl2->GetLastPosition()) {
        TextCtrl2->Replace(progress_start, progress_end, line);
    } else {
        TextCtrl2->AppendText("\n");
        progress_start = TextCtrl2->GetLastPosition();
        TextCtrl2->AppendText(line);
    }
    progress_end = TextCtrl2->GetLastPosition();
}

wxString FoPanel::DataToJson() { return from_locale_narrow(catalogue::to_json(types)); }

void FoPanel::SaveSettings() { StoreCatalogue(); }

catalogue::save_result FoPanel::StoreCatalogue(std::vector<records::event> changes) {
    // Written as UTF-8 whatever the process locale; a file the station did not load or
    // write is never replaced, and one it could not load is kept for the operator to mend.
    const catalogue::save_result result = catalogue::save(settings_file, types, settings_seen);
    const wxString message = catalogue::save_message(result, settings_file);
    if (!message.empty()) {
        AppendLog(message);
        // The shutdown save's line has no log box left to be read in.
        std::fprintf(stderr, "%s\n", static_cast<const char*>(message.utf8_str()));
    }
    RecordSave(std::move(changes), result);
    return result;
}

void FoPanel::LoadSettings() { TakeLoad(catalogue::load(settings_file)); }

void FoPanel::DataFromJson(wxString text) {
    catalogue::load_result result = catalogue::interpret(catalogue::from_json(to_utf8(text)));
    result.seen = settings_seen;
    result.seen.keep = result.seen.keep || !catalogue::may_save_after(result.status);
    TakeLoad(std::move(result));
}

void FoPanel::TakeLoad(catalogue::load_result result) {
    settings_seen = result.seen;
    const wxString message = catalogue::load_message(result, settings_file);
    if (!message.empty()) AppendLog(message);
    types.insert(types.end(), result.types.begin(), result.types.end());
}

// ---- Selection and editing ----

Type* FoPanel::SelectedRecord() {
    if (selected_index < 0 || static_cast<std::size_t>(selected_index) >= types.size()) return nullptr;
    return &types[static_cast<std::size_t>(selected_index)];
}

Type FoPanel::SelectedType() {
    const Type* record = SelectedRecord();
    return record != nullptr ? *record : Type();
}

void FoPanel::FillTypeChoice() {
    wxArrayString names;
    names.reserve(types.size());
    for (const Type& type : types) names.push_back(type.name);
    set_choice_items(Choice1, names);
}

void FoPanel::ShowSelectedType() {
    wxTextCtrl* const fields[4] = {TextCtrl7, TextCtrl8, TextCtrl9, TextCtrl10};
    const Type* record = SelectedRecord();
    if (record == nullptr) {
        for (wxTextCtrl* field : fields) field->SetValue(wxEmptyString);
        return;
    }
    const float targets[4] = {record->X, record->Y, record->alpha, record->beta};
    for (int row = 0; row < 4; ++row) fields[row]->SetValue(format_rounded(static_cast<double>(targets[row])));
}

void FoPanel::OnChoice1Select(wxCommandEvent&) {
    const int chosen = Choice1->GetSelection();
    // An event without a valid entry (an empty catalogue) leaves the selection alone.
    if (chosen < 0 || static_cast<std::size_t>(chosen) >= types.size()) return;
    selected_index = chosen;
    TextCtrl11->SetValue(SelectedRecord()->name);
    ShowSelectedType();
}

void FoPanel::OnButton8Click(wxCommandEvent&) {
    Type* record = SelectedRecord();
    if (record == nullptr) return;
    const records::type_values before = record_of(*record);
    const wxString name = TextCtrl11->GetValue();
    if (const wxString refusal = catalogue::rename_refusal(name); !refusal.empty()) {
        AppendLog(refusal);
        return;
    }
    record->name = name;
    RecordChanges(before, "Atnevezes");
    // Only the one entry changes; refilling the list costs seconds with thousands of types.
    Choice1->SetString(static_cast<unsigned>(selected_index), record->name);
    Choice1->SetSelection(selected_index);
}

std::array<wxString, 4> FoPanel::ActualTexts() const {
    const auto fields = ActualFields();
    return {fields[0]->GetValue(), fields[1]->GetValue(), fields[2]->GetValue(), fields[3]->GetValue()};
}

void FoPanel::OnButton5Click(wxCommandEvent&) {
    Type* record = SelectedRecord();
    if (record == nullptr) return;
    const records::type_values before = record_of(*record);
    const catalogue::teach_result taught = catalogue::teach(*record, ActualTexts());
    if (taught.any_rejected()) AppendLog(catalogue::rejected_message(taught));
    ShowSelectedType();
    StoreCatalogue(records::catalogue_changes(before, record_of(*record), "Mentes"));
}

void FoPanel::OnButton9Click(wxCommandEvent&) {
    const catalogue::new_type_result added = catalogue::make_new_type(types, TextCtrl11->GetValue(), ActualTexts());
    if (added.taught.any_rejected()) AppendLog(catalogue::rejected_message(added.taught));
    types.push_back(added.type);
    Choice1->Append(added.type.name);
    selected_index = static_cast<int>(types.size() - 1);
    Choice1->SetSelection(selected_index);
    TextCtrl11->SetValue(added.type.name);
    ShowSelectedType();
    StoreCatalogue({records::catalogue_event(record_of(added.type), "type", to_utf8(added.type.name), "Uj tipus")});
}

// ---- Frame commands ----

void FoPanel::OnButton1Click(wxCommandEvent&) {
    if (auto* frame = dynamic_cast<Kelpon_v6Frame*>(GetParent())) frame->SwitchPanel(1);
}

void FoPanel::OnButton7Click(wxCommandEvent&) { GetParent()->Close(false); }

// The download runs on its own thread so the positioner keeps working; its progress and
// result come back as calls queued for the GUI thread.
void FoPanel::RunUpdate() {
    if (UpdateRunning()) return;
    ShowProgress(self_update::under_way_line);
    update_worker = std::thread([this, s = update_settings] {
        const auto report = [this](const std::string& line) { CallAfter([this, line] { ShowProgress(ascii(line)); }); };
        const std::string failure = self_update::install(s, report, update_cancel);
        CallAfter([this, failure] { FinishUpdate(failure); });
    });
}

void FoPanel::FinishUpdate(const std::string& failure) {
    update_worker.join();
    const std::string start_failure = failure.empty() ? self_update::restart(update_settings) : failure;
    if (!start_failure.empty()) {
        const std::string line = self_update::failure_line(start_failure);
        std::fprintf(stderr, "%s\n", line.c_str());  // also for the session log
        AppendLog(ascii(line));
        return;
    }
    GetParent()->Close(false);
}

void FoPanel::OnButton6Click(wxCommandEvent&) { RunUpdate(); }

// ---- Diagnostics ----

void FoPanel::OnButton2Click(wxCommandEvent&) {
    if (usb != nullptr) usb->i2c_init();
    TextCtrl2->AppendText("I2c initialized\n");
}

void FoPanel::OnButton3Click(wxCommandEvent&) {
    if (usb == nullptr) return;
    link_bus board(*usb);
    readout::i2c_read_diagnostic(board, [this](const std::string& piece) { TextCtrl2->AppendText(ascii(piece)); });
}

void FoPanel::OnButton4Click(wxCommandEvent&) {
    if (usb == nullptr) return;
    const std::uint32_t value = usb->ssi_read();
    // A failed read is no position: the X field is left without one.
    if (usb->last_exchange().ok())
        TextCtrl1->SetValue(wxString::Format("%i", static_cast<int>(value)));
    else
        clear_field(TextCtrl1);
}

// ---- Read-out ----

std::array<wxTextCtrl*, 4> FoPanel::ActualFields() const { return {TextCtrl1, TextCtrl3, TextCtrl4, TextCtrl5}; }

std::array<wxBitmapButton*, 4> FoPanel::RowIndicators() const {
    return {BitmapButton1, BitmapButton2, BitmapButton3, BitmapButton4};
}

void FoPanel::Render() {
    const bool was_connected = usb_connected;
    // Read once: the connection thread may change the flag during the tick.
    usb_connected = usb != nullptr && usb->connected.load();
    if (record_file != nullptr) record_file->retry_if_due();
    CheckBox1->SetValue(usb_connected);
    if (usb_connected != was_connected)
        ReadoutEvent(usb_connected ? readout::link_event::board_connected : readout::link_event::board_lost, "");
    std::string failure = "board not connected";
    if (!usb_connected) DropReadings();
    const bool read = usb_connected && ReadBoard(failure);
    if (const auto change = readings.update(read, usb_connected)) ReadoutEvent(*change, failure);
    UpdateIndicators();
}

bool FoPanel::ReadBoard(std::string& failure) {
    link_bus link(*usb);
    readout::stopping_bus board(link, [this] { return usb->last_exchange().ok(); });
    readout::address_watch watched(board);
    // A sensor missing at set-up is set up again on the next tick; the tick goes on reading.
    std::vector<int> unanswered = sensors_ready ? std::vector<int>() : SetUpSensors(watched);
    if (!board.failed()) {
        const std::vector<int> reading = ReadSensors(watched);
        if (unanswered.empty()) unanswered = reading;
    }
    if (!board.failed()) ReadSsi(board);
    if (board.failed()) {
        failure = usb->last_exchange().reason();
        DropReadings();
        return false;
    }
    if (unanswered.empty()) return true;
    failure = readout::unanswered_text(unanswered);
    DropSensorReadings();
    return false;
}

void FoPanel::ReadoutEvent(readout::link_event event, const std::string& reason) {
    const std::string line = readout::event_line(event, reason);
    if (!line.empty()) AppendLog(ascii(line));
    RecordLink(readout::event_record(event, reason));
}

void FoPanel::DropReadings() {
    // The sensors are woken and identified again once the board answers.
    sensors_ready = false;
    ssi_previous_valid = false;
    x_shown.reset();
    clear_field(TextCtrl1);
    DropSensorReadings();
}

void FoPanel::DropSensorReadings() {
    // Samples from before a gap would be averaged in with the first ones after it.
    for (std::vector<float>* window : {&a_samples_1, &a_samples_2, &b_samples_1, &b_samples_2}) window->clear();
    for (wxTextCtrl* field : {TextCtrl4, TextCtrl5}) clear_field(field);
}

std::vector<int> FoPanel::SetUpSensors(readout::address_watch& board) {
    board.i2c_init();
    std::vector<int> unanswered;
    std::string identities;
    for (const std::uint8_t address : {readout::sensor1_address, readout::sensor2_address}) {
        board.clear();
        const std::uint8_t identity = readout::set_up_sensor(board, address);
        if (board.unanswered()) unanswered.push_back(address == readout::sensor1_address ? 1 : 2);
        identities += readout::identity_text(identity);
    }
    // Logged once both answer, so a missing sensor does not repeat the other's identity.
    if (!unanswered.empty()) return unanswered;
    TextCtrl2->AppendText(ascii(identities));
    sensors_ready = true;
    return unanswered;
}

std::vector<int> FoPanel::ReadSensors(readout::address_watch& board) {
    std::vector<int> unanswered;
    board.clear();
    const readout::sensor_words one = readout::read_sensor(board, readout::sensor1_address);
    if (board.unanswered()) unanswered.push_back(1);
    board.clear();
    const readout::sensor_words two = readout::read_sensor(board, readout::sensor2_address);
    if (board.unanswered()) unanswered.push_back(2);
    // A reading of one sensor alone enters no window.
    if (!unanswered.empty()) return unanswered;
    readout::push_sample(a_samples_1, one.first);
    readout::push_sample(b_samples_1, one.second);
    readout::push_sample(a_samples_2, two.first);
    readout::push_sample(b_samples_2, two.second);
    TextCtrl4->SetValue(format_rounded(static_cast<double>(readout::mean_difference(a_samples_1, a_samples_2))));
    TextCtrl5->SetValue(format_rounded(static_cast<double>(readout::mean_difference(b_samples_1, b_samples_2))));
    return unanswered;
}

void FoPanel::ReadSsi(readout::bus& board) {
    const std::uint32_t value = board.ssi_read();
    ssi_value = static_cast<std::int32_t>(value);
    const std::optional<std::int32_t> previous =
        ssi_previous_valid ? std::optional<std::int32_t>(ssi_previous) : std::nullopt;
    const std::optional<std::int32_t> settled = readout::settled_x(ssi_value, previous, x_shown, tolerance[0]);
    // Two readings that agree rewrite the field, as they always have.
    if (!settled)
        clear_field(TextCtrl1);
    else if (previous && readout::ssi_stable(ssi_value, *previous))
        TextCtrl1->SetValue(wxString::Format("%i", ssi_value));
    x_shown = settled;
    ssi_previous = ssi_value;
    ssi_previous_valid = true;
}

wxBitmap FoPanel::NoReadingBitmap() {
    // A grey tile with a dash, the size of the row images: neither an arrow nor the OK mark.
    constexpr int side = 56;
    wxImage image(side, side);
    image.SetRGB(wxRect(0, 0, side, side), 205, 205, 205);
    image.SetRGB(wxRect(14, 25, 28, 6), 120, 120, 120);
    return wxBitmap(image, -1);
}

void FoPanel::ShowNoReading(int row) {
    const auto index = static_cast<std::size_t>(row);
    if (indicator_shown[index] == no_reading_tile) return;
    show_bitmap(RowIndicators()[index], NoReadingBitmap(), true);
    indicator_shown[index] = no_reading_tile;
}

const wxBitmap& FoPanel::Image(const char* file) {
    auto found = images.find(file);
    if (found == images.end()) found = images.emplace(file, load_image(file)).first;
    return found->second;
}

void FoPanel::ShowImage(std::size_t indicator, const char* file) {
    // Setting and fitting a bitmap costs more than the tick's own work; an unchanged one is left.
    if (indicator_shown[indicator] == file) return;
    const bool row = indicator != overall_indicator;
    show_bitmap(row ? RowIndicators()[indicator] : BitmapButton5, Image(file), row);
    indicator_shown[indicator] = file;
}

std::optional<double> FoPanel::RowValue(int row) const {
    const std::optional<double> value = read_number(ActualFields()[static_cast<std::size_t>(row)]->GetValue());
    // An operator's empty Y counts as 0; a board row without a number has no reading.
    return value || readout::from_board(row) ? value : 0.0;
}

void FoPanel::UpdateIndicators() {
    const Type* record = SelectedRecord();
    // Without a selected type there is nothing to compare against.
    if (record == nullptr) return;
    const double targets[4] = {record->X, record->Y, record->alpha, record->beta};
    for (int row = 0; row < 4; ++row) {
        const std::optional<double> actual = RowValue(row);
        previous_deviation[row] = deviation[row];
        // Not a number passes none of the band tests, so a row coming back needs two
        // readings in band before its OK mark.
        deviation[row] = actual ? readout::deviation(targets[row], *actual) : std::numeric_limits<float>::quiet_NaN();
        if (!actual) {
            row_ok[row] = false;
            ShowNoReading(row);
            continue;
        }
        const readout::row_decision decision =
            readout::decide_row(deviation[row], previous_deviation[row], tolerance[row], row_ok[row]);
        row_ok[row] = decision.row_ok;
        if (decision.image) ShowImage(static_cast<std::size_t>(row), readout::image_file(*decision.image));
    }
    switch (readout::decide_overall(row_ok, all_ok)) {
        case readout::overall_change::to_ok:
            ShowImage(overall_indicator, readout::ok_image);
            all_ok = true;
            RecordPositioning(records::kind::positioned);
            break;
        case readout::overall_change::to_nok:
            ShowImage(overall_indicator, readout::nok_image);
            all_ok = false;
            RecordPositioning(records::kind::left);
            break;
        case readout::overall_change::none: break;
    }
}

// ---- Production records ----

void FoPanel::RecordPositioning(records::kind what, const std::string& detail) {
    const Type* record = SelectedRecord();
    if (record_file == nullptr || record == nullptr) return;
    if (what == records::kind::positioned) positioned_type = record_of(*record);
    // A row without a reading is stored as none, never as 0.
    records::readings actual{};
    for (int row = 0; row < 4; ++row) actual[static_cast<std::size_t>(row)] = RowValue(row);
    records::event row = records::positioning(what, positioned_type.value_or(record_of(*record)), actual);
    row.detail = detail;
    record_file->add(std::move(row));
}

void FoPanel::RecordChanges(const records::type_values& before, const char* command) {
    const Type* record = SelectedRecord();
    if (record_file != nullptr && record != nullptr)
        record_file->add(records::catalogue_changes(before, record_of(*record), command));
}

void FoPanel::RecordSave(std::vector<records::event> rows, const catalogue::save_result& result) {
    if (record_file == nullptr) return;
    const std::string place = catalogue::save_place(result, settings_file);
    for (records::event& row : rows) row.detail += ": " + place;
    if (result.status == catalogue::save_status::created)
        rows.push_back(records::catalogue_event(std::nullopt, "catalogue", settings_file,
                                                "created, " + std::to_string(types.size()) + " types"));
    AddSavedFile(rows, result);
    record_file->add(rows);
}

void FoPanel::AddSavedFile(std::vector<records::event>& rows, const catalogue::save_result& result) {
    const bool written = result.status == catalogue::save_status::written ||
                         result.status == catalogue::save_status::created ||
                         result.status == catalogue::save_status::written_beside;
    if (!written) return;
    // The file's own bytes, as a replaced PC must get them back from the plant's database.
    const std::string path = result.status == catalogue::save_status::written_beside ? result.beside : settings_file;
    catalogue::read_result saved = catalogue::read_file(path);
    if (saved.status == catalogue::read_status::ok)
        rows.push_back(records::catalogue_file(path, std::move(saved.bytes)));
    else
        AppendLog(wxString::FromUTF8("The saved catalogue " + path + " could not be read back for the records: " +
                                     (saved.reason.empty() ? std::string("missing") : saved.reason)));
}

void FoPanel::RecordLink(const std::string& what) {
    if (record_file != nullptr) record_file->add(records::link_event(what));
}
