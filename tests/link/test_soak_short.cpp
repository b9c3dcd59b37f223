// Soak and faults on the link against the emulated board: plug cycles while commands run,
// and every command meeting every transfer fault on its OUT and on its IN transfer.
// VARNOLD_SOAK_CYCLES sets the cycle count; VARNOLD_SOAK_LONG=1 adds the time-out of every
// command (each waits the command's full time-out, 10 s or 1.5 s).
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <libusb.h>

#include "a_usb.h"
#include "board_emulator.h"
#include "emulated_board.h"
#include "process_stats.h"

namespace {

using namespace std::chrono_literals;
using emu::direction;
using emu::fault;

constexpr std::uint32_t encoder = 0x123456;

int env_int(const char* name, int fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? std::atoi(value) : fallback;
}

bool long_form() { return env_int("VARNOLD_SOAK_LONG", 0) != 0; }

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return condition();
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// Opens the board through a context of its own, as the station's link would; false when it is
// not listed or does not open.
bool board_opens(libusb_context* context) {
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    bool opened = false;
    for (ssize_t i = 0; i < count && !opened; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(list[i], &descriptor) != LIBUSB_SUCCESS) continue;
        if (descriptor.idVendor != 0x04d8 || descriptor.idProduct != 0x0053) continue;
        libusb_device_handle* handle = nullptr;
        if (libusb_open(list[i], &handle) == LIBUSB_SUCCESS) {
            opened = true;
            libusb_close(handle);
        }
    }
    if (count >= 0) libusb_free_device_list(list, 1);
    return opened;
}

// A bus hands out device addresses 1 to 127 and then starts again; the emulated board once
// counted on past 255, where libusb (which reads the address as a byte) lost it for good,
// and the 1000-cycle soak stopped at cycle 254.
TEST(EmulatedBoardSoak, BoardStaysReachableAfterMorePlugInsThanAddresses) {
    libusb_context* context = nullptr;
    ASSERT_EQ(libusb_init(&context), LIBUSB_SUCCESS);
    for (int cycle = 0; cycle < 300; ++cycle) {
        SCOPED_TRACE("plug-in " + std::to_string(cycle));
        if (test_board().plugged_in()) test_board().unplug();
        test_board().plug_in();
        ASSERT_TRUE(wait_until([context] { return board_opens(context); }, 2s)) << test_board().device_node();
    }
    test_board().unplug();
    libusb_exit(context);
}

class LinkSoak : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test_board().plugged_in()) test_board().plug_in();
        test_board().set_encoder(encoder);
        link.log_line = [this](const std::string& line) { logged.push_back(line); };
        link.start_connection_thread();
        ASSERT_TRUE(wait_until([this] { return link.connected.load(); }, 5s));
    }
    void TearDown() override {
        if (test_board().plugged_in()) test_board().unplug();
        test_board().clear_transfers();
    }

    a_usb link{nullptr};
    std::vector<std::string> logged;
};

TEST_F(LinkSoak, ReconnectsOnEveryPlugCycleWhileCommandsRun) {
    const int cycles = env_int("VARNOLD_SOAK_CYCLES", 30);
    int fds_after_first = -1;
    for (int cycle = 0; cycle < cycles; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        ASSERT_EQ(link.ssi_read(), encoder);
        test_board().unplug();
        // Commands keep coming while the board is away; the first failure or the connection
        // thread drops the link, and from then on commands answer "not connected" at once.
        ASSERT_TRUE(wait_until([this] { link.ssi_read(); return !link.connected.load(); }, 5s));
        EXPECT_EQ(link.ssi_read(), 2u);
        test_board().plug_in();
        ASSERT_TRUE(wait_until([this] { link.i2c_start(); return link.connected.load(); }, 5s));
        EXPECT_EQ(link.ssi_read(), encoder);
        test_board().clear_transfers();
        if (cycle == 0) fds_after_first = soak::station_fds();
    }
    const int fds = soak::station_fds();
    std::printf("link soak: %d plug cycles; descriptors after the first %d, after the last %d\n", cycles,
                fds_after_first, fds);
    EXPECT_EQ(fds, fds_after_first) << "file descriptors grew over " << cycles << " plug cycles";
}

struct command {
    const char* name;
    bool has_reply;
    std::function<std::optional<std::uint32_t>(a_usb&)> call;  // the result, for those that return one
};

std::vector<command> all_commands() {
    const std::uint8_t outputs[17] = {1, 0, 1};
    return {
        {"read_io_status", true, [](a_usb& l) { l.read_io_status(); return std::optional<std::uint32_t>(); }},
        {"write_outputs", false, [outputs](a_usb& l) { l.write_outputs(outputs); return std::optional<std::uint32_t>(); }},
        {"i2c_init", false, [](a_usb& l) { l.i2c_init(); return std::optional<std::uint32_t>(); }},
        {"i2c_start", false, [](a_usb& l) { l.i2c_start(); return std::optional<std::uint32_t>(); }},
        {"i2c_stop", false, [](a_usb& l) { l.i2c_stop(); return std::optional<std::uint32_t>(); }},
        {"i2c_write", true, [](a_usb& l) { return std::optional<std::uint32_t>(l.i2c_write(0xD0)); }},
        {"i2c_read", true, [](a_usb& l) { return std::optional<std::uint32_t>(l.i2c_read(1)); }},
        {"ssi_read", true, [](a_usb& l) { return std::optional<std::uint32_t>(l.ssi_read()); }},
    };
}

struct fault_kind {
    fault kind;
    const char* name;
    int libusb_code;
    bool drops_link;
};

const fault_kind fault_kinds[] = {
    {fault::timeout, "timeout", LIBUSB_ERROR_TIMEOUT, false},
    {fault::stall, "stall", LIBUSB_ERROR_PIPE, false},
    {fault::io_error, "I/O error", LIBUSB_ERROR_IO, true},
    {fault::no_device, "no device", LIBUSB_ERROR_NO_DEVICE, true},
    {fault::overflow, "overflow", LIBUSB_ERROR_OVERFLOW, false},
};

// Time-outs cost the command's whole time-out; the short form keeps the two cheapest
// representatives: a time-out on an OUT (write_outputs, 1.5 s) and on an IN (ssi_read, 10 s).
bool run_case(const command& c, fault kind, direction which) {
    if (kind != fault::timeout || long_form()) return true;
    const std::string name = c.name;
    return (which == direction::out && name == "write_outputs") || (which == direction::in && name == "ssi_read");
}

TEST_F(LinkSoak, EveryCommandMeetsEveryFaultOnEachTransfer) {
    int cases = 0;
    for (const command& c : all_commands()) {
        for (const fault_kind& f : fault_kinds) {
            for (const direction which : {direction::out, direction::in}) {
                if (which == direction::in && !c.has_reply) continue;
                if (!run_case(c, f.kind, which)) continue;
                SCOPED_TRACE(std::string(c.name) + ", " + f.name + " on the " + (which == direction::out ? "OUT" : "IN") +
                             " transfer");
                ++cases;
                // Live traffic before: the link works.
                ASSERT_EQ(link.ssi_read(), encoder);
                logged.clear();
                test_board().clear_transfers();
                test_board().fail_next(1, f.kind, which);
                const std::optional<std::uint32_t> result = c.call(link);

                if (result) {
                    EXPECT_EQ(*result, 0u) << "a failed transfer returns 0";
                }
                EXPECT_EQ(link.connected.load(), !f.drops_link);
                if (which == direction::out) {
                    for (const auto& t : test_board().transfers()) {
                        EXPECT_NE(t.dir, direction::in) << "a reply was read for a request that did not go out";
                    }
                }
                const bool reports = std::string(c.name) == "write_outputs" && !f.drops_link;
                if (reports) {
                    ASSERT_EQ(logged.size(), 1u);
                    EXPECT_EQ(logged[0], "Sent Not success " + std::to_string(f.libusb_code));
                } else {
                    EXPECT_TRUE(logged.empty());
                }
                // Live traffic after: the link comes back (at once, or through the connection
                // thread after a link error) and answers with the board's data, not a stale reply.
                ASSERT_TRUE(wait_until([this] { return link.connected.load(); }, 5s));
                EXPECT_EQ(link.ssi_read(), encoder);
                test_board().set_input(3, 42);
                link.read_io_status();
                EXPECT_EQ(link.io_status[2], 42);
                test_board().set_input(3, 0);
            }
        }
    }
    EXPECT_EQ(cases, long_form() ? 60 : 50);
}

}  // namespace
