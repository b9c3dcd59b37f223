// The positioner's read-out against the emulated board: the wire of its ticks, the rows and
// the overall image, failing and silent boards, and the hidden I2C and SSI service buttons.
#include <algorithm>
#include <array>
#include <chrono>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <wx/image.h>
#include <wx/weakref.h>

#include "fopanel_fixture.h"
#include "sqlite_rows.h"

namespace {

using fopanel_test::text;
using namespace std::chrono_literals;
using emu::direction;

// Transfers as text: each OUT packet as its bytes in hex up to the last non-zero one, then
// its length ("90d0/16"); each IN transfer as "in" ("in!" when it failed).
std::string wire_text(const std::vector<emu::transfer_record>& log) {
    std::string wire;
    for (const auto& record : log) {
        if (record.dir == direction::in) {
            wire += record.failed ? "in! " : "in ";
            continue;
        }
        wire += request_hex(record.data, 1) + "/" + std::to_string(record.data.size()) + " ";
    }
    return wire;
}

// The same text for bus operations written as "i" init, "s" start, "p" stop, "wD0" write
// 0xD0, "r1" read with acknowledge 1, "x" SSI read; each write, read and SSI request is
// 16 bytes and answered by one IN transfer.
std::string wire_of(const std::string& operations) {
    std::istringstream in(operations);
    std::vector<emu::transfer_record> log;
    for (std::string op; in >> op;) {
        const std::size_t kind = std::string("ispwrx").find(op[0]);
        std::vector<std::uint8_t> request(kind < 3 ? 1 : 16, 0);
        request[0] = std::array<std::uint8_t, 6>{0x8C, 0x8D, 0x8E, 0x90, 0x91, 0x92}.at(kind);
        if (op.size() > 1) request[1] = static_cast<std::uint8_t>(std::stoul(op.substr(1), nullptr, 16));
        log.push_back({direction::out, request, false});
        if (request.size() == 16) log.push_back({direction::in, {}, false});
    }
    return wire_text(log);
}

// Waking a sensor (write 0 to register 0x6B), then reading its identity (0x75) or its
// first two data words (from 0x3B).
std::string set_up(const std::string& address, const std::string& reading) {
    return "s w" + address + " w6B w00 s w" + address + " w75 s w" + reading + " r1 p ";
}
std::string sensor(const std::string& address, const std::string& reading) {
    return "s w" + address + " w6B w00 s w" + address + " w3B s w" + reading + " r0 r0 r0 r1 p ";
}

// The "I2C read" log: the address and select lines with their status, then the bytes read.
std::string diagnostic(const std::string& nack, const std::string& select, const std::vector<int>& bytes) {
    const std::string address = "I2C write address:\t104\tnACK: " + nack + "\n";
    std::string lines = address + address + "Select Register: 67, nAck: " + select + "\n" + address;
    for (int byte : bytes) lines += "I2C read  :\t" + std::to_string(byte) + "\n";
    return lines;
}

const std::string created = "\nCreated: 2019-20-12 16:52:50";
// One type with every target 0: a failed exchange read as 0 would look in position.
const char* const zero_targets = R"({"ShaftTypes": [{"ID": 1, "name": "Null", "X": 0.0, "Y": 0.0, "alpha": 0.0, "beta": 0.0}]})";
const char* const x100 = R"({"ShaftTypes": [{"ID": 1, "name": "X100", "X": 100.0, "Y": 0.0, "alpha": 0.0, "beta": 0.0}]})";

class PositionerReadout : public fopanel_test::positioner {
protected:
    // The first two data words of both sensors: A is a1 - a2, B is b1 - b2.
    void set_words(std::uint16_t a1, std::uint16_t b1, std::uint16_t a2, std::uint16_t b2) {
        const std::uint16_t words[] = {a1, b1, a2, b2};
        for (int i = 0; i < 4; ++i) emu_board().set_sensor_word(i / 2, i % 2, words[i]);
    }
    void TearDown() override {
        emu_board().clear_faults();
        fopanel_test::positioner::TearDown();
    }

    void ticks(int count) {
        for (int i = 0; i < count; ++i) panel->Render();
    }
    wxBitmapButton* indicator(int row) const {
        return std::array<wxBitmapButton*, 4>{panel->BitmapButton1, panel->BitmapButton2, panel->BitmapButton3,
                                              panel->BitmapButton4}[static_cast<std::size_t>(row)];
    }
    bool shows_no_reading(int row) const {
        const wxImage shown = indicator(row)->GetBitmapLabel().ConvertToImage();
        const wxImage tile = FoPanel::NoReadingBitmap().ConvertToImage();
        return shown.GetSize() == tile.GetSize() &&
               std::equal(shown.GetData(), shown.GetData() + 3 * shown.GetWidth() * shown.GetHeight(),
                          tile.GetData());
    }
    std::string overall() const { return shown(panel->BitmapButton5); }
    bool ok_shown() const { return overall() == "OK.png"; }
    // No board row shows a value or an OK mark, and the overall image is NOK.
    void expect_no_readings() const {
        for (int row : {0, 2, 3}) EXPECT_TRUE(shows_no_reading(row)) << "row " << row;
        for (const wxTextCtrl* field : {panel->TextCtrl1, panel->TextCtrl4, panel->TextCtrl5})
            EXPECT_EQ(text(field), "");
        EXPECT_EQ(overall(), "NOK.png");
    }
    std::string positioned_rows() const {
        return sqlite_rows(dir.file("Records.db"), "SELECT count(*) FROM events WHERE kind = 'positioned'").at(0);
    }
    std::size_t log_count(const std::string& line) const {
        const std::string log = text(panel->TextCtrl2);
        std::size_t count = 0;
        for (auto at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++count;
        return count;
    }
};

// The exact wire of the first tick (which sets the sensors up) and of the later ones.
// Each row counts for the overall image with its own tolerance: X 10, Y 10, A 250, B 250.
// The board holds X 5 off, A 100 over and B 100 under the targets: OK only with the
// designed tolerances; then each row in turn leaves its band and comes back.
TEST_F(PositionerReadout, TicksReadTheBoardAndEveryRowCountsWithItsOwnTolerance) {
    emu_board().set_encoder(95);
    emu_board().set_sensor_identity(1, 0x72);
    set_words(1100, 1000, 1000, 1100);
    open(x100);  // a tick of the frame's own before its timer is stopped finds no board
    expect_no_readings();
    plug(true);
    panel->TextCtrl3->SetValue("5");
    emu_board().clear_transfers();
    ticks(1);
    EXPECT_EQ(wire_text(emu_board().transfers()),
              wire_of("i " + set_up("D0", "D1") + set_up("D2", "D3") + sensor("D0", "D1") + sensor("D2", "D3") + "x"));
    EXPECT_TRUE(panel->CheckBox1->GetValue());
    EXPECT_EQ(text(panel->TextCtrl1), "") << "one SSI reading is not yet a position";
    EXPECT_EQ(text(panel->TextCtrl4), "100");
    EXPECT_EQ(text(panel->TextCtrl5), "-100");
    emu_board().clear_transfers();
    ticks(1);
    EXPECT_EQ(wire_text(emu_board().transfers()), wire_of(sensor("D0", "D1") + sensor("D2", "D3") + "x"));
    EXPECT_EQ(text(panel->TextCtrl2), created + "Reg 117: 104Reg 117: 114") << "the set-up runs once";
    EXPECT_EQ(text(panel->TextCtrl1), "95");
    EXPECT_FALSE(ok_shown()) << "a row needs two readings in band";
    ticks(1);
    for (int row = 0; row < 4; ++row) EXPECT_EQ(shown(indicator(row)), "ok-mark.png") << row;
    ASSERT_TRUE(ok_shown());

    const struct { int row; const char* arrow; std::function<void()> leave, back; } rows[] = {
        {0, "up-arrow.png", [] { emu_board().set_encoder(120); }, [] { emu_board().set_encoder(95); }},
        {1, "down-arrow.png", [this] { panel->TextCtrl3->SetValue("-11"); }, [this] { panel->TextCtrl3->SetValue("5"); }},
        // A mean moves 2000 / 8 = 250 a tick: 350 over its target after one.
        {2, "up-arrow.png", [this] { set_words(3100, 1000, 1000, 1100); }, [this] { set_words(1100, 1000, 1000, 1100); }},
        {3, "down-arrow.png", [this] { set_words(1100, 1000, 1000, 3100); }, [this] { set_words(1100, 1000, 1000, 1100); }},
    };
    for (const auto& d : rows) {
        SCOPED_TRACE("row " + std::to_string(d.row));
        d.leave();
        ticks(2);
        EXPECT_EQ(shown(indicator(d.row)), d.arrow);
        EXPECT_EQ(overall(), "NOK.png");
        d.back();
        for (int i = 0; i < 12 && !ok_shown(); ++i) ticks(1);
        EXPECT_TRUE(ok_shown());
    }

    // The hidden "I2C read" logs 14 bytes from register 67 of the first sensor; "SSI Read"
    // shows the encoder, or nothing when the read failed; with the board away every
    // exchange gives its not-connected result.
    emu_board().set_sensor_word(0, 4, 0x0102);  // registers 0x43 onwards: words 4, 5 and 6
    emu_board().set_sensor_word(0, 5, 0xFEFF);
    emu_board().set_sensor_word(0, 6, 0x8040);
    panel->TextCtrl2->Clear();
    emu_board().clear_transfers();
    gui_test::click(panel->Button3);
    EXPECT_EQ(text(panel->TextCtrl2), diagnostic("0", "0", {1, 2, 254, 255, 128, 64, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(wire_text(emu_board().transfers()),
              wire_of("s wD0 w6B w00 s wD0 w43 s wD1 r0 r0 r0 r0 r0 r0 r0 r0 r0 r0 r0 r0 r0 r1 p"));
    emu_board().set_encoder(0x123456);
    for (const bool fails : {false, true, false}) {
        if (fails) emu_board().fail_next(1, emu::fault::stall, direction::in);
        gui_test::click(panel->Button4);
        EXPECT_EQ(text(panel->TextCtrl1), fails ? "" : "1193046");
    }
    plug(false);
    panel->TextCtrl2->Clear();
    gui_test::click(panel->Button4);
    EXPECT_EQ(text(panel->TextCtrl1), "");
    gui_test::click(panel->Button2);
    gui_test::click(panel->Button3);
    EXPECT_EQ(text(panel->TextCtrl2), "I2c initialized\n" + diagnostic("-1", "2", std::vector<int>(14, 2)));
}

// With every target 0, three ways a shaft out of position once looked in position: samples
// from before a gap, sensors that do not answer (reads give 0xFF), a shaft that keeps moving.
// From the event on: no OK image, no OK mark on the rows concerned, no "positioned" row; the
// OK returns once fresh readings are in tolerance again.
TEST_F(PositionerReadout, StaleSilentOrMovingReadingsNeverShowOk) {
    emu_board().set_encoder(0);
    set_words(0, 0, 0, 0);
    open(zero_targets, true);
    panel->TextCtrl3->SetValue("0");
    const auto set_present = [](bool present) { for (int s : {0, 1}) emu_board().set_sensor_present(s, present); };
    std::uint32_t x = 0;
    const struct { const char* name; std::vector<int> rows; std::function<void()> event, each_tick, settle; } cases[] = {
        // Out while the shaft moves to A = 500 (band 250); the first reading after the gap is 500.
        {"gap", {2}, [&] { plug(false); ticks(1); set_words(500, 0, 0, 0); plug(true); }, [] {},
         [&] { set_words(0, 0, 0, 0); }},
        {"sensors off", {2, 3}, [&] { set_present(false); }, [] {}, [&] { set_present(true); }},
        // 250 counts a second, 50 a tick; it settles 3 counts off its target.
        {"moving", {0}, [] {}, [&] { emu_board().set_encoder(x += 50); }, [&] { emu_board().set_encoder(3); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (int i = 0; i < 12 && !ok_shown(); ++i) ticks(1);
        ASSERT_TRUE(ok_shown());
        const std::string positioned = positioned_rows();
        c.event();
        for (int tick = 0; tick < 12; ++tick) {
            c.each_tick();
            ticks(1);
            EXPECT_FALSE(ok_shown()) << "tick " << tick;
            for (int row : c.rows) EXPECT_NE(shown(indicator(row)), "ok-mark.png") << "tick " << tick;
        }
        EXPECT_EQ(positioned_rows(), positioned);
        c.settle();
        for (int i = 0; i < 12 && !ok_shown(); ++i) ticks(1);
        EXPECT_TRUE(ok_shown());
        for (int row : c.rows) EXPECT_EQ(shown(indicator(row)), "ok-mark.png");
    }
    EXPECT_EQ(log_count("Readings stopped: sensors 1 (0x68) and 2 (0x69) do not acknowledge their addresses"), 1u);
    EXPECT_EQ(sqlite_rows(dir.file("Records.db"), "SELECT quote(actual_x), actual_y, quote(actual_alpha) FROM events "
                                                  "WHERE kind = 'left' LIMIT 1"),
              std::vector<std::string>{"NULL|0.0|NULL"}) << "the board lost: no reading, not 0";
}

// Every reply failing for a while, in each way a reply can fail, with every target 0: no
// OK and no "0" from the failed exchanges, one log line each way, and the OK back once the
// board answers again. A silent board costs one transfer timeout, after which the screen
// stays live, and "Close" still ends the program.
TEST_F(PositionerReadout, FailingRepliesNeverShowAPositionAndTheOkReturnsAfterThem) {
    emu_board().set_encoder(0);
    set_words(0, 0, 0, 0);
    open(zero_targets, true);
    panel->TextCtrl3->SetValue("0");
    panel->timer->Start(200, wxTIMER_CONTINUOUS);
    ASSERT_TRUE(gui_test::pump_until([&] { return ok_shown(); }, 10s));
    const struct { emu::fault kind; const char* reason; } faults[] = {
        {emu::fault::stall, "Pipe error"},
        {emu::fault::short_reply, "reply too short"},
        {emu::fault::io_error, "Input/Output Error"},
        {emu::fault::timeout, "Operation timed out"},
    };
    for (const auto& f : faults) {
        SCOPED_TRACE(f.reason);
        const std::string stopped = std::string("Readings stopped: ") + f.reason;
        emu_board().fail_next(100000, f.kind, direction::in);
        ASSERT_TRUE(gui_test::pump_until([&] { return log_count(stopped) == 1; }, 30s));
        for (const auto until = std::chrono::steady_clock::now() + 1500ms; std::chrono::steady_clock::now() < until;) {
            gui_test::pump_for(20ms);  // a tick that waited out a timeout would freeze the screen here
            expect_no_readings();
            if (HasFailure()) break;
        }
        emu_board().clear_faults();
        EXPECT_TRUE(gui_test::pump_until([&] { return ok_shown(); }, 10s));
        EXPECT_EQ(log_count(stopped), 1u);
    }
    EXPECT_EQ(log_count("Readings resumed"), 4u);

    emu_board().fail_next(100000, emu::fault::timeout, direction::in);
    ASSERT_TRUE(gui_test::pump_until([&] { return log_count("Readings stopped: ") == 5; }, 30s));
    gui_test::click(panel->Button7);
    const wxWeakRef<Kelpon_v6Frame> alive(frame);
    EXPECT_TRUE(gui_test::pump_until([&] { return !alive; }, 5s)) << "Close waited for the silent board";
    frame = nullptr;
}

}  // namespace
