// The commissioning check against the emulated board, through the station's own link.
#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "a_usb.h"
#include "board_check.h"
#include "emulated_board.h"
#include "scenario.h"
#include "usb_protocol.h"

namespace {

using namespace std::chrono_literals;
using board_check::check_line;
using board_check::verdict;

// Every value the check reads set apart from the others, both sensors alive.
const std::vector<std::string> healthy_board = {
    "present 0 1", "present 1 1", "identity 0 0x68", "identity 1 0x68", "input 3 1", "input 12 255",
    "analog 0 625", "analog 1 250", "encoder 15230", "sensor 0 0 20000", "sensor 0 1 30000",
    "sensor 1 0 18800", "sensor 1 1 30800", "noise sensor 20"};

board_check::options quick_options() {
    board_check::options chosen;
    chosen.connect_limit = 1500ms;
    chosen.on_time = 1ms;
    chosen.slow_exchange_ms = 100;  // a busy test machine is no slow board
    return chosen;
}

std::vector<check_line> check_board(const std::vector<std::string>& changes,
                                    const board_check::options& chosen = quick_options()) {
    emu::scenario_player player(test_board());
    for (const auto& line : healthy_board) EXPECT_EQ(player.execute(line), "") << line;
    for (const auto& line : changes) EXPECT_EQ(player.execute(line), "") << line;
    std::this_thread::sleep_for(150ms);  // the noise reaches the board
    return board_check::run(chosen, nullptr);
}

std::string report(const std::vector<check_line>& lines) {
    std::string text;
    for (const auto& line : lines) text += board_check::format_line(line) + "\n";
    return text;
}

// The output frames the check sent, one per 0x83 request.
std::vector<std::vector<std::uint8_t>> output_frames() {
    std::vector<std::vector<std::uint8_t>> frames;
    for (const auto& transfer : test_board().transfers())
        if (transfer.dir == emu::direction::out && transfer.data.at(0) == usb_protocol::cmd_write_outputs)
            frames.emplace_back(transfer.data.begin() + 1, transfer.data.begin() + 1 + usb_protocol::output_count);
    return frames;
}

struct board_case {
    const char* name;
    std::vector<std::string> changes;
    bool plugged;
    bool station_running;
    std::string item;  // the one line that is not a PASS; empty: every line passes
    verdict result;
    std::string says;  // in its measured value or its advice
    double slow_exchange_ms = 100;
};

TEST(BoardCheck, EachFaultGivesTheLineThatNamesIt) {
    const std::vector<board_case> cases = {
        {"healthy", {}, true, false, "", verdict::pass, ""},
        {"sensor 2 absent", {"present 1 0"}, true, false, "sensor 2 (0x69) present", verdict::fail, "not acknowledged"},
        {"sensor 1 frozen", {"noise sensor 0 0 0", "noise sensor 0 1 0"}, true, false, "sensor 1 (0x68) data",
         verdict::warn, "frozen: word 1 20000, word 2 30000"},
        {"other sensor type", {"identity 1 0x70"}, true, false, "sensor 2 (0x69) identity", verdict::warn, "0x70"},
        {"encoder unplugged", {"encoder 16777215"}, true, false, "encoder", verdict::warn, "every bit set"},
        {"slow link", {}, true, false, "round trip", verdict::warn, "without a hub or extension cable", 0},
        {"reply stalls", {"fail 1 stall in"}, true, false, "IO status read", verdict::fail, "(Pipe error)"},
        {"station holds the board", {}, true, true, "board 04d8:0053 found and claimed", verdict::fail,
         "Resource busy) / the station (Varnold) is probably running"},
        {"board unplugged", {}, false, false, "board 04d8:0053 found and claimed", verdict::fail,
         "no device 04d8:0053 on the USB bus / plug the board's USB cable in"},
    };
    for (const board_case& c : cases) {
        SCOPED_TRACE(c.name);
        set_test_board_plugged(c.plugged);
        a_usb station(nullptr);
        if (c.station_running) {
            station.start_connection_thread();
            for (int i = 0; i < 100 && !station.connected; ++i) std::this_thread::sleep_for(20ms);
            ASSERT_TRUE(station.connected);
        }
        test_board().clear_transfers();
        board_check::options chosen = quick_options();
        chosen.cycle_outputs = c.item.empty();
        chosen.slow_exchange_ms = c.slow_exchange_ms;
        const std::vector<check_line> lines = check_board(c.changes, chosen);
        const std::string text = report(lines);
        SCOPED_TRACE(text);

        for (const check_line& line : lines) {
            const bool named = line.item == c.item;
            EXPECT_EQ(line.result, named ? c.result : verdict::pass) << line.item;
            if (named) {
                EXPECT_NE((line.measured + " / " + line.advice).find(c.says), std::string::npos);
            }
        }
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [&](const check_line& l) { return l.item == c.item; }),
                  c.item.empty() ? 0 : 1);
        EXPECT_EQ(board_check::exit_status(lines), c.result == verdict::fail ? 1 : 0);
        if (!c.item.empty()) continue;
        // Healthy: all 15 checks ran; the outputs went off together, then on and off one by one.
        EXPECT_EQ(lines.size(), 15u + usb_protocol::output_count);
        const auto frames = output_frames();
        ASSERT_EQ(frames.size(), 1 + 2 * usb_protocol::output_count);
        for (std::size_t i = 0; i < frames.size(); ++i)
            for (std::size_t k = 0; k < usb_protocol::output_count; ++k)
                EXPECT_EQ(frames[i][k], i % 2 == 1 && k == i / 2 ? 1 : 0) << "frame " << i << " output " << k + 1;
    }
    set_test_board_plugged(true);
}

TEST(BoardCheck, RecordedBoardReplaysWithTheSameValues) {
    set_test_board_plugged(true);
    board_check::options chosen = quick_options();
    chosen.record_file = testing::TempDir() + "recorded-board.txt";
    const std::vector<check_line> recorded = check_board(
        {"input 1 1", "input 5 7", "analog 0 1000", "analog 1 3", "encoder 4242", "identity 0 0x71",
         "noise sensor 0 0 0", "noise sensor 0 1 0", "sensor 0 0 65000", "sensor 0 1 17", "present 1 0"},
        chosen);
    std::ifstream file(chosen.record_file);
    std::stringstream text;
    text << file.rdbuf();
    const std::vector<std::string> scenario = emu::split_lines(text.str());
    EXPECT_TRUE(emu::check_scenario(scenario).empty()) << text.str();

    // Another board altogether, then the recording played onto it.
    const std::vector<std::string> other_board = {"input 1 0", "input 5 0", "analog 0 10",      "noise analog 1 9",
                                                  "encoder 7",  "noise encoder 3", "identity 0 0x68"};
    std::vector<std::string> replay = other_board;
    replay.insert(replay.end(), scenario.begin(), scenario.end());
    chosen.record_file.clear();
    const std::vector<check_line> replayed = check_board(replay, chosen);

    const auto values = [](const std::vector<check_line>& lines) {
        std::string shown;
        for (const auto& line : lines)
            if (line.item != "round trip" && line.item.rfind("recorded to", 0) != 0)
                shown += board_check::format_line(line) + "\n";
        return shown;
    };
    EXPECT_EQ(values(replayed), values(recorded));
    EXPECT_NE(values(recorded).find("frozen: word 1 65000, word 2 17"), std::string::npos) << values(recorded);
    EXPECT_NE(values(recorded).find("count 1000 = AN0: 4.00 V 10.50 Bar"), std::string::npos);
}

}  // namespace
