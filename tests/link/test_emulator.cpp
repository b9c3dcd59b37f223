// The emulated board seen through plain libusb, as any program on the machine sees it.
#include "emulated_board.h"
#include "scenario.h"
#include "usb_protocol.h"

#include <gtest/gtest.h>
#include <libusb.h>

#include <array>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr unsigned int short_timeout_ms = 300;

class EmulatedBoard : public ::testing::Test {
protected:
    void SetUp() override {
        board().plug_in();
        board().clear_transfers();
        ASSERT_EQ(libusb_init(&context), 0);
    }
    void TearDown() override {
        close_board();
        if (context != nullptr) libusb_exit(context);
        if (board().plugged_in()) board().unplug();
    }

    static emu::board_emulator& board() { return test_board(); }

    // libusb learns of plug events on its own thread: poll the device list for a while.
    libusb_device* find_board(std::chrono::milliseconds limit = 3s) {
        const auto end = std::chrono::steady_clock::now() + limit;
        do {
            libusb_device** list = nullptr;
            const ssize_t count = libusb_get_device_list(context, &list);
            libusb_device* found = nullptr;
            for (ssize_t i = 0; i < count && found == nullptr; ++i) {
                libusb_device_descriptor descriptor{};
                if (libusb_get_device_descriptor(list[i], &descriptor) == 0 &&
                    descriptor.idVendor == usb_protocol::vendor_id && descriptor.idProduct == usb_protocol::product_id)
                    found = libusb_ref_device(list[i]);
            }
            if (count >= 0) libusb_free_device_list(list, 1);
            if (found != nullptr) return found;
            std::this_thread::sleep_for(20ms);
        } while (std::chrono::steady_clock::now() < end);
        return nullptr;
    }

    bool board_listed() {
        libusb_device* device = find_board(0ms);
        if (device == nullptr) return false;
        libusb_unref_device(device);
        return true;
    }

    bool wait_until_gone(std::chrono::milliseconds limit = 3s) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (board_listed()) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(20ms);
        }
        return true;
    }

    void open_board() {
        libusb_device* device = find_board();
        ASSERT_NE(device, nullptr) << "the emulated board did not appear in libusb's device list";
        address = libusb_get_device_address(device);
        ASSERT_EQ(libusb_open(device, &handle), 0);
        libusb_unref_device(device);
        ASSERT_EQ(libusb_claim_interface(handle, usb_protocol::interface_number), 0);
    }

    void close_board() {
        if (handle == nullptr) return;
        libusb_release_interface(handle, usb_protocol::interface_number);
        libusb_close(handle);
        handle = nullptr;
    }

    int send(std::vector<std::uint8_t> request, unsigned int timeout = short_timeout_ms) {
        int sent = 0;
        return libusb_bulk_transfer(handle, usb_protocol::endpoint_out, request.data(),
                                    static_cast<int>(request.size()), &sent, timeout);
    }

    int receive(std::array<std::uint8_t, 64>& reply, int& received, unsigned int timeout = short_timeout_ms) {
        return libusb_bulk_transfer(handle, usb_protocol::endpoint_in, reply.data(), static_cast<int>(reply.size()),
                                    &received, timeout);
    }

    static std::vector<std::uint8_t> ssi_request() {
        std::vector<std::uint8_t> request(16, 0);
        request[0] = usb_protocol::cmd_ssi_read;
        return request;
    }

    static std::uint32_t ssi_value(const std::array<std::uint8_t, 64>& reply) {
        return static_cast<std::uint32_t>(reply[2] | (reply[3] << 8) | (reply[4] << 16));
    }

    libusb_context* context = nullptr;
    libusb_device_handle* handle = nullptr;
    int address = 0;
};

TEST_F(EmulatedBoard, ShowsTheBoardsDescriptors) {
    libusb_device* device = find_board();
    ASSERT_NE(device, nullptr);
    libusb_device_descriptor descriptor{};
    ASSERT_EQ(libusb_get_device_descriptor(device, &descriptor), 0);
    EXPECT_EQ(descriptor.idVendor, 0x04D8);
    EXPECT_EQ(descriptor.idProduct, 0x0053);
    EXPECT_EQ(descriptor.bNumConfigurations, 1);

    libusb_config_descriptor* config = nullptr;
    ASSERT_EQ(libusb_get_active_config_descriptor(device, &config), 0);
    ASSERT_EQ(config->bNumInterfaces, 1);
    const libusb_interface_descriptor& interface = config->interface[0].altsetting[0];
    EXPECT_EQ(interface.bInterfaceNumber, 0);
    EXPECT_EQ(interface.bInterfaceClass, 0xFF);
    ASSERT_EQ(interface.bNumEndpoints, 2);
    EXPECT_EQ(interface.endpoint[0].bEndpointAddress, 0x01);
    EXPECT_EQ(interface.endpoint[1].bEndpointAddress, 0x81);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(interface.endpoint[i].bmAttributes & 0x03, LIBUSB_TRANSFER_TYPE_BULK);
        EXPECT_EQ(interface.endpoint[i].wMaxPacketSize, 64);
    }
    libusb_free_config_descriptor(config);

    libusb_device_handle* opened = nullptr;
    ASSERT_EQ(libusb_open(device, &opened), 0);
    unsigned char text[64] = {};
    EXPECT_GT(libusb_get_string_descriptor_ascii(opened, descriptor.iProduct, text, sizeof text), 0);
    libusb_close(opened);
    libusb_unref_device(device);
}

TEST_F(EmulatedBoard, AnswersAnExchangeAndLogsIt) {
    board().set_encoder(197121);
    ASSERT_NO_FATAL_FAILURE(open_board());
    ASSERT_EQ(send(ssi_request()), 0);
    std::array<std::uint8_t, 64> reply{};
    int received = 0;
    ASSERT_EQ(receive(reply, received), 0);
    EXPECT_EQ(received, 64);
    EXPECT_EQ(reply[2], 1);
    EXPECT_EQ(reply[3], 2);
    EXPECT_EQ(reply[4], 3);

    // A command without a reply leaves nothing to read: the IN transfer times out.
    std::vector<std::uint8_t> outputs(64, 0);
    outputs[0] = usb_protocol::cmd_write_outputs;
    outputs[1] = 1;
    outputs[17] = 1;
    ASSERT_EQ(send(outputs), 0);
    EXPECT_EQ(receive(reply, received, 100), LIBUSB_ERROR_TIMEOUT);
    const auto out = board().outputs();
    EXPECT_EQ(out[0], 1);
    EXPECT_EQ(out[16], 1);
    EXPECT_EQ(out[1], 0);

    const auto log = board().transfers();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].dir, emu::direction::out);
    EXPECT_EQ(log[0].data, ssi_request());
    EXPECT_FALSE(log[0].failed);
    EXPECT_EQ(log[1].dir, emu::direction::in);
    ASSERT_EQ(log[1].data.size(), 64u);
    EXPECT_EQ(log[1].data[2], 1);
    EXPECT_EQ(log[2].data, outputs);
    board().clear_transfers();
    EXPECT_TRUE(board().transfers().empty());

    // Exchanges keep working after a timed-out read: the discarded URB leaves no trace.
    board().set_encoder(42);
    ASSERT_EQ(send(ssi_request()), 0);
    ASSERT_EQ(receive(reply, received), 0);
    EXPECT_EQ(ssi_value(reply), 42u);
    EXPECT_TRUE(board().wait_for_transfers(2, 1s));
}

TEST_F(EmulatedBoard, UnplugAndPlugInAgain) {
    ASSERT_NO_FATAL_FAILURE(open_board());
    const int first_address = address;
    const std::string first_node = board().device_node();
    EXPECT_FALSE(first_node.empty());

    board().unplug();
    EXPECT_FALSE(board().plugged_in());
    EXPECT_EQ(board().device_node(), "");
    EXPECT_EQ(send(ssi_request()), LIBUSB_ERROR_NO_DEVICE);
    std::array<std::uint8_t, 64> reply{};
    int received = 0;
    EXPECT_EQ(receive(reply, received), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_TRUE(wait_until_gone()) << "the unplugged board is still listed";
    close_board();

    board().plug_in();
    EXPECT_NE(board().device_node(), first_node);
    ASSERT_NO_FATAL_FAILURE(open_board());
    EXPECT_NE(address, first_address);
    board().set_encoder(7);
    ASSERT_EQ(send(ssi_request()), 0);
    ASSERT_EQ(receive(reply, received), 0);
    EXPECT_EQ(ssi_value(reply), 7u);
}

TEST_F(EmulatedBoard, UnplugDuringAPendingReadEndsIt) {
    ASSERT_NO_FATAL_FAILURE(open_board());
    std::thread puller([] {
        std::this_thread::sleep_for(150ms);
        board().unplug();
    });
    std::array<std::uint8_t, 64> reply{};
    int received = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(receive(reply, received, 5000), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 4s) << "the read waited for its timeout";
    puller.join();
}

struct fault_case {
    emu::fault kind;
    int libusb_result;
};

TEST_F(EmulatedBoard, InjectedFaultsGiveTheirLibusbErrors) {
    const fault_case cases[] = {
        {emu::fault::timeout, LIBUSB_ERROR_TIMEOUT}, {emu::fault::stall, LIBUSB_ERROR_PIPE},
        {emu::fault::io_error, LIBUSB_ERROR_IO},     {emu::fault::no_device, LIBUSB_ERROR_NO_DEVICE},
        {emu::fault::overflow, LIBUSB_ERROR_OVERFLOW},
    };
    ASSERT_NO_FATAL_FAILURE(open_board());
    std::array<std::uint8_t, 64> reply{};
    int received = 0;
    board().set_encoder(1000);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.libusb_result);
        // OUT: the request does not reach the board, so there is nothing to read.
        board().fail_next(1, c.kind, emu::direction::out);
        board().clear_transfers();
        EXPECT_EQ(send(ssi_request()), c.libusb_result);
        EXPECT_EQ(receive(reply, received, 100), LIBUSB_ERROR_TIMEOUT);
        auto log = board().transfers();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_TRUE(log[0].failed);
        EXPECT_EQ(log[0].dir, emu::direction::out);

        // IN: the request arrives, its reply is lost with the failed read.
        board().fail_next(1, c.kind, emu::direction::in);
        board().clear_transfers();
        EXPECT_EQ(send(ssi_request()), 0);
        EXPECT_EQ(receive(reply, received), c.libusb_result);
        log = board().transfers();
        ASSERT_EQ(log.size(), 2u);
        EXPECT_FALSE(log[0].failed);
        EXPECT_TRUE(log[1].failed);
        EXPECT_EQ(log[1].dir, emu::direction::in);

        // Only the next transfer fails: the following exchange is clean.
        ASSERT_EQ(send(ssi_request()), 0);
        ASSERT_EQ(receive(reply, received), 0);
        EXPECT_EQ(ssi_value(reply), 1000u);
    }

    // A count covers that many transfers in a row.
    board().fail_next(2, emu::fault::stall, emu::direction::out);
    EXPECT_EQ(send(ssi_request()), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(send(ssi_request()), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(send(ssi_request()), 0);
    EXPECT_EQ(receive(reply, received), 0);
}

TEST_F(EmulatedBoard, InterfaceHeldByAnotherHandleCannotBeClaimed) {
    ASSERT_NO_FATAL_FAILURE(open_board());
    libusb_device* device = find_board();
    ASSERT_NE(device, nullptr);
    libusb_device_handle* second = nullptr;
    ASSERT_EQ(libusb_open(device, &second), 0);
    EXPECT_EQ(libusb_claim_interface(second, 0), LIBUSB_ERROR_BUSY);
    libusb_close(second);
    libusb_unref_device(device);
    // Closing the node releases the interface, as the kernel does, without a release call.
    libusb_close(handle);
    handle = nullptr;
    ASSERT_NO_FATAL_FAILURE(open_board());
}

}  // namespace

namespace {

using namespace std::chrono_literals;

TEST(ScenarioLanguage, ChecksEveryLine) {
    EXPECT_TRUE(emu::check_scenario(emu::default_scenario()).empty());
    const std::vector<std::string> script = {
        "# comment", "", "encoder 15230   # trailing comment", "input 13 1", "analog 0 70000", "drift encoder 5",
        "noise sensor 0 0 20", "noise sensor 20", "fail 2 stall sideways", "fail 1 overflow in", "jump 3",
        "sensor 0 7 1", "wait 0x10", "echo anything at all", "toggle input 12 500", "identity 1 0x72",
    };
    const auto problems = emu::check_scenario(script);
    ASSERT_EQ(problems.size(), 6u);
    EXPECT_EQ(problems[0].rfind("line 4:", 0), 0u) << problems[0];
    EXPECT_EQ(problems[1].rfind("line 5:", 0), 0u) << problems[1];
    EXPECT_EQ(problems[2].rfind("line 6:", 0), 0u) << problems[2];
    EXPECT_EQ(problems[3].rfind("line 9:", 0), 0u) << problems[3];
    EXPECT_EQ(problems[4], "line 11: unknown command 'jump'");
    EXPECT_EQ(problems[5].rfind("line 12:", 0), 0u) << problems[5];
}

class ScenarioPlayer : public ::testing::Test {
protected:
    void SetUp() override {
        test_board().plug_in();
        ASSERT_EQ(libusb_init(&context), 0);
        handle = libusb_open_device_with_vid_pid(context, usb_protocol::vendor_id, usb_protocol::product_id);
        ASSERT_NE(handle, nullptr);
        ASSERT_EQ(libusb_claim_interface(handle, 0), 0);
    }
    void TearDown() override {
        if (handle != nullptr) libusb_close(handle);
        if (context != nullptr) libusb_exit(context);
        if (test_board().plugged_in()) test_board().unplug();
    }

    // One exchange; the reply's bytes, or an empty vector when the exchange failed.
    std::vector<std::uint8_t> exchange(std::vector<std::uint8_t> request, bool has_reply = true) {
        int count = 0;
        if (libusb_bulk_transfer(handle, usb_protocol::endpoint_out, request.data(), static_cast<int>(request.size()),
                                 &count, 500) != 0)
            return {};
        std::vector<std::uint8_t> reply(64, 0);
        if (has_reply &&
            libusb_bulk_transfer(handle, usb_protocol::endpoint_in, reply.data(), 64, &count, 500) != 0)
            return {};
        return reply;
    }
    std::uint32_t encoder() {
        const auto reply = exchange({usb_protocol::cmd_ssi_read, 0, 0, 0});
        return reply.empty() ? 0xFFFFFFFFu : static_cast<std::uint32_t>(reply[2] | (reply[3] << 8) | (reply[4] << 16));
    }
    bool encoder_reaches(std::uint32_t value, std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (encoder() != value) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(10ms);
        }
        return true;
    }
    unsigned sensor0_word0() {
        const auto write = [this](std::uint8_t byte) { exchange({usb_protocol::cmd_i2c_write, byte}); };
        exchange({usb_protocol::cmd_i2c_start}, false);
        write(0xD0);
        write(0x6B);
        write(0x00);
        exchange({usb_protocol::cmd_i2c_start}, false);
        write(0xD0);
        write(0x3B);
        exchange({usb_protocol::cmd_i2c_start}, false);
        write(0xD1);
        const unsigned high = exchange({usb_protocol::cmd_i2c_read, 0})[0];
        const unsigned low = exchange({usb_protocol::cmd_i2c_read, 1})[0];
        exchange({usb_protocol::cmd_i2c_stop}, false);
        return high * 256 + low;
    }

    libusb_context* context = nullptr;
    libusb_device_handle* handle = nullptr;
};

TEST_F(ScenarioPlayer, CommandsMoveTheBoard) {
    emu::scenario_player player(test_board());
    EXPECT_EQ(player.execute("encoder 15230"), "");
    EXPECT_TRUE(encoder_reaches(15230, 2s));

    // A drift passes through values between its ends.
    EXPECT_EQ(player.execute("drift encoder 16230 600"), "");
    std::this_thread::sleep_for(250ms);
    const std::uint32_t between = encoder();
    EXPECT_GT(between, 15230u);
    EXPECT_LT(between, 16230u);
    EXPECT_TRUE(encoder_reaches(16230, 3s));

    EXPECT_EQ(player.execute("input 3 1"), "");
    EXPECT_EQ(player.execute("analog 1 625"), "");
    std::this_thread::sleep_for(150ms);
    const auto status = exchange({usb_protocol::cmd_read_io_status});
    ASSERT_EQ(status.size(), 64u);
    EXPECT_EQ(status[2], 1);
    EXPECT_EQ(status[22] * 256 + status[23], 625);

    EXPECT_EQ(player.execute("sensor 0 0 20000"), "");
    EXPECT_EQ(player.execute("noise sensor 0 0 20"), "");
    std::this_thread::sleep_for(150ms);
    for (int i = 0; i < 5; ++i) {
        const unsigned word = sensor0_word0();
        EXPECT_GE(word, 19980u);
        EXPECT_LE(word, 20020u);
    }

    EXPECT_EQ(player.execute("fail 1 stall out"), "");
    EXPECT_TRUE(exchange({usb_protocol::cmd_ssi_read}).empty());
    EXPECT_FALSE(exchange({usb_protocol::cmd_ssi_read}).empty());

    EXPECT_NE(player.execute("encoder -1"), "");
    EXPECT_EQ(player.execute("unplug"), "");
    EXPECT_FALSE(test_board().plugged_in());
    EXPECT_EQ(player.execute("plug"), "");
    EXPECT_TRUE(test_board().plugged_in());
}

TEST_F(ScenarioPlayer, ScriptRunsOnItsOwnThreadAndLoops) {
    emu::scenario_player player(test_board());
    player.start_script({"encoder 100", "mark", "encoder 200", "wait 100", "encoder 300", "wait 100", "loop"});
    EXPECT_TRUE(encoder_reaches(300, 2s));
    EXPECT_TRUE(encoder_reaches(200, 2s)) << "the script did not loop back to its mark";
    player.stop();
    const std::uint32_t stopped_at = encoder();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(encoder(), stopped_at) << "the script still runs after stop";
}

}  // namespace
