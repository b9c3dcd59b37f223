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

// How one exchange with the board ended.
struct exchange_outcome {
    bool sent = false;           // false: the link was down, nothing went out
    int code = LIBUSB_SUCCESS;   // libusb result of the transfer that ended the exchange
    bool short_request = false;  // fewer bytes went out than the request holds
    bool short_reply = false;    // the reply is shorter than the bytes the command reads from it
    bool held_back = false;      // not sent because the board has stopped answering
    bool ok() const { return sent && code == LIBUSB_SUCCESS && !short_request && !short_reply; }
    // Why the exchange failed, for a person to read; empty when it succeeded.
    std::string reason() const;
};

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
    // when a transfer failed, in the same channel as real data; last_exchange tells
    // the two from a reply that carries 2 or 0.
    void read_io_status();
    void write_outputs(const std::uint8_t outputs[usb_protocol::output_count]);
    void i2c_init();
    void i2c_start();
    void i2c_stop();
    std::uint8_t i2c_write(std::uint8_t byte);
    std::uint8_t i2c_read(std::uint8_t acknowledge);
    std::uint32_t ssi_read();

    // How the last command went. Called on the thread that issues the commands.
    exchange_outcome last_exchange() const { return last_outcome; }

    // How the connection thread's last search for the board went, for diagnosis; the link
    // itself never branches on it. Safe to read from any thread.
    struct search_outcome {
        int init_code = LIBUSB_SUCCESS;   // libusb_init
        bool searched = false;            // a search ran since libusb started
        bool found = false;               // a device with the board's ids was listed
        int open_code = LIBUSB_SUCCESS;   // libusb_open of the last such device tried
        int claim_code = LIBUSB_SUCCESS;  // libusb_claim_interface, when one opened
    };
    search_outcome last_search() const;

    // False from a transfer that timed out until the board answers again. Meanwhile the
    // commands send nothing (they return as if not connected, held_back set), so a silent
    // board costs the caller one timeout rather than one per command; the connection
    // thread probes the board until it answers.
    bool answering() const { return !awaiting_answer; }

    bool initialised = false;
    std::atomic<bool> connected{false};
    libusb_device** device_list = nullptr;
    libusb_device_handle* handle = nullptr;
    std::int32_t last_result = 0;
    std::mutex link_mutex;
    std::atomic<bool> stop_requested{false};
    std::thread connection_thread;
    usb_protocol::packet io_status{};
    usb_protocol::packet out_packet{};
    Kelpon_v6Frame* owner;

    // Where "Sent Not success %i" goes. The owner frame installs its LogMessage here,
    // which keeps the link free of window code; tests and benchmarks install their own.
    std::function<void(const std::string&)> log_line;

private:
    friend struct a_usb_test_access;

    void connection_loop();
    void check_presence();
    void open_board();
    void close_handle();
    void probe_board();
    void drain_replies();
    bool pause(std::chrono::milliseconds period);

    exchange_outcome exchange(const usb_protocol::command_entry& entry, unsigned char* request,
                              unsigned char* reply);
    exchange_outcome transfer_pair(const usb_protocol::command_entry& entry, unsigned char* request,
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
    exchange_outcome last_outcome;
    mutable std::mutex search_mutex;
    search_outcome search;
    std::atomic<bool> awaiting_answer{false};
};
