#include "emulated_board.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <thread>

namespace {
std::unique_ptr<emu::board_emulator>& board_slot() {
    static std::unique_ptr<emu::board_emulator> board;
    return board;
}
}  // namespace

namespace test_support {

bool create_test_board() {
    if (!emu::preload_active()) {
        std::fprintf(stderr,
                     "note: no umockdev preload in LD_PRELOAD; tests that need the emulated board will fail.\n"
                     "      Run through tests/support/run-emulated.sh (or ctest).\n");
        return false;
    }
    board_slot() = std::make_unique<emu::board_emulator>(false);
    board_slot()->record_transfers(true);  // tests read what the station sent
    return true;
}

void destroy_test_board() { board_slot().reset(); }

}  // namespace test_support

emu::board_emulator& test_board() {
    if (!board_slot()) {
        ADD_FAILURE() << "this test needs the emulated board: run it under LD_PRELOAD=libumockdev-preload.so.0 "
                         "(tests/support/run-emulated.sh)";
        throw std::runtime_error("no emulated board in this process");
    }
    return *board_slot();
}

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void set_test_board_plugged(bool plugged) {
    emu::board_emulator& board = test_board();
    if (board.plugged_in() == plugged) return;
    if (plugged)
        board.plug_in();
    else
        board.unplug();
}

std::string request_hex(const std::vector<std::uint8_t>& data, std::size_t keep) {
    std::size_t used = data.size();
    while (used > keep && data[used - 1] == 0) --used;
    std::string text;
    char hex[3];
    for (std::size_t i = 0; i < used; ++i) {
        std::snprintf(hex, sizeof hex, "%02x", data[i]);
        text += hex;
    }
    return text;
}
