#pragma once
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include <libusb.h>

#include "usb_protocol.h"

class Kelpon_v6Frame;

// The one link to the controller board. A background thread finds, opens and
// watches the board; the GUI thread issues every command synchronously.
class a_usb {
public:
    explicit a_usb(Kelpon_v6Frame* owner);
    ~a_usb();
    a_usb(const a_usb&) = delete;
    a_usb& operator=(const a_usb&) = delete;

    void start_connection_thread();

    // Command set. Value-returning commands return 2 when not connected and 0
    // when a transfer failed, in the same channel as real data.
    void read_io_status();
    void write_outputs(const std::uint8_t outputs[17]);
    void i2c_init();
    void i2c_start();
    void i2c_stop();
    std::uint8_t i2c_write(std::uint8_t byte);
    std::uint8_t i2c_read(std::uint8_t acknowledge);
    std::uint32_t ssi_read();

    bool initialised = false;
    std::atomic<bool> connected{false};
    libusb_device** device_list = nullptr;
    libusb_device_handle* handle = nullptr;
    std::int32_t last_result = 0;
    std::mutex link_mutex;
    std::atomic<bool> stop_requested{false};
    std::thread connection_thread;
    std::array<std::uint8_t, 64> io_status{};
    std::array<std::uint8_t, 64> out_packet{};
    Kelpon_v6Frame* owner;

    // Where "Sent Not success %i" goes. The owner frame installs its LogMessage here,
    // which keeps the link free of window code; tests and benchmarks install their own.
    std::function<void(const std::string&)> log_line;

private:
    friend struct a_usb_test_access;

    // How one exchange ended: not sent at all (link down), or the libusb result of the
    // transfer that ended it (LIBUSB_SUCCESS when the whole exchange went through).
    struct exchange_outcome {
        bool sent = false;
        int code = LIBUSB_SUCCESS;
        bool ok() const { return sent && code == LIBUSB_SUCCESS; }
    };

    void connection_loop();
    void check_presence();
    void open_board();
    void close_handle();
    bool pause(std::chrono::milliseconds period);

    exchange_outcome exchange(const usb_protocol::command_entry& entry, unsigned char* request,
                              unsigned char* reply);
    bool link_usable() const;  // caller holds link_mutex
    void apply_error_rule(int code);

    // Wakes the connection thread's sleep at once when destruction starts.
    std::mutex wake_mutex;
    std::condition_variable wake;
    // Counts handles stored (guarded by link_mutex), so the reply of an exchange is never
    // read from a handle other than the one the request went out on.
    std::uint64_t handle_generation = 0;
    // Runs between the OUT and the IN transfer, without the lock; set only by tests.
    std::function<void()> between_transfers;
};
