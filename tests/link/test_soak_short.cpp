// Plug cycles against the emulated board: more plug-ins than a bus has addresses.
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <libusb.h>

#include "board_emulator.h"
#include "emulated_board.h"
#include "usb_protocol.h"

namespace {

using namespace std::chrono_literals;

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
        if (descriptor.idVendor != usb_protocol::vendor_id || descriptor.idProduct != usb_protocol::product_id) continue;
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

}  // namespace
