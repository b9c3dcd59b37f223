// The station's USB link against the emulated board: real libusb underneath. The bytes
// each command puts on the wire are checked through the screens that send them.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <libusb.h>

#include "a_usb.h"
#include "board_emulator.h"
#include "emulated_board.h"
#include "usb_protocol.h"

// Reaches the link's test seam: code run between the OUT and the IN transfer.
struct a_usb_test_access {
    static void set_between_transfers(a_usb& link, std::function<void()> hook) {
        link.between_transfers = std::move(hook);
    }
};

namespace {

using namespace std::chrono_literals;
using emu::direction;
using emu::fault;

std::size_t transfers(direction which) {
    const auto log = test_board().transfers();
    return static_cast<std::size_t>(
        std::count_if(log.begin(), log.end(), [which](const emu::transfer_record& r) { return r.dir == which; }));
}

class UsbLink : public ::testing::Test {
protected:
    emu::board_emulator& board = test_board();
    std::unique_ptr<a_usb> link;
    std::vector<std::string> logged;
    const std::array<std::uint8_t, usb_protocol::output_count> outputs{};

    // A started link, connected when the board is plugged in, with an empty transfer log.
    void start_link(bool plugged) {
        set_test_board_plugged(plugged);
        link = std::make_unique<a_usb>(nullptr);
        link->log_line = [this](const std::string& line) { logged.push_back(line); };
        link->start_connection_thread();
        ASSERT_TRUE(!plugged || reconnected());
        board.clear_transfers();
    }
    bool reconnected() {
        return wait_until([this] { return link->connected.load(); });
    }
    bool handle_open() {
        std::lock_guard<std::mutex> lock(link->link_mutex);
        return link->handle != nullptr;
    }
    void expect_reconnects() {
        EXPECT_TRUE(reconnected());
        board.set_encoder(0x123456);
        EXPECT_EQ(link->ssi_read(), 0x123456u);
    }
};

// No board: commands send nothing and give the not-connected results. The link follows
// the board in and out, closes the stale handle, reopens it at its new address, and lets
// the board go when destroyed.
TEST_F(UsbLink, FollowsTheBoardInAndOut) {
    { a_usb idle(nullptr); }  // never started
    start_link(false);
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(link->connected);
    link->read_io_status();
    link->i2c_start();
    EXPECT_EQ(link->i2c_read(1), 2);
    EXPECT_EQ(link->ssi_read(), 2u);
    EXPECT_FALSE(link->last_exchange().sent);
    EXPECT_TRUE(board.transfers().empty());

    board.plug_in();
    expect_reconnects();
    board.unplug();
    ASSERT_TRUE(wait_until([this] { return !link->connected; }));
    EXPECT_TRUE(wait_until([this] { return !handle_open(); }));
    board.plug_in();
    expect_reconnects();
    EXPECT_TRUE(logged.empty());

    {
        a_usb fresh(nullptr);  // stopped as soon as started
        fresh.start_connection_thread();
    }
    link.reset();  // a board still held by a link that is gone could not be claimed again
    ASSERT_NO_FATAL_FAILURE(start_link(true));
}

// The error rule, one row per fault: the command reports the failure through its result and
// last_exchange, a reply is never read for a request that did not go out, only link errors
// drop the link (which the loop then reopens), and a failed output write that is not a link
// error is logged with its libusb result.
TEST_F(UsbLink, EveryFaultFailsTheExchangeAndOnlyLinkErrorsDropTheLink) {
    const struct { fault kind; direction which; bool link_kept; const char* reason; const char* write_log; } rows[] = {
        {fault::stall, direction::out, true, "Pipe error", "Sent Not success -9"},
        {fault::stall, direction::in, true, "Pipe error", nullptr},
        {fault::overflow, direction::out, true, "Overflow", "Sent Not success -8"},
        {fault::overflow, direction::in, true, "Overflow", nullptr},
        {fault::short_reply, direction::in, true, "reply too short", nullptr},
        {fault::io_error, direction::out, false, "Input/Output Error", ""},
        {fault::io_error, direction::in, false, "Input/Output Error", nullptr},
        {fault::no_device, direction::out, false, "No such device (it may have been disconnected)", ""},
        {fault::no_device, direction::in, false, "No such device (it may have been disconnected)", nullptr},
    };
    ASSERT_NO_FATAL_FAILURE(start_link(true));
    board.set_encoder(77);
    for (const auto& r : rows) {
        SCOPED_TRACE(r.reason);
        board.clear_transfers();
        board.fail_next(1, r.kind, r.which);
        EXPECT_EQ(link->ssi_read(), 0u);
        EXPECT_TRUE(link->last_exchange().sent);
        EXPECT_FALSE(link->last_exchange().ok());
        EXPECT_EQ(link->last_exchange().reason(), r.reason);
        EXPECT_EQ(link->connected.load(), r.link_kept);
        EXPECT_EQ(transfers(direction::in), r.which == direction::out ? 0u : 1u);
        EXPECT_TRUE(reconnected());
        EXPECT_EQ(link->ssi_read(), 77u);
        EXPECT_TRUE(link->last_exchange().ok());
        if (r.write_log == nullptr) continue;
        logged.clear();
        board.fail_next(1, r.kind, direction::out);
        link->write_outputs(outputs.data());
        EXPECT_TRUE(reconnected());
        EXPECT_EQ(logged, *r.write_log ? std::vector<std::string>{r.write_log} : std::vector<std::string>{});
    }
}

// A board that stops answering costs one timeout, which keeps the link: the commands after
// it send nothing and return at once, only the connection thread's probes (IO status reads)
// reach the board, and the commands go through again once it answers. The output write
// gives up after its own, shorter timeout.
TEST_F(UsbLink, SilentBoardCostsOneTimeoutAndIsProbedUntilItAnswers) {
    ASSERT_NO_FATAL_FAILURE(start_link(true));
    board.fail_next(1000, fault::timeout, direction::in);
    EXPECT_EQ(link->ssi_read(), 0u);
    EXPECT_EQ(link->last_exchange().code, LIBUSB_ERROR_TIMEOUT);
    EXPECT_FALSE(link->answering());
    EXPECT_TRUE(link->connected);
    EXPECT_EQ(link->i2c_write(0xD0), 2);
    link->write_outputs(outputs.data());
    EXPECT_TRUE(link->last_exchange().held_back);
    EXPECT_EQ(link->last_exchange().reason(), "board not answering");
    EXPECT_TRUE(wait_until([] { return transfers(direction::out) >= 2; })) << "no probes";
    const auto log = board.transfers();
    for (std::size_t i = 1; i < log.size(); ++i)
        EXPECT_TRUE(log[i].dir == direction::in || log[i].data == std::vector<std::uint8_t>{0x82}) << i;

    board.clear_faults();
    ASSERT_TRUE(wait_until([this] { return link->answering(); }));
    board.set_encoder(4242);
    EXPECT_EQ(link->ssi_read(), 4242u);

    const auto write_started = std::chrono::steady_clock::now();
    board.fail_next(1, fault::timeout, direction::out);
    link->write_outputs(outputs.data());
    EXPECT_LT(std::chrono::steady_clock::now() - write_started, 8s);  // 1.5 s, far below the 10 s of the others
    EXPECT_EQ(logged, std::vector<std::string>({"Sent Not success -7"}));
}

// The handle is closed between the request and its reply, and then the board is either left
// out or plugged in again: the reply is never read, least of all from a new handle that
// never carried the request.
TEST_F(UsbLink, AReplyIsReadOnlyFromTheHandleItsRequestWentOutOn) {
    ASSERT_NO_FATAL_FAILURE(start_link(true));
    for (const bool plugged_again : {false, true}) {
        SCOPED_TRACE(plugged_again ? "plugged in again" : "left out");
        a_usb_test_access::set_between_transfers(*link, [this, plugged_again] {
            board.unplug();
            EXPECT_TRUE(wait_until([this] { return !handle_open(); }));
            if (plugged_again) {
                board.plug_in();
                EXPECT_TRUE(reconnected());
            }
        });
        board.clear_transfers();
        EXPECT_EQ(link->ssi_read(), 0u);
        EXPECT_EQ(link->connected.load(), plugged_again);
        EXPECT_EQ(transfers(direction::in), 0u);
        a_usb_test_access::set_between_transfers(*link, nullptr);
        if (!plugged_again) board.plug_in();
        expect_reconnects();
    }
}

}  // namespace
