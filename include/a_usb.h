#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include <libusb.h>

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
    void connection_loop();
    // ... implementation helpers are private and free to change.
};
