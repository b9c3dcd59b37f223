// The station's screens against the in-process emulated board, side by side with bare
// libusb transfers through the same emulation:
//
//   bench_station tick [ROUNDS]       positioner Render vs its 50 bare transfers
//   bench_station io [ROUNDS]         IO monitor Render vs its 3 bare transfers
//   bench_station reconnect [CYCLES]  plug-in to connected, pull-out to not connected
//   bench_station silent              a board that stops answering, and its recovery
//   bench_station records [ROUNDS]    one production record vs the positioner tick, and
//                                     the record file's growth per 10,000 positionings
//
// Run under a display and the umockdev preload: bench/run-bench.sh does both.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include <libusb.h>
#include <wx/app.h>
#include <wx/image.h>
#include <wx/init.h>
#include <wx/log.h>

#include "FoPanel.h"
#include "a_records.h"
#include "IO_Monitor_Panel.h"
#include "Kelpon_v6Frame.h"
#include "a_usb.h"
#include "bench_catalogues.h"
#include "bench_stats.h"
#include "board_emulator.h"
#include "catalogue.h"
#include "text_convert.h"
#include "usb_protocol.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr std::uint32_t encoder_value = 1000;
constexpr std::uint16_t sensor_word = 500;

void pump_once() {
    wxTheApp->Yield(true);
    wxTheApp->ProcessIdle();
    std::this_thread::sleep_for(1ms);
}

bool pump_until(const std::function<bool()>& cond, std::chrono::milliseconds limit) {
    const auto deadline = bench::clock::now() + limit;
    while (!cond()) {
        if (bench::clock::now() > deadline) return cond();
        pump_once();
    }
    return true;
}

// A fresh working folder with the images and a catalogue whose first type matches what the
// emulated board reports (every row inside its band) and whose second matches nothing.
std::string make_workdir() {
    char pattern[] = "/tmp/varnold-bench.XXXXXX";
    const std::string dir = mkdtemp(pattern);
    for (const char* image : {"up-arrow.png", "down-arrow.png", "ok-mark.png", "OK.png", "NOK.png"})
        fs::copy_file(fs::path(RESOURCES_DIR) / image, fs::path(dir) / image);
    std::vector<Type> types(2);
    types[0].name = "in band";
    types[0].X = static_cast<float>(encoder_value);
    types[1].name = "out of band";
    types[1].X = types[1].Y = types[1].alpha = types[1].beta = 5000.0f;
    catalogue::write_file_atomically(dir + "/Settings.dat", catalogue::to_json(types));
    if (chdir(dir.c_str()) != 0) std::perror("chdir");
    return dir;
}

void set_up_board(emu::board_emulator& board) {
    board.set_encoder(encoder_value);
    for (int sensor = 0; sensor < 2; ++sensor)
        for (int word = 0; word < 2; ++word) board.set_sensor_word(sensor, word, sensor_word);
}

// Replays recorded transfers with bare libusb calls on the link's handle.
int replay(a_usb& link, const std::vector<emu::transfer_record>& transfers) {
    std::lock_guard<std::mutex> lock(link.link_mutex);
    int failures = 0;
    unsigned char buffer[usb_protocol::packet_size];
    for (const emu::transfer_record& t : transfers) {
        int done = 0;
        int rc = 0;
        if (t.dir == emu::direction::out) {
            std::memcpy(buffer, t.data.data(), t.data.size());
            rc = libusb_bulk_transfer(link.handle, usb_protocol::endpoint_out, buffer,
                                      static_cast<int>(t.data.size()), &done, 10000);
        } else {
            rc = libusb_bulk_transfer(link.handle, usb_protocol::endpoint_in, buffer,
                                      static_cast<int>(sizeof buffer), &done, 10000);
        }
        if (rc != LIBUSB_SUCCESS) ++failures;
    }
    return failures;
}

struct station {
    emu::board_emulator& board;
    Kelpon_v6Frame* frame = nullptr;

    explicit station(emu::board_emulator& b) : board(b) {
        frame = new Kelpon_v6Frame(nullptr, wxID_ANY);
        frame->Show();
    }
    ~station() {
        frame->Close(true);
        pump_until([] { return wxTheApp->GetTopWindow() == nullptr; }, 5s);
        for (int i = 0; i < 20; ++i) pump_once();
    }
    a_usb& link() { return *frame->usb; }
    FoPanel* positioner() { return dynamic_cast<FoPanel*>(frame->current_panel); }
    IO_Monitor_Panel* monitor() { return dynamic_cast<IO_Monitor_Panel*>(frame->current_panel); }
    bool connected() { return link().connected.load(); }
};

// The transfers one call of render makes; the timed runs then go unrecorded.
std::vector<emu::transfer_record> record_transfers(emu::board_emulator& board, const std::function<void()>& render) {
    board.clear_transfers();
    board.record_transfers(true);
    render();
    auto log = board.transfers();
    board.record_transfers(false);
    board.clear_transfers();
    return log;
}

void print_series(const char* label, const std::vector<double>& v) {
    std::printf("  %-50s median %8.3f ms  p90 %8.3f ms  worst %8.3f ms  (n=%zu)\n", label, bench::median(v),
                bench::percentile(v, 90), bench::worst(v), v.size());
}

// Four row indicators shown as a tick in band once showed them, each a new load of its
// file, then set and fit: what reading the images once and leaving them alone saves.
double image_cost(FoPanel* panel) {
    return bench::time_ms([panel] {
        for (wxBitmapButton* button :
             {panel->BitmapButton1, panel->BitmapButton2, panel->BitmapButton3, panel->BitmapButton4}) {
            wxLogNull quiet;
            wxImage image;
            image.LoadFile("ok-mark.png", wxBITMAP_TYPE_ANY, -1);
            button->SetBitmap(wxBitmap(image, -1));
            button->SetBitmapPosition(wxLEFT);
            button->Fit();
        }
    });
}

// The positioner after its first connected tick, its timer stopped so the benchmark
// drives every tick itself; null (and a line on stderr) when the board never answered.
FoPanel* stopped_connected_positioner(station& s) {
    FoPanel* panel = s.positioner();
    if (!pump_until([&] { return s.connected() && panel->sensors_ready; }, 10s)) {
        std::fprintf(stderr, "the positioner never reached a connected tick\n");
        return nullptr;
    }
    panel->timer->Stop();
    return panel;
}

int bench_tick(emu::board_emulator& board, int rounds) {
    station s(board);
    FoPanel* panel = stopped_connected_positioner(s);
    if (panel == nullptr) return 1;
    panel->Render();
    const auto transfers = record_transfers(board, [panel] { panel->Render(); });
    std::printf("positioner tick: %zu transfers per connected tick\n", transfers.size());

    std::vector<double> in_band, out_of_band, bare, images;
    int bare_failures = 0;
    const int block = 10;
    for (int r = 0; r < rounds; r += block) {
        panel->selected_index = 0;
        panel->Render();  // back inside the band: the OK marks come from the next tick on
        panel->Render();
        for (int i = 0; i < block; ++i) {
            in_band.push_back(bench::time_ms([panel] { panel->Render(); }));
            pump_once();
            bare.push_back(bench::time_ms([&] { bare_failures += replay(s.link(), transfers); }));
            images.push_back(image_cost(panel));
            pump_once();
        }
        panel->selected_index = 1;
        panel->Render();  // the arrows are loaded on this tick and then stay
        for (int i = 0; i < block; ++i) {
            out_of_band.push_back(bench::time_ms([panel] { panel->Render(); }));
            pump_once();
        }
    }
    const double bare_ms = bench::median(bare);
    print_series("Render, rows in band", in_band);
    print_series("Render, rows out of band", out_of_band);
    print_series("bare libusb: the same transfers", bare);
    print_series("4 indicator PNG loads + set + fit (not made)", images);
    std::printf("  ratio in band / bare %.3f (target <= 1.02), out of band / bare %.3f; PNG loads %.1f%% of bare\n",
                bench::median(in_band) / bare_ms, bench::median(out_of_band) / bare_ms,
                100.0 * bench::median(images) / bare_ms);
    if (bare_failures) std::printf("  bare transfers that failed: %d\n", bare_failures);
    return bare_failures == 0 ? 0 : 1;
}

int bench_io(emu::board_emulator& board, int rounds) {
    station s(board);
    s.frame->SwitchPanel(1);
    IO_Monitor_Panel* panel = nullptr;
    if (!pump_until([&] { return (panel = s.monitor()) != nullptr && s.connected(); }, 10s)) {
        std::fprintf(stderr, "the IO monitor never came up connected\n");
        return 1;
    }
    pump_until([] { return false; }, 200ms);
    panel->timer->Stop();
    const auto transfers = record_transfers(board, [panel] { panel->Render(); });
    std::printf("IO monitor refresh: %zu transfers per refresh\n", transfers.size());
    // Sets the board's inputs (when all_inputs) and both analog channels to values that
    // differ from the last ones, and lets one refresh take them in, so that the timed refresh
    // after the next change rewrites those read-outs.
    auto change_board = [&board](int step, bool all_inputs) {
        if (all_inputs)
            for (int input = 1; input <= 12; ++input) board.set_input(input, static_cast<std::uint8_t>((step + input) % 2));
        board.set_analog(0, static_cast<std::uint16_t>(step % 1000));
        board.set_analog(1, static_cast<std::uint16_t>(step % 1000 + 1));
    };
    std::vector<double> render, analog, changing, bare;
    int bare_failures = 0;
    for (int r = 0; r < rounds; ++r) {
        render.push_back(bench::time_ms([panel] { panel->Render(); }));
        pump_once();
        for (const bool all_inputs : {false, true}) {
            change_board(2 * r, all_inputs);
            panel->Render();
            change_board(2 * r + 1, all_inputs);
            (all_inputs ? changing : analog).push_back(bench::time_ms([panel] { panel->Render(); }));
            pump_once();
        }
        bare.push_back(bench::time_ms([&] { bare_failures += replay(s.link(), transfers); }));
    }
    print_series("IO monitor Render, board values steady", render);
    print_series("IO monitor Render, the 2 analog read-outs change", analog);
    print_series("IO monitor Render, all 14 read-outs change", changing);
    print_series("bare libusb: the same transfers", bare);
    const double bare_ms = bench::median(bare);
    std::printf("  ratio Render / bare: steady %.3f, analog changing %.3f, all changing %.3f (target <= 1.10)\n",
                bench::median(render) / bare_ms, bench::median(analog) / bare_ms, bench::median(changing) / bare_ms);
    return bare_failures == 0 ? 0 : 1;
}

int bench_reconnect(emu::board_emulator& board, int cycles) {
    station s(board);
    s.positioner()->timer->Stop();  // the connection thread alone: no tick sees the loss first
    if (!pump_until([&] { return s.connected(); }, 10s)) return 1;
    std::vector<double> to_connected, to_lost;
    unsigned seed = 12345;
    for (int c = 0; c < cycles; ++c) {
        // A pseudo-random wait puts each change at a different point of the 200 ms cycle.
        seed = seed * 1103515245u + 12345u;
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + (seed >> 16) % 200));
        const auto out = bench::clock::now();
        board.unplug();
        while (s.connected()) std::this_thread::sleep_for(200us);
        to_lost.push_back(bench::ms_since(out));
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + (seed >> 8) % 200));
        const auto in = bench::clock::now();
        board.plug_in();
        const bool back = [&] {
            while (!s.connected()) {
                if (bench::ms_since(in) > 5000) return false;
                std::this_thread::sleep_for(200us);
            }
            return true;
        }();
        if (!back) {
            std::printf("cycle %d: no reconnection within 5 s\n", c);
            return 1;
        }
        to_connected.push_back(bench::ms_since(in));
    }
    std::printf("reconnection over %d cycles (connection cycle 200 ms):\n", cycles);
    print_series("plug-in to connected", to_connected);
    print_series("pull-out to not connected", to_lost);
    return 0;
}

// A board that stops answering: what the screens do, and that they come back.
int bench_silent(emu::board_emulator& board) {
    station s(board);
    FoPanel* panel = s.positioner();
    if (!pump_until([&] { return s.connected() && panel->sensors_ready; }, 10s)) return 1;
    panel->timer->Stop();
    panel->Render();
    const int silent = 3;
    board.fail_next(silent, emu::fault::timeout, emu::direction::out);
    const double blocked = bench::time_ms([panel] { panel->Render(); });
    std::printf("positioner: %d unanswered requests blocked one tick for %.0f ms; connected afterwards: %s\n",
                silent, blocked, s.connected() ? "yes" : "no");
    board.set_encoder(4242);
    panel->timer->Start(200);
    const bool recovered = pump_until([panel] { return panel->TextCtrl1->GetValue() == "4242"; }, 5s);
    std::printf("positioner: X field follows the board again after it answers: %s\n", recovered ? "yes" : "no");

    s.frame->SwitchPanel(1);
    IO_Monitor_Panel* monitor = nullptr;
    if (!pump_until([&] { return (monitor = s.monitor()) != nullptr; }, 5s)) return 1;
    pump_until([] { return false; }, 100ms);
    monitor->timer->Stop();
    board.fail_next(2, emu::fault::timeout, emu::direction::out);
    const double io_blocked = bench::time_ms([monitor] { monitor->Render(); });
    std::printf("IO monitor: a silent board blocked one refresh for %.0f ms (one 10 s read; nothing more is sent)\n", io_blocked);
    board.set_input(1, 9);
    monitor->timer->Start(IO_Monitor_Panel::refresh_ms);
    const bool io_back =
        pump_until([monitor] { return monitor->InputButtons[0]->GetLabel() == "Input 1 : 9"; }, 5s);
    std::printf("IO monitor: inputs follow the board again: %s\n", io_back ? "yes" : "no");
    return recovered && io_back ? 0 : 1;
}

// Bytes of a fresh record file after count positionings (and as many leavings when paired),
// with the file closed, so the write-ahead log is folded in.
std::uintmax_t file_growth(int count, bool with_leaving) {
    const std::string path = "growth/Records.db";
    fs::remove_all("growth");
    fs::create_directory("growth");
    {
        a_records file(path);
        const records::type_values type{12, "Tengely 40x250", {15230.0f, 0.0f, 1200.0f, -800.0f}};
        for (int i = 0; i < count; ++i) {
            const records::readings actual{15228.0 + i % 5, 0.0, 1180.0 + i % 41, -790.0 - i % 37};
            file.add(records::positioning(records::kind::positioned, type, actual));
            if (with_leaving) file.add(records::positioning(records::kind::left, type, actual));
        }
    }
    return fs::file_size(path);
}

int bench_records(emu::board_emulator& board, int rounds) {
    station s(board);
    FoPanel* panel = stopped_connected_positioner(s);
    if (panel == nullptr) return 1;
    a_records& file = *s.frame->record_file;
    const records::type_values type{1, "in band", {static_cast<float>(encoder_value), 0.0f, 0.0f, 0.0f}};
    std::vector<double> ticks, writes;
    for (int r = 0; r < rounds; ++r) {
        ticks.push_back(bench::time_ms([panel] { panel->Render(); }));
        pump_once();
        writes.push_back(bench::time_ms([&] {
            file.add(records::positioning(records::kind::positioned, type, {1000.0, 0.0, 0.0, 0.0}));
        }));
        pump_once();
    }
    print_series("Render, connected tick", ticks);
    print_series("one record written (insert + commit, WAL)", writes);
    std::printf("  one record = %.2f%% of the tick's median (target < 5%%); records left waiting: %zu\n",
                100.0 * bench::median(writes) / bench::median(ticks), file.pending());
    for (const bool paired : {false, true}) {
        const std::uintmax_t bytes = file_growth(10000, paired);
        std::printf("  10,000 positionings%s: %ju bytes, %.1f bytes per row\n",
                    paired ? " and their 10,000 leavings" : "", bytes,
                    static_cast<double>(bytes) / (paired ? 20000.0 : 10000.0));
    }
    return file.pending() == 0 ? 0 : 1;
}

int run(const std::string& mode, int count) {
    emu::board_emulator board(true);
    set_up_board(board);
    if (mode == "tick") return bench_tick(board, count > 0 ? count : 300);
    if (mode == "io") return bench_io(board, count > 0 ? count : 2000);
    if (mode == "reconnect") return bench_reconnect(board, count > 0 ? count : 100);
    if (mode == "silent") return bench_silent(board);
    if (mode == "records") return bench_records(board, count > 0 ? count : 300);
    std::fprintf(stderr, "usage: bench_station tick|io|reconnect|silent|records [COUNT]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_station tick|io|reconnect|silent|records [COUNT]\n");
        return 2;
    }
    if (!emu::preload_active()) {
        std::fprintf(stderr, "run under LD_PRELOAD=libumockdev-preload.so.0 (bench/run-bench.sh)\n");
        return 2;
    }
    const std::string mode = argv[1];
    const int count = argc > 2 ? std::atoi(argv[2]) : 0;
    const std::string workdir = make_workdir();
    use_environment_locale();
    int wx_argc = 1;
    wxApp::SetInstance(new wxApp);
    if (!wxEntryStart(wx_argc, argv)) {
        std::fprintf(stderr, "needs a display\n");
        return 2;
    }
    delete wxLog::SetActiveTarget(new wxLogStderr);
    wxTheApp->CallOnInit();
    wxInitAllImageHandlers();
    const int result = run(mode, count);
    wxTheApp->OnExit();
    wxEntryCleanup();
    fs::remove_all(workdir);
    return result;
}
