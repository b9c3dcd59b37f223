#pragma once
// Helpers for GUI tests that drive the real screens under a display.
#include <chrono>
#include <functional>
#include <string>

#include <wx/event.h>
#include <wx/window.h>

class Kelpon_v6Frame;

namespace gui_test {

using namespace std::chrono_literals;

// Processes events until cond holds or limit passes; returns cond's last value.
bool pump_until(const std::function<bool()>& cond, std::chrono::milliseconds limit = 3000ms);
// Processes events for the given time.
void pump_for(std::chrono::milliseconds duration);

// Sends a button click (wxEVT_BUTTON) to a button as a user click would.
void click(wxWindow* button);
// Sends a wxEVT_CHOICE after selecting index, as a user selection would.
void choose(wxWindow* choice, int index);

// A fresh working directory holding the five indicator images, entered for the
// lifetime of the object; with_sample_catalogue copies the sample "Settings.dat" too.
class scoped_workdir {
public:
    explicit scoped_workdir(bool with_sample_catalogue = false);
    ~scoped_workdir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
    std::string previous_;
};

// The main frame as the application builds it; destroy it with close_frame.
Kelpon_v6Frame* make_frame();
// Closes the frame as "Close" does and processes events until it is gone; a frame that
// stays is a test failure.
void close_frame(Kelpon_v6Frame* frame);

// Name of the image file a bitmap button shows (recorded by the station when it loads one),
// or "" when unknown.
std::string shown_image(wxWindow* bitmap_button);

}  // namespace gui_test
