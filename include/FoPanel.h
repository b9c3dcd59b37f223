#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <wx/bmpbuttn.h>
#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/panel.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>
#include <wx/timer.h>

#include "a_records.h"
#include "catalogue.h"
#include "readout.h"
#include "self_update.h"

class a_usb;
class FoPanel;

class FoPanelRenderTimer : public wxTimer {
public:
    explicit FoPanelRenderTimer(FoPanel* owner_panel) : panel(owner_panel) {}
    ~FoPanelRenderTimer() override;
    void Notify() override;
    FoPanel* panel;
};

// The positioner screen: the X, Y, A, B rows against the selected shaft type.
class FoPanel : public wxPanel {
public:
    FoPanel(wxWindow* parent, wxWindowID id = wxID_ANY, const wxPoint& pos = wxDefaultPosition,
            const wxSize& size = wxDefaultSize);
    ~FoPanel() override;

    // Catalogue.
    wxString DataToJson();
    void SaveSettings();
    void LoadSettings();
    void DataFromJson(wxString text);
    void AppendLog(const wxString& message);

    // Selection and editing.
    void ShowSelectedType();
    Type SelectedType();

    // Read-out tick, called by the timer.
    void Render();

    // The log box, for the frame's LogMessage.
    wxTextCtrl* LogBox() const { return TextCtrl2; }

    // Window ids, allocated in control-table order.
    static const wxWindowID ID_STATICTEXT1;
    static const wxWindowID ID_TEXTCTRL2;
    static const wxWindowID ID_CHECKBOX1;
    static const wxWindowID ID_BUTTON1;
    static const wxWindowID ID_BUTTON6;
    static const wxWindowID ID_BUTTON2;
    static const wxWindowID ID_BUTTON3;
    static const wxWindowID ID_BUTTON4;
    static const wxWindowID ID_TEXTCTRL1;
    static const wxWindowID ID_TEXTCTRL3;
    static const wxWindowID ID_TEXTCTRL4;
    static const wxWindowID ID_TEXTCTRL5;
    static const wxWindowID ID_STATICTEXT2;
    static const wxWindowID ID_STATICTEXT3;
    static const wxWindowID ID_STATICTEXT4;
    static const wxWindowID ID_STATICTEXT5;
    static const wxWindowID ID_TEXTCTRL6;
    static const wxWindowID ID_CHOICE1;
    static const wxWindowID ID_STATICTEXT6;
    static const wxWindowID ID_BUTTON5;
    static const wxWindowID ID_STATICTEXT7;
    static const wxWindowID ID_TEXTCTRL7;
    static const wxWindowID ID_TEXTCTRL8;
    static const wxWindowID ID_TEXTCTRL9;
    static const wxWindowID ID_TEXTCTRL10;
    static const wxWindowID ID_STATICTEXT8;
    static const wxWindowID ID_STATICTEXT9;
    static const wxWindowID ID_BUTTON7;
    static const wxWindowID ID_BITMAPBUTTON1;
    static const wxWindowID ID_BITMAPBUTTON2;
    static const wxWindowID ID_BITMAPBUTTON3;
    static const wxWindowID ID_BITMAPBUTTON4;
    static const wxWindowID ID_TEXTCTRL11;
    static const wxWindowID ID_BUTTON8;
    static const wxWindowID ID_BITMAPBUTTON5;
    static const wxWindowID ID_BUTTON9;
    static const std::string build_stamp;

    wxStaticText* StaticText1 = nullptr;
    wxTextCtrl* TextCtrl2 = nullptr;
    wxCheckBox* CheckBox1 = nullptr;
    wxButton* Button1 = nullptr;
    wxButton* Button6 = nullptr;
    wxButton* Button2 = nullptr;
    wxButton* Button3 = nullptr;
    wxButton* Button4 = nullptr;
    wxTextCtrl* TextCtrl1 = nullptr;
    wxTextCtrl* TextCtrl3 = nullptr;
    wxTextCtrl* TextCtrl4 = nullptr;
    wxTextCtrl* TextCtrl5 = nullptr;
    wxStaticText* StaticText2 = nullptr;
    wxStaticText* StaticText3 = nullptr;
    wxStaticText* StaticText4 = nullptr;
    wxStaticText* StaticText5 = nullptr;
    wxTextCtrl* TextCtrl6 = nullptr;
    wxChoice* Choice1 = nullptr;
    wxStaticText* StaticText6 = nullptr;
    wxButton* Button5 = nullptr;
    wxStaticText* StaticText7 = nullptr;
    wxTextCtrl* TextCtrl7 = nullptr;
    wxTextCtrl* TextCtrl8 = nullptr;
    wxTextCtrl* TextCtrl9 = nullptr;
    wxTextCtrl* TextCtrl10 = nullptr;
    wxStaticText* StaticText8 = nullptr;
    wxStaticText* StaticText9 = nullptr;
    wxButton* Button7 = nullptr;
    wxBitmapButton* BitmapButton1 = nullptr;
    wxBitmapButton* BitmapButton2 = nullptr;
    wxBitmapButton* BitmapButton3 = nullptr;
    wxBitmapButton* BitmapButton4 = nullptr;
    wxTextCtrl* TextCtrl11 = nullptr;
    wxButton* Button8 = nullptr;
    wxBitmapButton* BitmapButton5 = nullptr;
    wxButton* Button9 = nullptr;

    a_usb* usb = nullptr;
    a_records* record_file = nullptr;  // the frame's; null on any other parent
    FoPanelRenderTimer* timer = nullptr;
    std::string settings_file = catalogue::settings_file_name;
    std::vector<Type> types;
    int selected_index = 0;

    // Read-out state.
    bool usb_connected = false;
    bool sensors_ready = false;
    std::int32_t ssi_value = 0;
    std::int32_t ssi_previous = 0;
    std::vector<float> a_samples_1, a_samples_2, b_samples_1, b_samples_2;
    float tolerance[4] = {readout::row_tolerance[0], readout::row_tolerance[1], readout::row_tolerance[2],
                          readout::row_tolerance[3]};
    float deviation[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    float previous_deviation[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    bool row_ok[4] = {false, false, false, false};
    bool all_ok = false;
    // Whether ssi_previous holds a reading of the board as it answers now.
    bool ssi_previous_valid = false;
    // The X value on show; none while the shaft has no settled position.
    std::optional<std::int32_t> x_shown;
    readout::readings_flow readings;

    // The look of a row indicator whose row has no reading.
    static wxBitmap NoReadingBitmap();

    // Self-update: the station's fixed values (tests point them elsewhere) and whether a
    // download is running beside the event loop.
    self_update::settings update_settings = self_update::station_settings();
    bool UpdateRunning() const { return update_worker.joinable(); }

    void OnButton1Click(wxCommandEvent& event);
    void OnButton6Click(wxCommandEvent& event);
    void OnButton2Click(wxCommandEvent& event);
    void OnButton3Click(wxCommandEvent& event);
    void OnButton4Click(wxCommandEvent& event);
    void OnChoice1Select(wxCommandEvent& event);
    void OnButton5Click(wxCommandEvent& event);
    void OnButton7Click(wxCommandEvent& event);
    void OnButton8Click(wxCommandEvent& event);
    void OnButton9Click(wxCommandEvent& event);
    void RunUpdate();

private:
    // The selected record, or null when the catalogue has none at selected_index.
    Type* SelectedRecord();
    void FillTypeChoice();
    // SaveSettings, telling the caller how it went; every outcome worth a line is logged.
    // changes are the catalogue rows of the command that saves: they are recorded after the
    // save, saying where the catalogue went.
    catalogue::save_result StoreCatalogue(std::vector<records::event> changes = {});
    // Takes a load's records and file state and logs its outcome.
    void TakeLoad(catalogue::load_result result);
    // The texts of the four actual fields, rows X, Y, A, B.
    std::array<wxString, 4> ActualTexts() const;
    void CreateControls();
    // On the GUI thread, when the update's download has ended; failure empty when installed.
    void FinishUpdate(const std::string& failure);
    void ShowProgress(const wxString& line);
    void BindHandlers();
    // One connected tick's exchanges: false, with the reason, when it brought no full
    // reading; the rows it has no reading for are then cleared.
    bool ReadBoard(std::string& failure);
    // Each gives the 1-based numbers of the sensors that did not acknowledge their address.
    std::vector<int> SetUpSensors(readout::address_watch& board);
    std::vector<int> ReadSensors(readout::address_watch& board);
    void ReadSsi(readout::bus& board);
    // Without readings the board rows show no value, and the next ones start afresh.
    void DropReadings();
    void DropSensorReadings();
    // Every change of the board's state and of its readings passes here, once.
    void ReadoutEvent(readout::link_event event, const std::string& reason);
    void UpdateIndicators();
    void ShowNoReading(int row);
    // Shows an image file on an indicator (rows 0-3, then the overall one) unless it shows
    // it already; each file is read once.
    void ShowImage(std::size_t indicator, const char* file);
    const wxBitmap& Image(const char* file);
    std::array<wxTextCtrl*, 4> ActualFields() const;
    // The value a row is judged and recorded by; none for a board row without a reading.
    std::optional<double> RowValue(int row) const;
    std::array<wxBitmapButton*, 4> RowIndicators() const;
    // Production records: each writes only when the thing it records happens.
    void RecordPositioning(records::kind what, const std::string& detail = "");
    void RecordChanges(const records::type_values& before, const char* command);
    // The one place every save is recorded, once it is known where the catalogue went.
    void RecordSave(std::vector<records::event> rows, const catalogue::save_result& result);
    // A row with the bytes of the file a save wrote.
    void AddSavedFile(std::vector<records::event>& rows, const catalogue::save_result& result);
    void RecordLink(const std::string& what);

    // The catalogue file as loaded or last saved: a save replaces only that file.
    catalogue::file_seen settings_seen;

    std::thread update_worker;
    std::atomic<bool> update_cancel{false};
    // Where the update's progress line stands in the log box.
    long progress_start = -1, progress_end = -1;
    // The type that was in position when the OK image appeared: leaving is recorded
    // against it, even when another type was selected meanwhile.
    std::optional<records::type_values> positioned_type;
    // The indicator images, read from their files once: they do not change while the
    // station runs.
    std::map<std::string, wxBitmap> images;
    // What each indicator (rows X, Y, A, B, then the overall one) shows: a file name, or
    // no_reading_tile.
    std::array<std::string, 5> indicator_shown;

    wxDECLARE_EVENT_TABLE();
};
