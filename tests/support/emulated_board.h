#pragma once
// The emulated board shared by every test of a test binary: its main creates it
// (unplugged) before anything can call libusb_init.
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "board_emulator.h"

namespace test_support {

// Creates the process's board; call once from main, before the tests run. Returns false
// (and prints why) when the process does not run under the umockdev preload.
bool create_test_board();
// Destroys it; call from main after the tests ran.
void destroy_test_board();

}  // namespace test_support

// The process's emulated board. A test that calls it without the preload fails with a
// message that says how to run it.
emu::board_emulator& test_board();

// Attaches or detaches the process's board unless it already is as asked.
void set_test_board_plugged(bool plugged);

// Waits until condition holds or limit passes; returns its last value. Generous by default:
// the link's loop runs every 200 ms, but sanitizers and a busy machine stretch it.
bool wait_until(const std::function<bool()>& condition,
                std::chrono::milliseconds limit = std::chrono::seconds(10));

// A request's bytes as hex up to its last non-zero byte, never fewer than keep bytes.
std::string request_hex(const std::vector<std::uint8_t>& data, std::size_t keep);
