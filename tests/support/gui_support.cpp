#include "gui_support.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include <unistd.h>

#include <gtest/gtest.h>

#include <wx/app.h>
#include <wx/bmpbuttn.h>
#include <wx/choice.h>
#include <wx/image.h>
#include <wx/log.h>
#include <wx/weakref.h>

#include "Kelpon_v6Frame.h"

namespace fs = std::filesystem;

namespace gui_test {

namespace {
void pump_once() {
    wxTheApp->Yield(true);
    wxTheApp->ProcessIdle();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

const char* const image_names[] = {"up-arrow.png", "down-arrow.png", "ok-mark.png", "OK.png",
                                   "NOK.png"};

bool same_pixels(const wxImage& a, const wxImage& b) {
    if (!a.IsOk() || !b.IsOk() || a.GetSize() != b.GetSize()) return false;
    const auto bytes = static_cast<std::size_t>(a.GetWidth()) * static_cast<std::size_t>(a.GetHeight());
    if (std::memcmp(a.GetData(), b.GetData(), bytes * 3) != 0) return false;
    if (a.HasAlpha() != b.HasAlpha()) return false;
    return !a.HasAlpha() || std::memcmp(a.GetAlpha(), b.GetAlpha(), bytes) == 0;
}
}  // namespace

bool pump_until(const std::function<bool()>& cond, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline) return cond();
        pump_once();
    }
    return true;
}

void pump_for(std::chrono::milliseconds duration) {
    const auto deadline = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < deadline)
        pump_once();
}

void click(wxWindow* button) {
    wxCommandEvent event(wxEVT_BUTTON, button->GetId());
    event.SetEventObject(button);
    button->ProcessWindowEvent(event);
}

void choose(wxWindow* choice_window, int index) {
    auto* choice = static_cast<wxChoice*>(choice_window);
    choice->SetSelection(index);
    wxCommandEvent event(wxEVT_CHOICE, choice->GetId());
    event.SetEventObject(choice);
    event.SetInt(index);
    choice->ProcessWindowEvent(event);
}

scoped_workdir::scoped_workdir(bool with_sample_catalogue) {
    char pattern[] = "/tmp/varnold-test-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made == nullptr) std::abort();
    path_ = made;
    previous_ = fs::current_path().string();
    const fs::path resources(RESOURCES_DIR);
    for (const char* name : image_names)
        fs::copy_file(resources / name, fs::path(path_) / name);
    if (with_sample_catalogue)
        fs::copy_file(resources / "Settings.dat", fs::path(path_) / "Settings.dat");
    fs::current_path(path_);
}

scoped_workdir::~scoped_workdir() {
    std::error_code ignored;
    fs::current_path(previous_, ignored);
    fs::remove_all(path_, ignored);
}

Kelpon_v6Frame* make_frame() {
    auto* frame = new Kelpon_v6Frame(nullptr, wxID_ANY);
    frame->Show();
    wxTheApp->SetTopWindow(frame);
    pump_for(std::chrono::milliseconds(20));
    return frame;
}

void close_frame(Kelpon_v6Frame* frame) {
    wxWeakRef<Kelpon_v6Frame> alive(frame);
    frame->Close(false);
    // What a test checks after the close (the shutdown save) only happened if it did close.
    EXPECT_TRUE(pump_until([&] { return !alive; }, std::chrono::milliseconds(5000))) << "the frame did not close";
}

std::string shown_image(wxWindow* window) {
    auto* button = dynamic_cast<wxBitmapButton*>(window);
    if (button == nullptr || !button->GetBitmapLabel().IsOk()) return "";
    const wxImage shown = button->GetBitmapLabel().ConvertToImage();
    wxLogNull quiet;  // a missing candidate file is simply not a match
    for (const char* name : image_names) {
        const wxImage candidate(name, wxBITMAP_TYPE_ANY);
        if (same_pixels(shown, candidate)) return name;
    }
    return "";
}

}  // namespace gui_test
