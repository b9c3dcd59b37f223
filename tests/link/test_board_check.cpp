// The commissioning check against the emulated board, through the station's own link.
#include <fstream>
#include <sstream>
#include <thread>

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

// The check of a board whose values are all set apart from each other, both sensors
// alive, after the given scenario lines.
std::vector<check_line> check_board(const std::vector<std::string>& changes, board_check::options chosen = {},
                                    const std::function<void(const check_line&)>& report = nullptr) {
    chosen.connect_limit = 3000ms;
    chosen.on_time = 1ms;
    emu::scenario_player player(test_board());
    std::vector<std::string> lines = {"present 0 1", "present 1 1", "loose 0 0 0", "identity 0 0x68", "identity 1 0x68",
                                      "input 3 1", "input 12 255", "analog 0 625", "analog 1 250",
                                      "encoder 15230", "sensor 0 0 20000", "sensor 0 1 30000",
                                      "sensor 1 0 18800", "sensor 1 1 30800", "noise sensor 20"};
    lines.insert(lines.end(), changes.begin(), changes.end());
    for (const auto& line : lines) EXPECT_EQ(player.execute(line), "") << line;
    std::this_thread::sleep_for(150ms);  // the noise reaches the board
    return board_check::run(chosen, report);
}

// The report's lines; without the round trip and record lines, which differ between runs.
std::string report(const std::vector<check_line>& lines, bool all = true) {
    std::string text;
    for (const auto& line : lines)
        if (all || (line.item != "round trip" && line.item.rfind("recorded to", 0) != 0))
            text += board_check::format_line(line) + "\n";
    return text;
}

struct board_case {
    const char* name;
    std::vector<std::string> changes;
    std::string item;  // the one line that is not a PASS; empty: every line passes
    verdict result;
    std::string says;  // in its measured value or its advice
    enum { plugged, unplugged, held_by_station } board = plugged;
    double slow_exchange_ms = 100;  // a busy test machine is no slow board
    std::function<void(const check_line&)> on_line = nullptr;  // what happens as each line is known
};

TEST(BoardCheck, EachFaultGivesTheLineThatNamesIt) {
    std::atomic<bool> interrupted{false};
    const std::vector<board_case> cases = {
        {"healthy", {}, "", verdict::pass, ""},
        {"sensor 2 absent", {"present 1 0"}, "sensor 2 (0x69) present", verdict::fail, "not acknowledged"},
        {"sensor 1 frozen", {"noise sensor 0 0 0", "noise sensor 0 1 0"}, "sensor 1 (0x68) data", verdict::warn,
         "frozen: word 1 20000, word 2 30000"},
        {"other sensor type", {"identity 1 0x70"}, "sensor 2 (0x69) identity", verdict::warn, "0x70"},
        {"encoder unplugged", {"encoder 16777215"}, "encoder", verdict::warn, "every bit set"},
        {"slow link", {}, "round trip", verdict::warn, "without a hub or extension cable", board_case::plugged, 0},
        {"reply stalls", {"fail 1 stall in"}, "IO status read", verdict::fail, "(Pipe error)"},
        {"station holds the board", {}, "board 04d8:0053 found and claimed", verdict::fail,
         "Resource busy) / the station (Varnold) is probably running", board_case::held_by_station},
        {"board unplugged", {}, "board 04d8:0053 found and claimed", verdict::fail,
         "no device 04d8:0053 on the USB bus / plug the board's USB cable in", board_case::unplugged},
        {"sensor 1 loose", {"loose 0 6 30"}, "sensor 1 (0x68) data", verdict::fail, "not acknowledged in read 7 of 20"},
        {"interrupted", {}, "check run", verdict::fail, "interrupted; the remaining checks did not run",
         board_case::plugged, 100, [&](const check_line& line) { interrupted = interrupted || line.item == "sensor 1 (0x68) present"; }},
    };
    for (const board_case& c : cases) {
        SCOPED_TRACE(c.name);
        set_test_board_plugged(c.board != board_case::unplugged);
        a_usb station(nullptr);
        if (c.board == board_case::held_by_station) {
            station.start_connection_thread();
            for (int i = 0; i < 500 && !station.connected; ++i) std::this_thread::sleep_for(20ms);
            ASSERT_TRUE(station.connected);
        }
        test_board().clear_transfers();
        board_check::options chosen;
        chosen.cycle_outputs = c.item.empty();
        chosen.slow_exchange_ms = c.slow_exchange_ms;
        interrupted = false;
        chosen.interrupted = &interrupted;
        const std::vector<check_line> lines = check_board(c.changes, chosen, c.on_line);
        SCOPED_TRACE(report(lines));
        int named = 0;
        for (const check_line& line : lines) {
            named += line.item == c.item;
            EXPECT_EQ(line.result, line.item == c.item ? c.result : verdict::pass) << line.item;
            EXPECT_TRUE(line.item != c.item || (line.measured + " / " + line.advice).find(c.says) != std::string::npos);
        }
        EXPECT_EQ(named, c.item.empty() ? 0 : 1);
        EXPECT_EQ(board_check::exit_status(lines), c.result == verdict::fail ? 1 : 0);
        EXPECT_EQ(board_check::summary(lines).rfind("Result: PASS", 0) == 0, c.result == verdict::pass);
        if (!c.item.empty()) continue;
        // Healthy: all 15 checks ran; the outputs went off together, then on and off one by one.
        EXPECT_EQ(lines.size(), 15u + usb_protocol::output_count);
        std::vector<std::vector<std::uint8_t>> frames;  // one per output request
        for (const auto& transfer : test_board().transfers())
            if (transfer.dir == emu::direction::out && transfer.data.at(0) == usb_protocol::cmd_write_outputs)
                frames.emplace_back(transfer.data.begin() + 1, transfer.data.begin() + 1 + usb_protocol::output_count);
        std::vector<std::vector<std::uint8_t>> expected(1 + 2 * usb_protocol::output_count,
                                                        std::vector<std::uint8_t>(usb_protocol::output_count));
        for (std::size_t k = 0; k < usb_protocol::output_count; ++k) expected[1 + 2 * k][k] = 1;
        EXPECT_EQ(frames, expected);
    }
    set_test_board_plugged(true);
}

TEST(BoardCheck, RecordedBoardReplaysWithTheSameValues) {
    set_test_board_plugged(true);
    board_check::options chosen;
    chosen.slow_exchange_ms = 100;
    chosen.record_file = testing::TempDir() + "recorded-board.txt";
    const std::string recorded = report(
        check_board({"input 1 1", "input 5 7", "analog 0 1000", "analog 1 3", "encoder 4242", "identity 0 0x71",
                     "noise sensor 0 0 0", "noise sensor 0 1 0", "sensor 0 0 65000", "sensor 0 1 17", "present 1 0"},
                    chosen),
        false);
    std::stringstream text;
    text << std::ifstream(chosen.record_file).rdbuf();
    std::vector<std::string> replay = emu::split_lines(text.str());
    EXPECT_TRUE(emu::check_scenario(replay).empty()) << text.str();
    EXPECT_NE(recorded.find("frozen: word 1 65000, word 2 17"), std::string::npos) << recorded;
    EXPECT_NE(recorded.find("count 1000 = AN0: 4.00 V 10.50 Bar"), std::string::npos);

    // Another board altogether, then the recording played onto it.
    replay.insert(replay.begin(), {"input 1 0", "input 5 0", "analog 0 10", "noise analog 1 9", "encoder 7",
                                   "noise encoder 3", "identity 0 0x68"});
    chosen.record_file.clear();
    EXPECT_EQ(report(check_board(replay, chosen), false), recorded);
}

}  // namespace
