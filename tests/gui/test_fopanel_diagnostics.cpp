// The positioner's hidden I2C and SSI service buttons.
#include <sstream>
#include <string>
#include <vector>

#include "fopanel_fixture.h"

namespace {

using fopanel_test::text;

const std::string created = "\nCreated: 2019-20-12 16:52:50";

std::vector<std::string> lines_after(const std::string& log, const std::string& prefix) {
    EXPECT_EQ(log.rfind(prefix, 0), 0u) << log;
    std::vector<std::string> lines;
    std::string rest = log.substr(prefix.size());
    EXPECT_EQ(rest.empty() ? '\n' : rest.back(), '\n') << "the last line has no newline";
    std::istringstream in(rest);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class PositionerDiagnostics : public fopanel_test::positioner {};

TEST_F(PositionerDiagnostics, I2cReadWithAnAnsweringSensor) {
    open(fopanel_test::three_types, true);
    // Registers 0x43 onwards: words 4, 5 and 6 of sensor 1.
    emu_board().set_sensor_word(0, 4, 0x0102);
    emu_board().set_sensor_word(0, 5, 0xFEFF);
    emu_board().set_sensor_word(0, 6, 0x8040);
    emu_board().clear_transfers();
    gui_test::click(panel->Button3);

    const std::vector<std::string> lines = lines_after(text(panel->TextCtrl2), created);
    ASSERT_EQ(lines.size(), 18u);
    for (int i : {0, 1, 3}) EXPECT_EQ(lines[static_cast<std::size_t>(i)], "I2C write address:\t104\tnACK: 0");
    EXPECT_EQ(lines[2], "Select Register: 67, nAck: 0");
    const int expected[6] = {1, 2, 254, 255, 128, 64};
    for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(lines[4 + i], "I2C read  :\t" + std::to_string(expected[i]));
    // 24 operations: 3 starts, 6 writes, 14 reads, 1 stop; 44 transfers.
    EXPECT_EQ(emu_board().transfers().size(), 3u + 6u * 2u + 14u * 2u + 1u);
}

TEST_F(PositionerDiagnostics, I2cButtonsWithTheBoardAway) {
    open();
    gui_test::click(panel->Button2);
    gui_test::click(panel->Button3);
    const std::vector<std::string> lines = lines_after(text(panel->TextCtrl2), created + "I2c initialized\n");
    ASSERT_EQ(lines.size(), 18u);
    EXPECT_EQ(lines[0], "I2C write address:\t104\tnACK: -1");
    EXPECT_EQ(lines[2], "Select Register: 67, nAck: 2");
    EXPECT_EQ(lines[17], "I2C read  :\t2");
}

// A failed read is no position: the X field is left empty rather than showing 2 or 0.
TEST_F(PositionerDiagnostics, SsiReadShowsTheValueOrNothing) {
    open(fopanel_test::three_types, true);
    emu_board().set_encoder(16777215);
    gui_test::click(panel->Button4);
    EXPECT_EQ(text(panel->TextCtrl1), "16777215");
    emu_board().fail_next(1, emu::fault::stall, emu::direction::in);
    gui_test::click(panel->Button4);
    EXPECT_EQ(text(panel->TextCtrl1), "");
    gui_test::click(panel->Button4);
    EXPECT_EQ(text(panel->TextCtrl1), "16777215");
    plug(false);
    gui_test::click(panel->Button4);
    EXPECT_EQ(text(panel->TextCtrl1), "");
}

}  // namespace
