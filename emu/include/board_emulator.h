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

#include "usb_protocol.h"

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
    void set_input(int number, std::uint8_t value);  // number 1..usb_protocol::input_count
    void set_analog(int channel, std::uint16_t count);  // channel 0 (AN0) or 1 (AN1)
    void set_encoder(std::uint32_t value);  // 24-bit SSI value
    // Data word of a motion sensor (sensor_registers.h): sensor 0 or 1; word 0 is the first
    // data word, word 1 the next, and so on.
    void set_sensor_word(int sensor, int word, std::uint16_t value);
    void set_sensor_identity(int sensor, std::uint8_t identity);
    void set_sensor_present(int sensor, bool present);
    // The sensor leaves the last off of every `every` addressings unanswered; every 0 mends it.
    void set_sensor_loose(int sensor, int off, int every);

    // What the station did.
    std::array<std::uint8_t, usb_protocol::output_count> outputs() const;

    // Transfer records are kept only while recording is on (it starts off), and then only
    // the last `limit` of them, so a long run cannot grow without end.
    static constexpr std::size_t default_record_limit = 4096;
    void record_transfers(bool on, std::size_t limit = default_record_limit);
    std::vector<transfer_record> transfers() const;  // oldest first
    void clear_transfers();
    // Waits until at least count transfers were recorded since the last clear; false on timeout.
    bool wait_for_transfers(std::size_t count, std::chrono::milliseconds limit) const;

    // Faults: the next count transfers in the given direction fail with kind.
    void fail_next(int count, fault kind, direction which);
    // The next request that starts with the command byte fails with kind (on its OUT transfer).
    void fail_next_command(std::uint8_t command, fault kind);
    // Drops the faults not yet used.
    void clear_faults();

    // The device node path of the current attachment (for diagnostics).
    std::string device_node() const;

private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

}  // namespace emu
