// The station's USB link against the emulated board: real libusb underneath.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <dirent.h>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>
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
using emu::transfer_record;

// Generous: the loop's period is 200 ms, but sanitizers and a busy machine stretch it.
constexpr auto link_change_limit = 5s;

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return condition();
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

bool handle_open(a_usb& link) {
    std::lock_guard<std::mutex> lock(link.link_mutex);
    return link.handle != nullptr;
}

// Open file descriptors of this process that lead to the board's device node.
int open_device_nodes(const std::string& node) {
    int count = 0;
    DIR* fds = opendir("/proc/self/fd");
    if (fds == nullptr) return -1;
    while (dirent* entry = readdir(fds)) {
        const std::string path = std::string("/proc/self/fd/") + entry->d_name;
        char target[512];
        const ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
        if (length <= 0) continue;
        const std::string resolved(target, static_cast<std::size_t>(length));
        if (resolved.size() >= node.size() &&
            resolved.compare(resolved.size() - node.size(), node.size(), node) == 0)
            ++count;
    }
    closedir(fds);
    return count;
}

std::vector<std::uint8_t> bytes(std::initializer_list<std::uint8_t> head, std::size_t length) {
    std::vector<std::uint8_t> packet(length, 0);
    std::copy(head.begin(), head.end(), packet.begin());
    return packet;
}

std::size_t count_direction(const std::vector<transfer_record>& log, direction which) {
    return static_cast<std::size_t>(std::count_if(
        log.begin(), log.end(), [which](const transfer_record& r) { return r.dir == which; }));
}

class UsbLink : public ::testing::Test {
protected:
    emu::board_emulator& board = test_board();
    std::unique_ptr<a_usb> link;
    std::vector<std::string> logged;

    void SetUp() override {
        ASSERT_TRUE(emu::preload_active()) << "run through run-emulated.sh";
    }
    void TearDown() override {
        link.reset();
        if (!board.plugged_in()) board.plug_in();
    }

    void set_plugged(bool plugged) {
        set_test_board_plugged(plugged);
    }
    void start_link() {
        link = std::make_unique<a_usb>(nullptr);
        link->log_line = [this](const std::string& line) { logged.push_back(line); };
        link->start_connection_thread();
    }
    // A link that is up, with an empty transfer log.
    void start_connected() {
        set_plugged(true);
        start_link();
        ASSERT_TRUE(wait_until([this] { return link->connected.load(); }, link_change_limit));
        board.clear_transfers();
    }
    void expect_reconnects() {
        EXPECT_TRUE(wait_until([this] { return link->connected.load(); }, link_change_limit));
        board.set_encoder(0x123456);
        EXPECT_EQ(link->ssi_read(), 0x123456u);
    }
};

// No board: commands send nothing and give the not-connected results; the link follows
// the board in and out, closing the stale handle, and reopens it at its new address.
TEST_F(UsbLink, FollowsTheBoardInAndOut) {
    set_plugged(false);
    start_link();
    board.clear_transfers();
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
    ASSERT_TRUE(wait_until([this] { return !link->connected; }, link_change_limit));
    EXPECT_TRUE(wait_until([this] { return !handle_open(*link); }, link_change_limit));
    board.plug_in();  // at a new address, as a real bus does
    expect_reconnects();
    EXPECT_TRUE(logged.empty());
}

// Each command's request bytes, and the reply bytes each one decodes.
TEST_F(UsbLink, CommandsPutExactBytesOnTheWire) {
    ASSERT_NO_FATAL_FAILURE(start_connected());
    board.set_encoder(1 + 2 * 256 + 3 * 65536);
    board.set_sensor_present(0, true);
    board.set_sensor_identity(0, 0x68);
    board.set_input(12, 1);
    board.set_analog(1, 0x0ABC);
    std::uint8_t outputs[17];
    for (std::uint8_t i = 0; i < 17; ++i) outputs[i] = static_cast<std::uint8_t>(0xA0 + i);
    std::vector<std::uint8_t> output_request(64, 0);
    output_request[0] = 0x83;
    std::copy(outputs, outputs + 17, output_request.begin() + 1);
    const struct { std::function<void()> call; std::vector<std::uint8_t> request; bool reply; } rows[] = {
        {[&] { EXPECT_EQ(link->ssi_read(), 197121u); }, bytes({0x92}, 16), true},
        {[&] { link->read_io_status(); }, bytes({0x82}, 1), true},
        {[&] { link->write_outputs(outputs); }, output_request, false},
        {[&] { link->i2c_init(); }, bytes({0x8C}, 1), false},
        {[&] { link->i2c_start(); }, bytes({0x8D}, 1), false},
        {[&] { EXPECT_EQ(link->i2c_write(0xD0), 0); }, bytes({0x90, 0xD0}, 16), true},  // acknowledged
        {[&] { EXPECT_EQ(link->i2c_write(0x75), 0); }, bytes({0x90, 0x75}, 16), true},
        {[&] { link->i2c_start(); }, bytes({0x8D}, 1), false},
        {[&] { EXPECT_EQ(link->i2c_write(0xD1), 0); }, bytes({0x90, 0xD1}, 16), true},
        {[&] { EXPECT_EQ(link->i2c_read(1), 0x68); }, bytes({0x91, 0x01}, 16), true},  // the identity
        {[&] { EXPECT_EQ(link->i2c_write(0xA0), 1); }, bytes({0x90, 0xA0}, 16), true},  // nobody at 0x50
        {[&] { link->i2c_stop(); }, bytes({0x8E}, 1), false},
    };
    for (const auto& row : rows) {
        board.clear_transfers();
        row.call();
        EXPECT_TRUE(link->last_exchange().ok());
        const auto log = board.transfers();
        ASSERT_EQ(log.size(), row.reply ? 2u : 1u);
        EXPECT_EQ(log[0].data, row.request);
        EXPECT_EQ(log.back().data.size(), row.reply ? 64u : row.request.size());
    }
    EXPECT_EQ(link->io_status[11], 1);
    EXPECT_EQ(link->io_status[22], 0x0A);
    EXPECT_EQ(link->io_status[23], 0xBC);
    EXPECT_EQ(board.outputs(), (std::array<std::uint8_t, 17>{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8,
                                                              0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF, 0xB0}));
    EXPECT_TRUE(logged.empty());
}

// The error rule, one row per fault: the command reports the failure through its result and
// last_exchange, a reply is never read for a request that did not go out, and only link
// errors drop the link (which the loop then reopens).
TEST_F(UsbLink, EveryFaultFailsTheExchangeAndOnlyLinkErrorsDropTheLink) {
    struct row { fault kind; direction which; bool link_kept; const char* reason; };
    const row rows[] = {
        {fault::stall, direction::out, true, "Pipe error"},
        {fault::stall, direction::in, true, "Pipe error"},
        {fault::overflow, direction::out, true, "Overflow"},
        {fault::overflow, direction::in, true, "Overflow"},
        {fault::short_reply, direction::in, true, "reply too short"},
        {fault::io_error, direction::out, false, "Input/Output Error"},
        {fault::io_error, direction::in, false, "Input/Output Error"},
        {fault::no_device, direction::out, false, "No such device (it may have been disconnected)"},
        {fault::no_device, direction::in, false, "No such device (it may have been disconnected)"},
    };
    ASSERT_NO_FATAL_FAILURE(start_connected());
    board.set_encoder(77);
    for (const row& r : rows) {
        SCOPED_TRACE(r.reason);
        board.clear_transfers();
        board.fail_next(1, r.kind, r.which);
        EXPECT_EQ(link->ssi_read(), 0u);
        const exchange_outcome failed = link->last_exchange();
        EXPECT_TRUE(failed.sent);
        EXPECT_FALSE(failed.ok());
        EXPECT_EQ(failed.reason(), r.reason);
        EXPECT_EQ(link->connected.load(), r.link_kept);
        const auto log = board.transfers();
        EXPECT_EQ(count_direction(log, direction::in), r.which == direction::out ? 0u : 1u);
        if (!r.link_kept) {
            EXPECT_EQ(link->i2c_write(0xD0), 2);  // refused at once, nothing sent
            EXPECT_FALSE(link->last_exchange().sent);
            EXPECT_EQ(link->last_exchange().reason(), "board not connected");
            EXPECT_EQ(board.transfers().size(), log.size());
            EXPECT_TRUE(wait_until([this] { return link->connected.load(); }, link_change_limit));
        }
        EXPECT_EQ(link->ssi_read(), 77u);
        EXPECT_TRUE(link->last_exchange().ok());
    }
    // A reply that carries 0 is a success, told apart from a failure only by last_exchange.
    link->i2c_start();
    EXPECT_EQ(link->i2c_write(0xD0), 0);
    EXPECT_TRUE(link->last_exchange().ok());
    board.fail_next(1, fault::stall, direction::in);
    EXPECT_EQ(link->i2c_write(0xD0), 0);
    EXPECT_FALSE(link->last_exchange().ok());
}

// A board that stops answering costs one timeout: the commands after it send nothing and
// return at once, only the connection thread's probes (IO status reads) reach the board,
// and the commands go through again soon after it answers.
TEST_F(UsbLink, SilentBoardCostsOneTimeoutAndIsProbedUntilItAnswers) {
    ASSERT_NO_FATAL_FAILURE(start_connected());
    board.fail_next(1000, fault::timeout, direction::in);
    EXPECT_EQ(link->ssi_read(), 0u);
    EXPECT_EQ(link->last_exchange().code, LIBUSB_ERROR_TIMEOUT);
    EXPECT_FALSE(link->answering());
    EXPECT_TRUE(link->connected);

    const auto held = std::chrono::steady_clock::now();
    EXPECT_EQ(link->i2c_write(0xD0), 2);
    link->write_outputs(std::array<std::uint8_t, 17>{}.data());
    EXPECT_LT(std::chrono::steady_clock::now() - held, 1s);
    EXPECT_TRUE(link->last_exchange().held_back);
    EXPECT_EQ(link->last_exchange().reason(), "board not answering");
    std::this_thread::sleep_for(1s);
    const auto log = board.transfers();
    EXPECT_GE(count_direction(log, direction::out), 2u);  // the request and a probe at least
    for (std::size_t i = 1; i < log.size(); ++i)
        EXPECT_TRUE(log[i].dir == direction::in || log[i].data == bytes({0x82}, 1)) << i;

    board.clear_faults();
    const auto answered = std::chrono::steady_clock::now();
    ASSERT_TRUE(wait_until([this] { return link->answering(); }, link_change_limit));
    std::printf("commands resume %.0f ms after the board answers again\n",
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - answered).count());
    board.set_encoder(4242);
    EXPECT_EQ(link->ssi_read(), 4242u);

    // The output write gives up after its own, shorter timeout.
    const auto write_started = std::chrono::steady_clock::now();
    board.fail_next(1, fault::timeout, direction::out);
    link->write_outputs(std::array<std::uint8_t, 17>{}.data());
    EXPECT_LT(std::chrono::steady_clock::now() - write_started, 5s);
    EXPECT_EQ(logged, std::vector<std::string>({"Sent Not success -7"}));
}

// Only a failed output write that is not a link error is logged, with its libusb result.
TEST_F(UsbLink, WriteOutputsLogsOnlyNonLinkFailures) {
    ASSERT_NO_FATAL_FAILURE(start_connected());
    const std::uint8_t outputs[17] = {1};
    for (fault kind : {fault::stall, fault::overflow, fault::io_error}) {
        board.fail_next(1, kind, direction::out);
        link->write_outputs(outputs);
        EXPECT_TRUE(wait_until([this] { return link->connected.load(); }, link_change_limit));
    }
    link->write_outputs(outputs);  // success: silent
    EXPECT_EQ(logged, std::vector<std::string>({"Sent Not success -9", "Sent Not success -8"}));
}

TEST_F(UsbLink, DestructionIsQuickAndClosesTheBoard) {
    set_plugged(true);
    // The emulation may hold the node open itself: count only what the link adds.
    const int baseline = open_device_nodes(board.device_node());
    ASSERT_GE(baseline, 0);
    {
        a_usb idle(nullptr);  // never started
    }
    {
        a_usb fresh(nullptr);
        fresh.start_connection_thread();
    }
    EXPECT_EQ(open_device_nodes(board.device_node()), baseline);

    start_link();
    ASSERT_TRUE(wait_until([this] { return link->connected.load(); }, link_change_limit));
    ASSERT_EQ(open_device_nodes(board.device_node()), baseline + 1);
    link.reset();
    EXPECT_EQ(open_device_nodes(board.device_node()), baseline);
}

// The loop closes the handle between the request and the reply: the reply is not read.
TEST_F(UsbLink, HandleClosedBetweenRequestAndReply) {
    ASSERT_NO_FATAL_FAILURE(start_connected());
    a_usb_test_access::set_between_transfers(*link, [this] {
        board.unplug();
        EXPECT_TRUE(wait_until([this] { return !handle_open(*link); }, link_change_limit));
    });
    EXPECT_EQ(link->ssi_read(), 0u);
    EXPECT_FALSE(link->connected);
    const auto log = board.transfers();
    EXPECT_EQ(count_direction(log, direction::out), 1u);
    EXPECT_EQ(count_direction(log, direction::in), 0u);
    a_usb_test_access::set_between_transfers(*link, nullptr);
    board.plug_in();
    expect_reconnects();

    // Pulled and plugged in again in between: the new handle never carried the request,
    // and a freshly powered board holds no reply for it.
    a_usb_test_access::set_between_transfers(*link, [this] {
        board.unplug();
        EXPECT_TRUE(wait_until([this] { return !handle_open(*link); }, link_change_limit));
        board.plug_in();
        EXPECT_TRUE(wait_until([this] { return link->connected.load(); }, link_change_limit));
    });
    board.clear_transfers();
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(link->ssi_read(), 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 9s);  // not a 10 s read on the new handle
    EXPECT_TRUE(link->connected);
    EXPECT_EQ(count_direction(board.transfers(), direction::in), 0u);
    a_usb_test_access::set_between_transfers(*link, nullptr);
    board.set_encoder(31337);
    EXPECT_EQ(link->ssi_read(), 31337u);
}

}  // namespace
