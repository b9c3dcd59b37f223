// The emulated board's own behaviour seen through plain libusb, where the station's tests do
// not reach it: the transfer record, a read pending at unplug, fault kinds, the interface
// claim, and the scenario language.
#include "emulated_board.h"
#include "scenario.h"
#include "usb_protocol.h"

#include <gtest/gtest.h>
#include <libusb.h>

#include <chrono>
#include <cstdlib>
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
        for (int tries = 0; (handle = open_board()) == nullptr; ++tries) {
            ASSERT_LT(tries, 150) << "the board does not open";
            std::this_thread::sleep_for(20ms);
        }
        ASSERT_EQ(libusb_claim_interface(handle, usb_protocol::interface_number), 0);
    }
    int transfer(unsigned char endpoint, bytes& data, unsigned int timeout = 300) {
        int count = 0;
        return libusb_bulk_transfer(handle, endpoint, data.data(), static_cast<int>(data.size()), &count, timeout);
    }
    int send(bytes request) { return transfer(usb_protocol::endpoint_out, request); }
    int receive(bytes& reply, unsigned int timeout = 300) {
        reply.assign(usb_protocol::packet_size, 0);
        return transfer(usb_protocol::endpoint_in, reply, timeout);
    }
    // The encoder value through one SSI exchange, or -1 when it failed.
    int encoder() {
        bytes reply;
        if (send({usb_protocol::cmd_ssi_read, 0}) != 0 || receive(reply) != 0) return -1;
        return reply[2] | (reply[3] << 8) | (reply[4] << 16);
    }

    libusb_context* context = nullptr;
    libusb_device_handle* handle = nullptr;
};

TEST_F(EmulatedBoard, RecordsOnlyWhenAskedAndKeepsTheLatest) {
    test_board().record_transfers(true, 3);
    for (std::uint32_t value : {1u, 2u, 3u}) {
        test_board().set_encoder(value);
        EXPECT_EQ(encoder(), static_cast<int>(value));
    }
    EXPECT_TRUE(test_board().wait_for_transfers(6, 1s)) << "the count goes past the kept records";
    const auto kept = test_board().transfers();
    ASSERT_EQ(kept.size(), 3u);
    EXPECT_EQ(kept[0].dir, emu::direction::in);
    EXPECT_EQ(kept[0].data[2], 2);
    EXPECT_EQ(kept[1].data, bytes({usb_protocol::cmd_ssi_read, 0}));
    EXPECT_EQ(kept[2].data[2], 3);

    test_board().record_transfers(false);
    test_board().clear_transfers();
    EXPECT_EQ(encoder(), 3);
    EXPECT_TRUE(test_board().transfers().empty());
}

TEST_F(EmulatedBoard, UnplugEndsAPendingReadAtOnce) {
    std::thread puller([] {
        std::this_thread::sleep_for(150ms);
        test_board().unplug();
    });
    bytes reply;
    EXPECT_EQ(receive(reply, 5000), LIBUSB_ERROR_NO_DEVICE) << "the read waited for its timeout";
    puller.join();
}

TEST_F(EmulatedBoard, InjectedFaultsFailOnlyTheirTransfers) {
    const std::pair<emu::fault, int> cases[] = {
        {emu::fault::timeout, LIBUSB_ERROR_TIMEOUT}, {emu::fault::stall, LIBUSB_ERROR_PIPE},
        {emu::fault::io_error, LIBUSB_ERROR_IO},     {emu::fault::no_device, LIBUSB_ERROR_NO_DEVICE},
        {emu::fault::overflow, LIBUSB_ERROR_OVERFLOW},
    };
    test_board().set_encoder(1000);
    bytes reply;
    for (const auto& [kind, result] : cases) {
        SCOPED_TRACE(result);
        // A failed OUT transfer never reaches the board: there is nothing to read after it.
        test_board().fail_next(2, kind, emu::direction::out);
        EXPECT_EQ(send({usb_protocol::cmd_ssi_read}), result);
        EXPECT_EQ(send({usb_protocol::cmd_ssi_read}), result);
        EXPECT_EQ(receive(reply, 100), LIBUSB_ERROR_TIMEOUT);
        // A failed IN transfer loses the reply it would have carried.
        test_board().fail_next(1, kind, emu::direction::in);
        EXPECT_EQ(send({usb_protocol::cmd_ssi_read}), 0);
        EXPECT_EQ(receive(reply), result);
        EXPECT_EQ(encoder(), 1000);
    }
    const auto log = test_board().transfers();
    ASSERT_FALSE(log.empty());
    EXPECT_TRUE(log[0].failed);
    EXPECT_FALSE(log.back().failed);
}

TEST_F(EmulatedBoard, ClosingTheNodeReleasesTheInterface) {
    libusb_device_handle* second = open_board();
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(libusb_claim_interface(second, usb_protocol::interface_number), LIBUSB_ERROR_BUSY);
    libusb_close(handle);  // no release call, as when a program dies
    handle = nullptr;
    // The emulation learns of the close on its own thread.
    int claimed = LIBUSB_ERROR_BUSY;
    for (int i = 0; i < 100 && claimed == LIBUSB_ERROR_BUSY; ++i) {
        std::this_thread::sleep_for(10ms);
        claimed = libusb_claim_interface(second, usb_protocol::interface_number);
    }
    EXPECT_EQ(claimed, 0);
    libusb_close(second);
}

TEST(ScenarioLanguage, NamesEveryBadLine) {
    EXPECT_TRUE(emu::check_scenario(emu::default_scenario()).empty());
    const std::vector<std::pair<std::string, bool>> lines = {
        {"# comment", true},       {"", true},           {"encoder 15230   # note", true}, {"input 13 1", false},
        {"analog 0 70000", false}, {"drift encoder 5", false}, {"noise sensor 20", true},
        {"fail 2 stall sideways", false}, {"fail 1 overflow in", true}, {"jump 3", false},
        {"sensor 0 7 1", false},   {"wait 0x10", true},  {"toggle input 12 500", true}, {"identity 1 0x72", true},
    };
    std::vector<std::string> script;
    std::vector<std::string> expected;
    for (const auto& [line, good] : lines) {
        script.push_back(line);
        if (!good) expected.push_back("line " + std::to_string(script.size()) + ":");
    }
    const auto problems = emu::check_scenario(script);
    ASSERT_EQ(problems.size(), expected.size());
    for (std::size_t i = 0; i < problems.size(); ++i) EXPECT_EQ(problems[i].rfind(expected[i], 0), 0u) << problems[i];
    EXPECT_EQ(problems[4], "line 10: unknown command 'jump'");
}

TEST_F(EmulatedBoard, ScenarioCommandsAndScriptsMoveTheBoard) {
    const auto reaches = [this](int value) {
        for (auto end = std::chrono::steady_clock::now() + 3s; std::chrono::steady_clock::now() < end;) {
            if (encoder() == value) return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    };
    emu::scenario_player player(test_board());
    EXPECT_EQ(player.execute("encoder 15230"), "");
    EXPECT_TRUE(reaches(15230));
    EXPECT_EQ(player.execute("drift encoder 16230 600"), "");
    EXPECT_TRUE(reaches(16230)) << "a drift ends at its target";
    EXPECT_NE(player.execute("encoder -1"), "");
    EXPECT_EQ(player.execute("noise encoder 20"), "");
    for (int i = 0; i < 5; ++i) EXPECT_LE(std::abs(encoder() - 16230), 20);
    EXPECT_EQ(player.execute("noise encoder 0"), "");
    EXPECT_EQ(player.execute("encoder 15230"), "");
    EXPECT_EQ(encoder(), 15230) << "a value set must be on the board at once, before a program reads it";

    EXPECT_EQ(player.execute("input 3 1"), "");
    EXPECT_EQ(player.execute("analog 1 625"), "");
    bytes status;
    ASSERT_EQ(send({usb_protocol::cmd_read_io_status}), 0);
    ASSERT_EQ(receive(status), 0);
    EXPECT_EQ(status[usb_protocol::inputs_offset + 2], 1);
    EXPECT_EQ(status[usb_protocol::an1_offset] * 256 + status[usb_protocol::an1_offset + 1], 625);

    EXPECT_EQ(player.execute("fail 1 stall out"), "");
    EXPECT_EQ(encoder(), -1);
    EXPECT_EQ(player.execute("unplug"), "");
    EXPECT_FALSE(test_board().plugged_in());
    EXPECT_EQ(player.execute("plug"), "");
    EXPECT_TRUE(test_board().plugged_in());

    // A script runs on its own thread, loops back to its mark, and stops when told.
    ASSERT_NO_FATAL_FAILURE(claim_board());
    player.start_script({"encoder 100", "mark", "encoder 200", "wait 100", "encoder 300", "wait 100", "loop"});
    EXPECT_TRUE(reaches(300));
    EXPECT_TRUE(reaches(200)) << "the script did not loop back to its mark";
    player.stop();
    const int stopped_at = encoder();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(encoder(), stopped_at) << "the script still runs after stop";
}

}  // namespace
