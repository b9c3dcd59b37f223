#pragma once
#include <array>
#include <cstdint>

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/panel.h>
#include <wx/sizer.h>
#include <wx/slider.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>
#include <wx/tglbtn.h>
#include <wx/timer.h>

#include "a_stopper.h"
#include "a_usb.h"
#include "io_monitor_logic.h"

class a_usb;
class IO_Monitor_Panel;

class IO_Monitor_PanelRenderTimer : public wxTimer {
public:
    explicit IO_Monitor_PanelRenderTimer(IO_Monitor_Panel* owner_panel);
    ~IO_Monitor_PanelRenderTimer() override;
    void Notify() override;
    IO_Monitor_Panel* panel;
};

// Service screen: the board's inputs and analog channels, its outputs, a PWM on output 9.
class IO_Monitor_Panel : public wxPanel {
public:
    IO_Monitor_Panel(wxWindow* parent, wxWindowID id = wxID_ANY,
                     const wxPoint& pos = wxDefaultPosition, const wxSize& size = wxDefaultSize);
    ~IO_Monitor_Panel() override;

    // One refresh: link state, inputs and analog read-outs in, output frame out.
    void Render();
    void OnButton1Click(wxCommandEvent& event);
    // Stops the refresh and switches every output off with one frame of zeros; nothing
    // stays powered once no screen shows it. Called once the screen is left, however.
    void Leave();

    // Refresh period of the timer, in milliseconds.
    static constexpr int refresh_ms = 10;

    static const wxWindowID ID_STATICTEXT1;
    static const wxWindowID ID_CHECKBOX1;
    static const wxWindowID ID_BUTTON1;
    static const wxWindowID ID_STATICTEXT2;
    static const wxWindowID ID_STATICTEXT3;
    static const wxWindowID ID_STATICTEXT4;
    static const wxWindowID ID_BUTTON2;
    static const wxWindowID ID_BUTTON3;
    static const wxWindowID ID_SLIDER1;
    static const wxWindowID ID_TEXTCTRL1;

    wxSlider* Slider1 = nullptr;
    wxButton* Button1 = nullptr;
    wxTextCtrl* TextCtrl1 = nullptr;
    wxStaticText* StaticText1 = nullptr;
    wxStaticText* StaticText3 = nullptr;
    wxStaticText* StaticText4 = nullptr;
    wxButton* Button2 = nullptr;
    wxStaticText* StaticText2 = nullptr;
    wxButton* Button3 = nullptr;
    wxCheckBox* CheckBox1 = nullptr;
    a_usb* usb = nullptr;
    IO_Monitor_PanelRenderTimer* timer = nullptr;
    std::uint8_t pwm_phase = 0;
    std::uint8_t pwm_level = 0;
    a_stopper stopper;
    std::array<wxButton*, io_monitor::input_count> InputButtons{};
    std::array<wxToggleButton*, io_monitor::output_count> OutputToggles{};

private:
    wxSizer* CreateTopBar();
    wxStaticText* AddGridColumn(wxSizer* body, wxWindowID heading_id, const wxString& heading,
                                const char* heading_name, wxGridSizer*& grid);
    wxSizer* CreateAnalogColumn();
    void CreateInputButtons(wxSizer* grid);
    void CreateOutputToggles(wxSizer* grid);
    io_monitor::output_frame PressedOutputs() const;
    // While status reads fail: the outputs off, as far as the link lets a frame through.
    void SwitchOffWhileBlind();
    // Writes a line into the text box when an exchange starts or stops failing.
    void Report(io_monitor::failure_run& run, const exchange_outcome& outcome);

    io_monitor::failure_run status_failures{"Status read failed, last values shown: ", "Status read resumed"};
    io_monitor::failure_run output_failures{"Output write failed: ", "Output write resumed"};
    // Whether the frame of zeros sent since status reads started failing went through.
    bool outputs_off = false;

    wxDECLARE_EVENT_TABLE();
};
