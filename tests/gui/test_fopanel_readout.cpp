// The positioner's read-out tick against the emulated board, and its indicators.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <wx/app.h>
#include <wx/image.h>
#include <wx/weakref.h>

#include "fopanel_fixture.h"

namespace {

using fopanel_test::text;
using namespace std::chrono_literals;
using emu::direction;

// The OUT packets of one tick as the board must see them; IN transfers are checked by
// position (each write, read and SSI request is answered by one IN transfer).
class wire {
public:
    wire& init() { return single(0x8C); }
    wire& start() { return single(0x8D); }
    wire& stop() { return single(0x8E); }
    wire& write(std::uint8_t byte) { return with_reply(0x90, byte); }
    wire& read(std::uint8_t acknowledge) { return with_reply(0x91, acknowledge); }
    wire& ssi() { return with_reply(0x92, 0); }

    wire& set_up(std::uint8_t address) {
        start().write(address).write(0x6B).write(0x00);
        start().write(address).write(0x75);
        return start().write(static_cast<std::uint8_t>(address + 1)).read(1).stop();
    }
    wire& sensor(std::uint8_t address) {
        start().write(address).write(0x6B).write(0x00);
        start().write(address).write(0x3B);
        start().write(static_cast<std::uint8_t>(address + 1));
        return read(0).read(0).read(0).read(1).stop();
    }

    std::vector<emu::transfer_record> records;
    int operations = 0;

private:
    wire& single(std::uint8_t command) {
        records.push_back({direction::out, {command}, false});
        ++operations;
        return *this;
    }
    wire& with_reply(std::uint8_t command, std::uint8_t argument) {
        std::vector<std::uint8_t> request(16, 0);
        request[0] = command;
        request[1] = argument;
        records.push_back({direction::out, request, false});
        records.push_back({direction::in, {}, false});
        ++operations;
        return *this;
    }
};

void expect_wire(const std::vector<emu::transfer_record>& seen, const wire& expected) {
    ASSERT_EQ(seen.size(), expected.records.size());
    for (std::size_t i = 0; i < seen.size(); ++i) {
        SCOPED_TRACE("transfer " + std::to_string(i));
        ASSERT_EQ(seen[i].dir, expected.records[i].dir);
        EXPECT_FALSE(seen[i].failed);
        if (seen[i].dir == direction::out) {
            EXPECT_EQ(seen[i].data, expected.records[i].data);
        }
    }
}

class PositionerReadout : public fopanel_test::positioner {
protected:
    void set_words(std::uint16_t a1, std::uint16_t b1, std::uint16_t a2, std::uint16_t b2) {
        emu_board().set_sensor_word(0, 0, a1);
        emu_board().set_sensor_word(0, 1, b1);
        emu_board().set_sensor_word(1, 0, a2);
        emu_board().set_sensor_word(1, 1, b2);
    }
    void SetUp() override {
        set_words(0, 0, 0, 0);
        emu_board().set_sensor_identity(0, 0x68);
        emu_board().set_sensor_identity(1, 0x72);
        emu_board().set_encoder(0);
        emu_board().clear_faults();
    }
    void TearDown() override {
        emu_board().clear_faults();
        fopanel_test::positioner::TearDown();
    }

    void ticks(int count) {
        for (int i = 0; i < count; ++i) panel->Render();
    }
    wxBitmapButton* indicator(int row) const {
        wxBitmapButton* const rows[4] = {panel->BitmapButton1, panel->BitmapButton2, panel->BitmapButton3,
                                         panel->BitmapButton4};
        return rows[row];
    }
    bool shows_no_reading(int row) const {
        const wxImage shown = indicator(row)->GetBitmapLabel().ConvertToImage();
        const wxImage tile = FoPanel::NoReadingBitmap().ConvertToImage();
        return shown.GetSize() == tile.GetSize() &&
               std::equal(shown.GetData(), shown.GetData() + 3 * shown.GetWidth() * shown.GetHeight(),
                          tile.GetData());
    }
    std::string overall() const { return shown(panel->BitmapButton5); }
    // No board row shows a value or an OK mark, and the overall image is NOK.
    void expect_no_readings() const {
        for (int row : {0, 2, 3}) {
            EXPECT_TRUE(shows_no_reading(row)) << "row " << row;
            EXPECT_NE(shown(indicator(row)), "ok-mark.png") << "row " << row;
        }
        for (const wxTextCtrl* field : {panel->TextCtrl1, panel->TextCtrl4, panel->TextCtrl5})
            EXPECT_EQ(text(field), "");
        EXPECT_EQ(overall(), "NOK.png");
    }
    std::size_t log_count(const std::string& line) const {
        const std::string log = text(panel->TextCtrl2);
        std::size_t count = 0;
        for (auto at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++count;
        return count;
    }
    bool ok_shown() const { return overall() == "OK.png"; }
};

// One type with every target 0: a failed exchange read as 0 would look in position.
const char* const zero_targets = R"({"ShaftTypes": [{"ID": 1, "name": "Null", "X": 0.0, "Y": 0.0, "alpha": 0.0, "beta": 0.0}]})";
const char* const x100 = R"({"ShaftTypes": [{"ID": 1, "name": "X100", "X": 100.0, "Y": 0.0, "alpha": 0.0, "beta": 0.0}]})";

TEST_F(PositionerReadout, FirstAndLaterTicksPutTheExactSequencesOnTheWire) {
    open(fopanel_test::three_types, true);
    emu_board().clear_transfers();
    panel->Render();
    wire first;
    first.init().set_up(0xD0).set_up(0xD2).sensor(0xD0).sensor(0xD2).ssi();
    EXPECT_EQ(first.operations, 1 + 11 * 2 + 29);
    expect_wire(emu_board().transfers(), first);
    EXPECT_TRUE(panel->CheckBox1->GetValue());
    EXPECT_EQ(text(panel->TextCtrl2), "\nCreated: 2019-20-12 16:52:50Reg 117: 104Reg 117: 114");

    emu_board().clear_transfers();
    panel->Render();
    wire later;
    later.sensor(0xD0).sensor(0xD2).ssi();
    EXPECT_EQ(later.operations, 29);
    expect_wire(emu_board().transfers(), later);
    EXPECT_EQ(text(panel->TextCtrl2), "\nCreated: 2019-20-12 16:52:50Reg 117: 104Reg 117: 114")
        << "the set-up ran again";
}


// Each row counts for the overall image with its own tolerance: X 10, Y 10, A 250, B 250.
// The board holds X 5 off, A 100 over and B 100 under the targets: OK only with the
// designed tolerances; then each row in turn leaves its band and comes back.
TEST_F(PositionerReadout, EveryRowCountsForTheOverallImageWithItsOwnTolerance) {
    emu_board().set_encoder(95);
    set_words(1100, 1000, 1000, 1100);
    open(x100, true);
    expect_no_readings();
    panel->TextCtrl3->SetValue("5");
    ticks(1);
    EXPECT_EQ(text(panel->TextCtrl1), "") << "one SSI reading is not yet a position";
    EXPECT_TRUE(shows_no_reading(0));
    EXPECT_EQ(text(panel->TextCtrl4), "100");
    EXPECT_EQ(text(panel->TextCtrl5), "-100");
    ticks(1);
    EXPECT_EQ(text(panel->TextCtrl1), "95");
    EXPECT_FALSE(ok_shown()) << "a row needs two readings in band";
    ticks(1);
    for (int row = 0; row < 4; ++row) EXPECT_EQ(shown(indicator(row)), "ok-mark.png") << row;
    ASSERT_TRUE(ok_shown());

    struct disturbance {
        int row;
        const char* arrow;
        std::function<void()> leave, back;
    };
    const disturbance rows[] = {
        {0, "up-arrow.png", [] { emu_board().set_encoder(120); }, [] { emu_board().set_encoder(95); }},
        {1, "down-arrow.png", [this] { panel->TextCtrl3->SetValue("-11"); }, [this] { panel->TextCtrl3->SetValue("5"); }},
        // A mean moves 2000 / 8 = 250 a tick: 350 over its target after one.
        {2, "up-arrow.png", [this] { set_words(3100, 1000, 1000, 1100); }, [this] { set_words(1100, 1000, 1000, 1100); }},
        {3, "down-arrow.png", [this] { set_words(1100, 1000, 1000, 3100); }, [this] { set_words(1100, 1000, 1000, 1100); }},
    };
    for (const disturbance& d : rows) {
        SCOPED_TRACE("row " + std::to_string(d.row));
        d.leave();
        ticks(2);
        EXPECT_EQ(shown(indicator(d.row)), d.arrow);
        EXPECT_EQ(overall(), "NOK.png");
        d.back();
        for (int i = 0; i < 12 && !ok_shown(); ++i) ticks(1);
        EXPECT_TRUE(ok_shown());
    }
}

// Every reply failing for a while, in each way a reply can fail, with every target 0: no
// OK and no "0" from the failed exchanges, one log line each way, and the OK back once the
// board answers properly again.
TEST_F(PositionerReadout, FailingRepliesNeverShowAPositionAndTheOkReturnsAfterThem) {
    open(zero_targets, true);
    panel->TextCtrl3->SetValue("0");
    panel->timer->Start(200, wxTIMER_CONTINUOUS);
    ASSERT_TRUE(gui_test::pump_until([&] { return ok_shown(); }, 5000ms));
    const struct { emu::fault kind; const char* reason; } faults[] = {
        {emu::fault::stall, "Pipe error"},
        {emu::fault::short_reply, "reply too short"},
        {emu::fault::io_error, "Input/Output Error"},
    };
    for (const auto& f : faults) {
        SCOPED_TRACE(f.reason);
        const std::string stopped = std::string("Readings stopped: ") + f.reason;
        emu_board().fail_next(100000, f.kind, direction::in);
        ASSERT_TRUE(gui_test::pump_until([&] { return log_count(stopped) == 1; }, 3000ms));
        const auto until = std::chrono::steady_clock::now() + 1500ms;
        while (std::chrono::steady_clock::now() < until) {
            gui_test::pump_for(20ms);
            expect_no_readings();
            if (HasFailure()) break;
        }
        emu_board().clear_faults();
        EXPECT_TRUE(gui_test::pump_until([&] { return ok_shown(); }, 5000ms));
        EXPECT_EQ(log_count(stopped), 1u);
    }
    EXPECT_EQ(log_count("Readings resumed"), 3u);

    // The board pulled while OK is shown: the next tick takes the OK away.
    panel->timer->Stop();
    emu_board().unplug();
    ticks(1);
    expect_no_readings();
    wait_connected(false);
    ticks(1);
    EXPECT_FALSE(panel->CheckBox1->GetValue());
    expect_no_readings();
    plug(true);
    ticks(3);
    EXPECT_TRUE(ok_shown());
    EXPECT_EQ(log_count("Readings stopped: "), 4u);
    EXPECT_EQ(log_count("Readings resumed"), 4u);
}

// A board that stops answering costs the screen one transfer timeout; after it the screen
// stays live, the read-out comes back by itself when the board answers, and "Close" ends
// the program about one timeout after the board went silent.
TEST_F(PositionerReadout, SilentBoardCostsOneTimeoutAndTheReadoutResumesByItself) {
    open(zero_targets, true);
    panel->TextCtrl3->SetValue("0");
    panel->timer->Start(200, wxTIMER_CONTINUOUS);
    ASSERT_TRUE(gui_test::pump_until([&] { return ok_shown(); }, 5000ms));
    const auto since = [](std::chrono::steady_clock::time_point start) {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };

    auto silent = std::chrono::steady_clock::now();
    emu_board().fail_next(100000, emu::fault::timeout, direction::in);
    ASSERT_TRUE(gui_test::pump_until([&] { return log_count("Readings stopped: Operation timed out") == 1; }, 15000ms));
    std::printf("first unanswered transfer to a live screen: %.1f s\n", since(silent));
    emu_board().clear_transfers();
    for (int i = 0; i < 5; ++i) {
        bool handled = false;
        wxTheApp->CallAfter([&] { handled = true; });
        EXPECT_TRUE(gui_test::pump_until([&] { return handled; }, 300ms)) << "the screen froze";
        expect_no_readings();
    }
    for (const auto& record : emu_board().transfers())
        EXPECT_TRUE(record.dir == direction::in || record.data == std::vector<std::uint8_t>{0x82})
            << "only the link's probes reach a silent board";

    emu_board().clear_faults();
    const auto answering = std::chrono::steady_clock::now();
    ASSERT_TRUE(gui_test::pump_until([&] { return ok_shown(); }, 5000ms));
    std::printf("board answers again to OK shown: %.1f s\n", since(answering));
    EXPECT_EQ(log_count("Readings resumed"), 1u);

    silent = std::chrono::steady_clock::now();
    emu_board().fail_next(100000, emu::fault::timeout, direction::in);
    ASSERT_TRUE(gui_test::pump_until([&] { return log_count("Readings stopped: ") == 2; }, 15000ms));
    gui_test::click(panel->Button7);
    wxWeakRef<Kelpon_v6Frame> alive(frame);
    EXPECT_TRUE(gui_test::pump_until([&] { return !alive; }, 3000ms));
    std::printf("board silent to the program closed: %.1f s\n", since(silent));
    EXPECT_LT(since(silent), 15.0);
    frame = nullptr;
}

}  // namespace
