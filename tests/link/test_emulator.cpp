// The emulated board's own behaviour seen through plain libusb, where the station's tests do
// not reach it: the transfer record, fault kinds, the interface claim, and the scenario
// language (with a read pending at unplug).
#include "emulated_board.h"
#include "scenario.h"
#include "usb_protocol.h"

#include <gtest/gtest.h>
#include <libusb.h>

#include <chrono>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using bytes = std::vector<std::uint8_t>;

class EmulatedBoard : public ::testing::Test {
protected:
    void SetUp() override {
        set_test_board_plugged(true);
        test_board().clear_transfers();
        ASSERT_EQ(libusb_init(&context), 0);
        ASSERT_NO_FATAL_FAILURE(claim_board());
    }
    void TearDown() override {
        if (handle != nullptr) libusb_close(handle);
        libusb_exit(context);
        test_board().record_transfers(true);
        set_test_board_plugged(false);
    }
    libusb_device_handle* open_board() {
        return libusb_open_device_with_vid_pid(context, usb_protocol::vendor_id, usb_protocol::product_id);
    }
    // libusb learns of a plug-in on its own thread: try for a while.
    void claim_board() {
        if (handle != nullptr) libusb_close(handle);
        for (int tries = 0; (handle = open_board()) == nullptr && tries < 150; ++tries) std::this_thread::sleep_for(20ms);
        ASSERT_NE(handle, nullptr) << "the board does not open";
        ASSERT_EQ(libusb_claim_interface(handle, usb_protocol::interface_number), 0);
    }
    int send(bytes request) {
        int count = 0;
        return libusb_bulk_transfer(handle, usb_protocol::endpoint_out, request.data(), static_cast<int>(request.size()), &count, 300);
    }
    int receive(unsigned int timeout = 300) {
        int count = 0;
        reply.assign(usb_protocol::packet_size, 0);
        return libusb_bulk_transfer(handle, usb_protocol::endpoint_in, reply.data(), static_cast<int>(reply.size()), &count, timeout);
    }
    // The encoder value through one SSI exchange, or -1 when it failed.
    int encoder() {
        if (send({usb_protocol::cmd_ssi_read, 0}) != 0 || receive() != 0) return -1;
        return reply[2] | (reply[3] << 8) | (reply[4] << 16);
    }

    libusb_context* context = nullptr;
    libusb_device_handle* handle = nullptr;
    bytes reply;
};

TEST_F(EmulatedBoard, RecordsOnlyWhenAskedAndKeepsTheLatest) {
    test_board().record_transfers(true, 3);
    for (int value : {1, 2, 3}) {
        test_board().set_encoder(static_cast<std::uint32_t>(value));
        EXPECT_EQ(encoder(), value);
    }
    EXPECT_TRUE(test_board().wait_for_transfers(6, 1s)) << "the count goes past the kept records";
    const auto kept = test_board().transfers();
    EXPECT_TRUE(kept.size() == 3 && kept[0].dir == emu::direction::in && kept[0].data[2] == 2 && kept[2].data[2] == 3);

    test_board().record_transfers(false);
    test_board().clear_transfers();
    EXPECT_TRUE(encoder() == 3 && test_board().transfers().empty());
}

TEST_F(EmulatedBoard, InjectedFaultsFailOnlyTheirTransfers) {
    const std::pair<emu::fault, int> cases[] = {{emu::fault::timeout, LIBUSB_ERROR_TIMEOUT}, {emu::fault::stall, LIBUSB_ERROR_PIPE},
        {emu::fault::io_error, LIBUSB_ERROR_IO}, {emu::fault::no_device, LIBUSB_ERROR_NO_DEVICE}, {emu::fault::overflow, LIBUSB_ERROR_OVERFLOW}};
    test_board().set_encoder(1000);
    for (const auto& [kind, result] : cases) {
        SCOPED_TRACE(result);
        // A failed OUT transfer never reaches the board: there is nothing to read after it.
        test_board().fail_next(2, kind, emu::direction::out);
        for (int i = 0; i < 2; ++i) EXPECT_EQ(send({usb_protocol::cmd_ssi_read}), result);
        EXPECT_EQ(receive(100), LIBUSB_ERROR_TIMEOUT);
        // A failed IN transfer loses the reply it would have carried.
        test_board().fail_next(1, kind, emu::direction::in);
        EXPECT_EQ(send({usb_protocol::cmd_ssi_read}), 0);
        EXPECT_EQ(receive(), result);
        EXPECT_EQ(encoder(), 1000);
    }
}

TEST_F(EmulatedBoard, ClosingTheNodeReleasesTheInterface) {
    libusb_device_handle* second = open_board();
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(libusb_claim_interface(second, usb_protocol::interface_number), LIBUSB_ERROR_BUSY);
    libusb_close(handle);  // no release call, as when a program dies
    handle = second;
    // The emulation learns of the close on its own thread.
    int claimed = LIBUSB_ERROR_BUSY;
    for (int i = 0; i < 100 && claimed == LIBUSB_ERROR_BUSY; ++i, std::this_thread::sleep_for(10ms))
        claimed = libusb_claim_interface(second, usb_protocol::interface_number);
    EXPECT_EQ(claimed, 0);
}

TEST(ScenarioLanguage, NamesEveryBadLine) {
    EXPECT_TRUE(emu::check_scenario(emu::default_scenario()).empty());
    const auto problems = emu::check_scenario({"# comment", "", "encoder 15230   # note", "input 13 1",
        "analog 0 70000", "drift encoder 5", "noise sensor 20", "fail 2 stall sideways", "fail 1 overflow in",
        "jump 3", "sensor 0 7 1", "wait 0x10", "toggle input 12 500", "identity 1 0x72"});
    std::string lines;
    for (const auto& problem : problems) lines += problem.substr(0, problem.find(':')) + ";";
    EXPECT_EQ(lines, "line 4;line 5;line 6;line 8;line 10;line 11;");
    ASSERT_EQ(problems.size(), 6u);
    EXPECT_EQ(problems[4], "line 10: unknown command 'jump'");
}

TEST_F(EmulatedBoard, ScenarioCommandsAndScriptsMoveTheBoard) {
    const auto reaches = [this](int value) {
        for (int i = 0; i < 300; ++i, std::this_thread::sleep_for(10ms))
            if (encoder() == value) return true;
        return false;
    };
    emu::scenario_player player(test_board());
    EXPECT_EQ(player.execute("drift encoder 16230 600"), "");
    EXPECT_TRUE(reaches(16230)) << "a drift ends at its target";
    EXPECT_EQ(player.execute("encoder 15230"), "");
    EXPECT_EQ(encoder(), 15230) << "a value set must be on the board at once, before a program reads it";

    EXPECT_EQ(player.execute("input 3 1") + player.execute("analog 1 625"), "");
    ASSERT_TRUE(send({usb_protocol::cmd_read_io_status}) == 0 && receive() == 0);
    EXPECT_TRUE(reply[usb_protocol::inputs_offset + 2] == 1 && reply[usb_protocol::an1_offset] * 256 + reply[usb_protocol::an1_offset + 1] == 625);

    EXPECT_EQ(player.execute("fail 1 stall out"), "");
    EXPECT_EQ(encoder(), -1);
    // An unplug ends a read pending on the board at once, not at its timeout.
    std::thread puller([&player] {
        std::this_thread::sleep_for(150ms);
        EXPECT_EQ(player.execute("unplug"), "");
    });
    EXPECT_EQ(receive(5000), LIBUSB_ERROR_NO_DEVICE) << "the read waited for its timeout";
    puller.join();
    EXPECT_EQ(player.execute("plug"), "");
    ASSERT_NO_FATAL_FAILURE(claim_board());

    // A script runs on its own thread, loops back to its mark, and stops when told.
    player.start_script({"encoder 100", "mark", "encoder 200", "wait 100", "encoder 300", "wait 100", "loop"});
    EXPECT_TRUE(reaches(300));
    EXPECT_TRUE(reaches(200)) << "the script did not loop back to its mark";
    player.stop();
    const int stopped_at = encoder();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(encoder(), stopped_at) << "the script still runs after stop";
}

}  // namespace
