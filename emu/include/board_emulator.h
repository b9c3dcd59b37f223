#pragma once
// The emulated controller board: a firmware model behind a umockdev USB transport,
// seen by unmodified libusb code as device 04d8:0053. One control surface serves
// tests, benchmarks and the demo launcher.
//
// A process that uses it must run with LD_PRELOAD=libumockdev-preload.so.0, and the
// emulator must be constructed before anything in the process calls libusb_init.
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace emu {

enum class direction { out, in };

// Transfer faults the board can be told to produce.
enum class fault {
    timeout,    // the transfer never completes; libusb gives LIBUSB_ERROR_TIMEOUT
    stall,      // LIBUSB_ERROR_PIPE
    io_error,   // LIBUSB_ERROR_IO
    no_device,  // LIBUSB_ERROR_NO_DEVICE
    overflow,   // LIBUSB_ERROR_OVERFLOW
    short_reply,  // an IN transfer ends at once with an empty reply (no error)
};

struct transfer_record {
    direction dir;
    std::vector<std::uint8_t> data;  // bytes sent (out) or returned (in)
    bool failed = false;             // a fault was injected on this transfer
};

// True when this process runs under the umockdev preload.
bool preload_active();

class board_emulator {
public:
    // Creates the testbed; plugged_in selects whether the board is attached at once.
    explicit board_emulator(bool plugged_in = true);
    ~board_emulator();
    board_emulator(const board_emulator&) = delete;
    board_emulator& operator=(const board_emulator&) = delete;

    // Attach / detach. Each plug-in uses a new device address, as a real bus does.
    void plug_in();
    void unplug();
    bool plugged_in() const;

    // Board inputs.
    void set_input(int number, std::uint8_t value);  // number 1..12
    void set_analog(int channel, std::uint16_t count);  // channel 0 (AN0) or 1 (AN1)
    void set_encoder(std::uint32_t value);  // 24-bit SSI value
    // Data word of a motion sensor: sensor 0 at 0x68, 1 at 0x69; word 0 is registers
    // 0x3B-0x3C, word 1 is 0x3D-0x3E, and so on.
    void set_sensor_word(int sensor, int word, std::uint16_t value);
    void set_sensor_identity(int sensor, std::uint8_t identity);
    void set_sensor_present(int sensor, bool present);

    // What the station did.
    std::array<std::uint8_t, 17> outputs() const;
    std::vector<transfer_record> transfers() const;
    void clear_transfers();
    // Waits until at least count transfers are logged; false on timeout.
    bool wait_for_transfers(std::size_t count, std::chrono::milliseconds limit) const;

    // Faults: the next count transfers in the given direction fail with kind.
    void fail_next(int count, fault kind, direction which);

    // The device node path of the current attachment (for diagnostics).
    std::string device_node() const;

private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

}  // namespace emu
