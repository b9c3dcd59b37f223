// The positioner's read-out tick against the emulated board, and its indicators.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <libusb.h>

#include <wx/image.h>

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
    }
};

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

TEST_F(PositionerReadout, SensorWindowsAverageTheLastEightAndSurviveALinkDrop) {
    open(fopanel_test::three_types, true);
    set_words(1000, 0xFFFF, 400, 0);
    panel->Render();
    EXPECT_EQ(text(panel->TextCtrl4), "600");
    EXPECT_EQ(text(panel->TextCtrl5), "65535") << "words are unsigned";

    // Sensor 1's first word 100, 200, ... 800 over eight ticks (the first was 1000).
    for (int k = 1; k <= 7; ++k) {
        set_words(static_cast<std::uint16_t>(100 * k), 0, 0, 0);
        panel->Render();
    }
    ASSERT_EQ(panel->a_samples_1.size(), 8u);
    // (1000 + 100 + ... + 700) / 8 = 3800 / 8 = 475; sensor 2: (400 + 0 * 7) / 8 = 50.
    EXPECT_EQ(text(panel->TextCtrl4), "425");
    set_words(800, 0, 0, 0);
    panel->Render();  // pushes the 1000 and the 400 out
    ASSERT_EQ(panel->a_samples_1.size(), 8u);
    EXPECT_EQ(text(panel->TextCtrl4), "450");  // (100 + ... + 800) / 8
    EXPECT_EQ(text(panel->TextCtrl5), "0");

    // The link drops: no exchange, fields kept, windows kept.
    plug(false);
    emu_board().clear_transfers();
    panel->Render();
    EXPECT_FALSE(panel->CheckBox1->GetValue());
    EXPECT_TRUE(emu_board().transfers().empty());
    EXPECT_EQ(text(panel->TextCtrl4), "450");
    EXPECT_EQ(panel->a_samples_1.size(), 8u);

    plug(true);
    set_words(1700, 0, 0, 0);
    const std::string log_before = text(panel->TextCtrl2);
    panel->Render();
    EXPECT_TRUE(panel->CheckBox1->GetValue());
    EXPECT_EQ(text(panel->TextCtrl2), log_before + "Reg 117: 104Reg 117: 114") << "sensors not set up again";
    EXPECT_EQ(text(panel->TextCtrl4), "650");  // (200 + ... + 800 + 1700) / 8
}

TEST_F(PositionerReadout, MeanDifferenceOfMinusPointFourShowsMinusZero) {
    open(fopanel_test::three_types, true);
    // Windows a1 = {0, 0, 0, 0, 1}, a2 = {0, 0, 0, 0, 3}: 0.2 - 0.6 = -0.4.
    for (int tick = 0; tick < 4; ++tick) panel->Render();
    set_words(1, 0, 3, 0);
    panel->Render();
    EXPECT_EQ(text(panel->TextCtrl4), "-0");
    EXPECT_EQ(panel->deviation[2], -0.4f) << "target -0.4 minus actual 0";
}

TEST_F(PositionerReadout, XIsWrittenOnlyWhenTwoSuccessiveSsiReadingsAgree) {
    open(fopanel_test::three_types, true);
    emu_board().set_encoder(1000);
    panel->Render();  // previous reading 0
    EXPECT_EQ(text(panel->TextCtrl1), "");
    panel->Render();
    EXPECT_EQ(text(panel->TextCtrl1), "1000");
    emu_board().set_encoder(1001);
    panel->Render();
    EXPECT_EQ(text(panel->TextCtrl1), "1000");
    panel->Render();
    EXPECT_EQ(text(panel->TextCtrl1), "1001");
    emu_board().set_encoder(16777215);
    panel->Render();
    panel->Render();
    EXPECT_EQ(text(panel->TextCtrl1), "16777215");
}

// Row X against target 100 with tolerance 10, the board away; rows Y, A and B sit in band.
TEST_F(PositionerReadout, RowIndicatorsFollowTheBandRules) {
    open();
    panel->TextCtrl3->SetValue("2");
    panel->TextCtrl4->SetValue("-0");
    panel->TextCtrl5->SetValue("0");

    panel->TextCtrl1->SetValue("95");
    panel->Render();  // previous deviations start at 0: OK at once
    EXPECT_EQ(shown(panel->BitmapButton1), "ok-mark.png");
    EXPECT_EQ(shown(panel->BitmapButton2), "ok-mark.png");
    EXPECT_EQ(shown(panel->BitmapButton5), "OK.png");
    EXPECT_FALSE(panel->CheckBox1->GetValue());

    panel->TextCtrl1->SetValue("85");  // deviation 15
    panel->Render();
    EXPECT_EQ(shown(panel->BitmapButton1), "down-arrow.png");
    EXPECT_EQ(shown(panel->BitmapButton5), "NOK.png");
    panel->Render();
    EXPECT_EQ(shown(panel->BitmapButton1), "down-arrow.png");

    panel->TextCtrl1->SetValue("90");  // exactly on the edge: kept
    panel->Render();
    EXPECT_EQ(shown(panel->BitmapButton1), "down-arrow.png");
    panel->TextCtrl1->SetValue("95");  // inside, but the tick before was on the edge
    panel->Render();
    EXPECT_EQ(shown(panel->BitmapButton1), "down-arrow.png");
    panel->Render();
    EXPECT_EQ(shown(panel->BitmapButton1), "ok-mark.png");
    EXPECT_EQ(shown(panel->BitmapButton5), "OK.png");

    panel->TextCtrl1->SetValue("110");  // edge after OK: the OK mark stays
    panel->Render();
    EXPECT_EQ(shown(panel->BitmapButton1), "ok-mark.png");
    EXPECT_TRUE(panel->row_ok[0]);
    panel->TextCtrl1->SetValue("115");  // deviation -15
    panel->Render();
    EXPECT_EQ(shown(panel->BitmapButton1), "up-arrow.png");
    EXPECT_EQ(shown(panel->BitmapButton5), "NOK.png");
    panel->TextCtrl1->SetValue("85");  // straight across the band
    panel->Render();
    EXPECT_EQ(shown(panel->BitmapButton1), "down-arrow.png");
}

TEST_F(PositionerReadout, OverallImageIsLoadedOnlyWhenTheStateChanges) {
    open();
    panel->TextCtrl1->SetValue("100");
    panel->TextCtrl3->SetValue("2");
    panel->Render();
    ASSERT_EQ(shown(panel->BitmapButton5), "OK.png");
    const wxImage ok_picture = panel->BitmapButton5->GetBitmapLabel().ConvertToImage();

    // With the file gone a reload would leave an empty picture.
    std::filesystem::remove("OK.png");
    for (int tick = 0; tick < 3; ++tick) panel->Render();
    const wxImage still = panel->BitmapButton5->GetBitmapLabel().ConvertToImage();
    ASSERT_TRUE(still.IsOk());
    EXPECT_EQ(still.GetSize(), ok_picture.GetSize());
    EXPECT_TRUE(std::equal(still.GetData(), still.GetData() + 3 * still.GetWidth() * still.GetHeight(),
                           ok_picture.GetData()));

    std::filesystem::remove("NOK.png");
    panel->TextCtrl1->SetValue("0");
    panel->Render();  // to NOK, whose file is gone: no picture, but no crash and no dialog
    EXPECT_FALSE(panel->all_ok);
    EXPECT_EQ(shown(panel->BitmapButton1), "down-arrow.png");
}

TEST_F(PositionerReadout, SelectionAndTypedActualsMoveIndicatorsButTypedTargetsDoNot) {
    open();
    panel->TextCtrl1->SetValue("95");
    panel->TextCtrl3->SetValue("2");
    panel->Render();
    ASSERT_EQ(shown(panel->BitmapButton1), "ok-mark.png");

    // Typed targets are only a display.
    panel->TextCtrl7->SetValue("500");
    panel->TextCtrl8->SetValue("500");
    panel->Render();
    EXPECT_EQ(shown(panel->BitmapButton1), "ok-mark.png");
    EXPECT_EQ(shown(panel->BitmapButton2), "ok-mark.png");

    // Typed actual Y: nothing until the next tick.
    panel->TextCtrl3->SetValue("50");
    EXPECT_EQ(shown(panel->BitmapButton2), "ok-mark.png");
    panel->Render();
    EXPECT_EQ(shown(panel->BitmapButton2), "up-arrow.png");
    EXPECT_EQ(shown(panel->BitmapButton5), "NOK.png");

    // Another type while the board is away: X target 500 against 95.
    gui_test::choose(panel->Choice1, 2);
    EXPECT_EQ(shown(panel->BitmapButton1), "ok-mark.png");
    panel->Render();
    EXPECT_EQ(shown(panel->BitmapButton1), "down-arrow.png");
}

TEST_F(PositionerReadout, EmptyCatalogueStillMirrorsTheLinkAndReadsTheBoard) {
    open(nullptr, true);
    set_words(500, 0, 100, 0);
    emu_board().set_encoder(7);
    emu_board().clear_transfers();
    for (int tick = 0; tick < 3; ++tick) panel->Render();
    EXPECT_TRUE(panel->CheckBox1->GetValue());
    EXPECT_EQ(text(panel->TextCtrl4), "400");
    EXPECT_EQ(text(panel->TextCtrl1), "7");
    EXPECT_FALSE(emu_board().transfers().empty());
    for (wxWindow* row : {panel->BitmapButton1, panel->BitmapButton2, panel->BitmapButton3, panel->BitmapButton4})
        EXPECT_EQ(shown(row), "up-arrow.png");
    EXPECT_EQ(shown(panel->BitmapButton5), "NOK.png");
    plug(false);
    panel->Render();
    EXPECT_FALSE(panel->CheckBox1->GetValue());
}

TEST_F(PositionerReadout, TimerDrivesTheTickEveryTwoHundredMilliseconds) {
    open(fopanel_test::three_types, true);
    panel->Render();  // set-up out of the way
    emu_board().clear_transfers();
    panel->timer->Start(200, wxTIMER_CONTINUOUS);
    // 29 operations, 50 transfers a tick.
    EXPECT_TRUE(gui_test::pump_until([&] { return emu_board().transfers().size() >= 100; }, 3000ms));
    panel->timer->Stop();
    EXPECT_EQ(emu_board().transfers().size() % 50, 0u);
}

// Cost of one connected tick against the same number of bare transfers on the link's handle.
TEST_F(PositionerReadout, MeasureTickCost) {
    open(fopanel_test::three_types, true);
    panel->Render();
    constexpr int rounds = 20;
    std::vector<double> tick_ms, bare_ms;
    for (int round = 0; round < rounds; ++round) {
        auto begin = std::chrono::steady_clock::now();
        panel->Render();
        tick_ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count());

        std::lock_guard<std::mutex> lock(frame->usb->link_mutex);
        ASSERT_NE(frame->usb->handle, nullptr);
        unsigned char request[16] = {0x92};
        unsigned char reply[64];
        int moved = 0;
        begin = std::chrono::steady_clock::now();
        for (int i = 0; i < 25; ++i) {
            ASSERT_EQ(libusb_bulk_transfer(frame->usb->handle, 0x01, request, 16, &moved, 1000), 0);
            ASSERT_EQ(libusb_bulk_transfer(frame->usb->handle, 0x81, reply, 64, &moved, 1000), 0);
        }
        bare_ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count());
    }
    std::sort(tick_ms.begin(), tick_ms.end());
    std::sort(bare_ms.begin(), bare_ms.end());
    std::printf("[ measure  ] connected Render(): median %.2f ms, max %.2f ms; 50 bare transfers: median %.2f ms, "
                "max %.2f ms (%d rounds)\n",
                tick_ms[rounds / 2], tick_ms.back(), bare_ms[rounds / 2], bare_ms.back(), rounds);
}

}  // namespace
