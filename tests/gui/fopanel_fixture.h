#pragma once
// Shared set-up for the positioner screen tests: a fresh working folder, the real frame
// with its link, and the positioner it shows, with the refresh timer stopped so that each
// tick is one explicit Render().
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "FoPanel.h"
#include "Kelpon_v6Frame.h"
#include "a_usb.h"
#include "emulated_board.h"
#include "gui_support.h"

namespace fopanel_test {

using namespace std::chrono_literals;

// Three types: X/Y/alpha/beta targets chosen so the rows can be driven in and out of band.
inline const char* const three_types = R"({
    "ShaftTypes": [
        {
            "ID": 1,
            "name": "T100",
            "X": 100.0,
            "Y": 2.5,
            "alpha": -0.4000000059604645,
            "beta": 0.0
        },
        {
            "ID": 2,
            "name": "T200",
            "X": 200.0,
            "Y": 1.5,
            "alpha": 0.0,
            "beta": 0.0
        },
        {
            "ID": -3,
            "name": "Harmadik",
            "X": 500.0,
            "Y": 20.0,
            "alpha": 1000.0,
            "beta": -1000.0
        }
    ]
})";

inline std::string read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_bytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

inline std::string text(const wxTextCtrl* field) { return field->GetValue().utf8_string(); }

class positioner : public ::testing::Test {
protected:
    // Builds the frame in a working folder that holds the images and, unless null,
    // a "Settings.dat" with the given bytes.
    void open(const char* settings = three_types, bool board_plugged = false) {
        set_test_board_plugged(board_plugged);
        if (settings != nullptr) write_bytes(dir.file("Settings.dat"), settings);
        frame = gui_test::make_frame();
        panel = dynamic_cast<FoPanel*>(frame->current_panel);
        ASSERT_NE(panel, nullptr);
        panel->timer->Stop();
        if (board_plugged) wait_connected(true);
    }

    void TearDown() override {
        if (frame != nullptr) gui_test::close_frame(frame);
        frame = nullptr;
        panel = nullptr;
    }

    static emu::board_emulator& emu_board() { return test_board(); }

    void wait_connected(bool expected) {
        ASSERT_TRUE(gui_test::pump_until([&] { return frame->usb->connected.load() == expected; }, 8000ms))
            << "link did not become " << (expected ? "connected" : "disconnected");
    }

    void plug(bool in) {
        if (in)
            emu_board().plug_in();
        else
            emu_board().unplug();
        wait_connected(in);
    }

    std::string shown(wxWindow* button) const { return gui_test::shown_image(button); }

    gui_test::scoped_workdir dir{false};
    Kelpon_v6Frame* frame = nullptr;
    FoPanel* panel = nullptr;
};

}  // namespace fopanel_test
