// The emulated board's USB transport: a umockdev testbed holds the device record, and
// an ioctl handler answers the usbdevfs requests of libusb's Linux backend on
// umockdev's worker thread. Bulk OUT packets go to the firmware model; its replies
// complete bulk IN URBs.
#include "board_emulator.h"

#include "board_model.h"
#include "usb_descriptors.h"
#include "usb_protocol.h"

#include <umockdev.h>

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <list>
#include <map>
#include <mutex>
#include <stdexcept>

namespace emu {

bool preload_active() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr;
}

namespace {

constexpr int bus_number = 1;
constexpr const char* sys_path = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2";
constexpr std::size_t max_queued_replies = 16;

struct gobject_deleter {
    void operator()(gpointer object) const {
        if (object != nullptr) g_object_unref(object);
    }
};

std::string device_node_for(int address) {
    char path[32];
    std::snprintf(path, sizeof path, "/dev/bus/usb/%03d/%03d", bus_number, address);
    return path;
}

int errno_of(fault kind) {
    switch (kind) {
    case fault::stall: return EPIPE;
    case fault::io_error: return EPROTO;
    case fault::no_device: return ENODEV;
    case fault::overflow: return EOVERFLOW;
    case fault::timeout: break;
    case fault::short_reply: break;
    }
    return 0;
}

int dir_index(direction which) { return which == direction::out ? 0 : 1; }

// Addresses as a bus hands them out: 2 to 127 (the root hub keeps 1), coming round again after
// 126 plug-ins. libusb reads the address as one byte, so a count past 255 loses the board.
constexpr int first_address = 2;
constexpr int last_address = 127;

}  // namespace

struct transport;

// One device node of the board: a new one for every plug-in, kept until its address comes
// round again (or the emulator ends) so that clients still holding the old node get ENODEV,
// not a broken socket.
struct attachment {
    transport* owner = nullptr;
    int address = 0;
    std::string node;     // /dev/bus/usb/001/NNN
    std::string syspath;  // as umockdev returned it
    UMockdevIoctlBase* handler = nullptr;
    int fifo = -1;        // our end of the node; holds one byte while nothing is reapable
    bool fifo_full = false;
    bool gone = false;
    UMockdevIoctlClient* interface_owner = nullptr;  // who claimed interface 0
};

// A URB the board has accepted and not yet handed back.
struct urb_entry {
    attachment* node = nullptr;
    UMockdevIoctlClient* client = nullptr;  // one reference held
    UMockdevIoctlData* urb = nullptr;       // one reference held
    UMockdevIoctlData* buffer = nullptr;    // one reference held; null for empty buffers
    unsigned char endpoint = 0;
    bool reapable = false;
    bool black_hole = false;  // a timeout fault: only a discard or an unplug ends it
    int status = 0;
    std::vector<std::uint8_t> reply;  // IN data to write back at reap time
};

struct transport {
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::unique_ptr<UMockdevTestbed, gobject_deleter> testbed;
    std::string root;
    board_model model;
    std::deque<packet> replies;
    std::list<urb_entry> urbs;  // submit order
    std::vector<std::unique_ptr<attachment>> nodes;
    attachment* current = nullptr;
    int next_address = first_address;
    std::array<std::deque<fault>, 2> faults;
    std::deque<transfer_record> log;  // bounded by log_limit, oldest first
    bool recording = false;
    std::size_t log_limit = 0;
    std::size_t logged_since_clear = 0;
    std::vector<std::pair<std::uint8_t, fault>> command_faults;

    // Called with mutex held.
    void refresh_fifo(attachment& node);
    void satisfy_pending_in();
    void release(urb_entry& entry);
    void submit(attachment& node, UMockdevIoctlClient* client);
    void reap(attachment& node, UMockdevIoctlClient* client);
    void discard(attachment& node, UMockdevIoctlClient* client);
    void claim(attachment& node, UMockdevIoctlClient* client, bool release_it);
    void drop_closed_clients();
    std::unique_ptr<attachment> take_node(int address);
    bool take_fault(direction which, fault& kind);
    bool take_command_fault(const std::uint8_t* bytes, std::size_t length, fault& kind);
    void record(direction which, std::vector<std::uint8_t> data, bool failed);

    gboolean handle_ioctl(attachment& node, UMockdevIoctlClient* client);
    void make_node_fifo(attachment& node);
};

struct board_emulator::impl : transport {};

namespace {

gboolean on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user_data) {
    auto* node = static_cast<attachment*>(user_data);
    return node->owner->handle_ioctl(*node, client);
}

// The owner is referenced so its connected state can still be asked after it closed.
void set_interface_owner(attachment& node, UMockdevIoctlClient* client) {
    if (client != nullptr) g_object_ref(client);
    if (node.interface_owner != nullptr) g_object_unref(node.interface_owner);
    node.interface_owner = client;
}

void complete(UMockdevIoctlClient* client, long result, int error) {
    umockdev_ioctl_client_complete(client, result, error);
}

// Reads the ioctl argument itself (a pointer value or a small integer).
unsigned long argument_value(UMockdevIoctlClient* client) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    unsigned long value = 0;
    if (arg != nullptr && arg->data != nullptr)
        std::memcpy(&value, arg->data, std::min(sizeof value, static_cast<std::size_t>(arg->data_len)));
    return value;
}

// The object the argument points to, copied from the client.
UMockdevIoctlData* argument_target(UMockdevIoctlClient* client, std::size_t length) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    if (arg == nullptr) return nullptr;
    return umockdev_ioctl_data_resolve(arg, 0, length, nullptr);
}

usbdevfs_urb* urb_of(UMockdevIoctlData* data) { return reinterpret_cast<usbdevfs_urb*>(data->data); }

// Answers the standard requests lsusb and libusb make on endpoint 0; anything else stalls.
int control_reply(const std::uint8_t* setup, std::vector<std::uint8_t>& data) {
    const std::uint8_t request_type = setup[0];
    const std::uint8_t request = setup[1];
    const unsigned value = static_cast<unsigned>(setup[2] | (setup[3] << 8));
    const std::size_t length = static_cast<std::size_t>(setup[6] | (setup[7] << 8));
    if ((request_type & 0x80) == 0) {
        data.clear();
        return (request_type & 0x60) == 0 ? 0 : -EPIPE;  // standard OUT requests succeed
    }
    if (request_type == 0x80 && request == 6) {
        if (!usb_descriptors::descriptor((value >> 8) & 0xFF, value & 0xFF, data)) return -EPIPE;
    } else if ((request_type & 0x60) == 0 && request == 0) {
        data.assign(2, 0);  // GET_STATUS
    } else if (request_type == 0x80 && request == 8) {
        data.assign(1, 1);  // GET_CONFIGURATION
    } else {
        return -EPIPE;
    }
    if (data.size() > length) data.resize(length);
    return 0;
}

}  // namespace

// ---------------------------------------------------------------- ioctl side

gboolean transport::handle_ioctl(attachment& node, UMockdevIoctlClient* client) {
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    std::lock_guard<std::mutex> lock(mutex);
    drop_closed_clients();
    switch (request) {
    case USBDEVFS_SUBMITURB: submit(node, client); return TRUE;
    case USBDEVFS_REAPURBNDELAY: reap(node, client); return TRUE;
    case USBDEVFS_DISCARDURB: discard(node, client); return TRUE;
    default: break;
    }
    if (node.gone) {
        complete(client, -1, ENODEV);
        return TRUE;
    }
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData* caps = argument_target(client, sizeof(std::uint32_t));
        if (caps == nullptr) {
            complete(client, -1, EFAULT);
            return TRUE;
        }
        const std::uint32_t flags = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
        std::memcpy(caps->data, &flags, sizeof flags);
        complete(client, 0, 0);
        g_object_unref(caps);
        return TRUE;
    }
    case USBDEVFS_CLAIMINTERFACE: claim(node, client, false); return TRUE;
    case USBDEVFS_RELEASEINTERFACE: claim(node, client, true); return TRUE;
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP:
        complete(client, 0, 0);
        return TRUE;
    case USBDEVFS_RESET:
        replies.clear();
        complete(client, 0, 0);
        return TRUE;
    case USBDEVFS_GETDRIVER:
        complete(client, -1, ENODATA);  // no kernel driver is bound to the interface
        return TRUE;
    default:
        complete(client, -1, ENOTTY);
        return TRUE;
    }
}

void transport::claim(attachment& node, UMockdevIoctlClient* client, bool release_it) {
    const unsigned long number = [&] {
        UMockdevIoctlData* target = argument_target(client, sizeof(unsigned int));
        unsigned int value = 0xFFFF;
        if (target != nullptr) {
            std::memcpy(&value, target->data, sizeof value);
            g_object_unref(target);
        }
        return static_cast<unsigned long>(value);
    }();
    if (number != static_cast<unsigned long>(usb_protocol::interface_number)) {
        complete(client, -1, EINVAL);
        return;
    }
    if (release_it) {
        if (node.interface_owner != client) {
            complete(client, -1, EINVAL);
            return;
        }
        set_interface_owner(node, nullptr);
    } else {
        // umockdev 0.17 emits no client-vanished when a client closes its node: a client
        // that is no longer connected has released the interface with its file.
        if (node.interface_owner != nullptr && node.interface_owner != client &&
            umockdev_ioctl_client_get_connected(node.interface_owner)) {
            complete(client, -1, EBUSY);  // another process holds the interface
            return;
        }
        set_interface_owner(node, client);
    }
    complete(client, 0, 0);
}

bool transport::take_command_fault(const std::uint8_t* bytes, std::size_t length, fault& kind) {
    if (bytes == nullptr || length == 0) return false;
    const auto found = std::find_if(command_faults.begin(), command_faults.end(),
                                    [&](const auto& entry) { return entry.first == bytes[0]; });
    if (found == command_faults.end()) return false;
    kind = found->second;
    command_faults.erase(found);
    return true;
}

bool transport::take_fault(direction which, fault& kind) {
    auto& queue = faults[static_cast<std::size_t>(dir_index(which))];
    if (queue.empty()) return false;
    kind = queue.front();
    queue.pop_front();
    return true;
}

void transport::record(direction which, std::vector<std::uint8_t> data, bool failed) {
    if (!recording) return;
    if (log.size() >= log_limit) log.pop_front();
    log.push_back(transfer_record{which, std::move(data), failed});
    ++logged_since_clear;
    changed.notify_all();
}

void transport::submit(attachment& node, UMockdevIoctlClient* client) {
    if (node.gone) {
        complete(client, -1, ENODEV);
        return;
    }
    UMockdevIoctlData* urb_data = argument_target(client, sizeof(usbdevfs_urb));
    if (urb_data == nullptr) {
        complete(client, -1, EFAULT);
        return;
    }
    const usbdevfs_urb* urb = urb_of(urb_data);
    const bool control = urb->type == USBDEVFS_URB_TYPE_CONTROL && urb->endpoint == 0;
    const bool bulk_out = urb->type != USBDEVFS_URB_TYPE_CONTROL && urb->endpoint == usb_protocol::endpoint_out;
    const bool bulk_in = urb->type != USBDEVFS_URB_TYPE_CONTROL && urb->endpoint == usb_protocol::endpoint_in;
    if ((!control && !bulk_out && !bulk_in) || urb->buffer_length < 0 || (control && urb->buffer_length < 8)) {
        g_object_unref(urb_data);
        complete(client, -1, control || bulk_out || bulk_in ? EINVAL : ENOENT);
        return;
    }
    UMockdevIoctlData* buffer = nullptr;
    if (urb->buffer_length > 0) {
        buffer = umockdev_ioctl_data_resolve(urb_data, G_STRUCT_OFFSET(usbdevfs_urb, buffer),
                                             static_cast<gsize>(urb->buffer_length), nullptr);
        if (buffer == nullptr) {
            g_object_unref(urb_data);
            complete(client, -1, EFAULT);
            return;
        }
    }
    urb_entry entry;
    entry.node = &node;
    entry.client = static_cast<UMockdevIoctlClient*>(g_object_ref(client));
    entry.urb = urb_data;
    entry.buffer = buffer;
    entry.endpoint = urb->endpoint;

    const std::uint8_t* bytes = buffer != nullptr ? buffer->data : nullptr;
    const std::size_t length = static_cast<std::size_t>(urb->buffer_length);
    fault kind{};
    if (control) {
        std::vector<std::uint8_t> data;
        entry.status = control_reply(bytes, data);
        entry.reply.assign(8, 0);
        std::copy(bytes, bytes + 8, entry.reply.begin());
        entry.reply.insert(entry.reply.end(), data.begin(), data.end());
        entry.reapable = true;
    } else if (bulk_out) {
        std::vector<std::uint8_t> sent(bytes, bytes + length);
        if (take_command_fault(bytes, length, kind) || take_fault(direction::out, kind)) {
            // The packet never reaches the firmware.
            entry.black_hole = kind == fault::timeout;
            entry.status = -errno_of(kind);
            entry.reapable = !entry.black_hole;
            record(direction::out, std::move(sent), true);
        } else {
            std::optional<packet> reply = model.handle(bytes, length);
            if (reply) {
                if (replies.size() >= max_queued_replies) replies.pop_front();
                replies.push_back(*reply);
            }
            entry.reapable = true;
            record(direction::out, std::move(sent), false);
        }
    } else if (take_fault(direction::in, kind)) {
        // The reply waiting for this transfer is lost with it.
        if (!replies.empty()) replies.pop_front();
        entry.black_hole = kind == fault::timeout;
        entry.status = -errno_of(kind);
        entry.reapable = !entry.black_hole;
        if (kind == fault::short_reply) entry.reply.clear();
        record(direction::in, {}, true);
    }
    urbs.push_back(std::move(entry));
    complete(client, 0, 0);
    satisfy_pending_in();
    refresh_fifo(node);
}

void transport::satisfy_pending_in() {
    for (auto& entry : urbs) {
        if (replies.empty()) return;
        if (entry.reapable || entry.black_hole || entry.endpoint != usb_protocol::endpoint_in || entry.node->gone)
            continue;
        const packet reply = replies.front();
        replies.pop_front();
        const std::size_t room = entry.buffer != nullptr ? static_cast<std::size_t>(entry.buffer->data_len) : 0;
        const std::size_t count = std::min(room, reply.size());
        entry.reply.assign(reply.begin(), reply.begin() + static_cast<std::ptrdiff_t>(count));
        // A packet longer than the host asked for is babble, as on a real bus.
        entry.status = count < reply.size() ? -EOVERFLOW : 0;
        entry.reapable = true;
        record(direction::in, entry.reply, false);
        refresh_fifo(*entry.node);
    }
}

void transport::reap(attachment& node, UMockdevIoctlClient* client) {
    auto found = std::find_if(urbs.begin(), urbs.end(), [&](const urb_entry& entry) {
        return entry.client == client && entry.reapable;
    });
    if (found == urbs.end()) {
        complete(client, -1, node.gone ? ENODEV : EAGAIN);
        refresh_fifo(node);
        return;
    }
    UMockdevIoctlData* target = argument_target(client, sizeof(void*));
    if (target == nullptr) {
        complete(client, -1, EFAULT);
        return;
    }
    usbdevfs_urb* urb = urb_of(found->urb);
    urb->status = found->status;
    const bool control = found->endpoint == 0;
    const bool in = control || (found->endpoint & 0x80) != 0;
    std::size_t actual = 0;
    if (found->status == 0 || found->status == -EOVERFLOW) {
        if (in && found->buffer != nullptr) {
            actual = std::min(found->reply.size(), static_cast<std::size_t>(found->buffer->data_len));
            std::copy(found->reply.begin(), found->reply.begin() + static_cast<std::ptrdiff_t>(actual),
                      found->buffer->data);
            if (control) actual -= std::min<std::size_t>(actual, 8);  // the setup packet is not counted
        } else if (!in) {
            actual = static_cast<std::size_t>(urb->buffer_length);
        }
    }
    urb->actual_length = static_cast<int>(actual);
    umockdev_ioctl_data_set_ptr(target, 0, found->urb);
    complete(client, 0, 0);
    g_object_unref(target);
    release(*found);
    urbs.erase(found);
    refresh_fifo(node);
}

void transport::discard(attachment& node, UMockdevIoctlClient* client) {
    const unsigned long address = argument_value(client);
    auto found = std::find_if(urbs.begin(), urbs.end(), [&](const urb_entry& entry) {
        return entry.client == client && entry.urb->client_addr == address;
    });
    if (found == urbs.end() || found->reapable) {
        complete(client, -1, EINVAL);  // unknown, or already done
        return;
    }
    found->reapable = true;
    found->black_hole = false;
    found->status = -ENOENT;
    complete(client, 0, 0);
    refresh_fifo(node);
}

void transport::release(urb_entry& entry) {
    if (entry.buffer != nullptr) g_object_unref(entry.buffer);
    if (entry.urb != nullptr) g_object_unref(entry.urb);
    if (entry.client != nullptr) g_object_unref(entry.client);
    entry.buffer = nullptr;
    entry.urb = nullptr;
    entry.client = nullptr;
}

// umockdev 0.17 emits no client-vanished when a client closes its node; its URBs are
// dropped the next time anyone asks, so they neither leak nor keep the node readable.
void transport::drop_closed_clients() {
    for (auto it = urbs.begin(); it != urbs.end();) {
        if (!umockdev_ioctl_client_get_connected(it->client)) {
            attachment* node = it->node;
            release(*it);
            it = urbs.erase(it);
            refresh_fifo(*node);
        } else {
            ++it;
        }
    }
}

// The node is a FIFO sized to one slot: one byte in it makes poll() report the node not
// writable, so an idle libusb event loop sleeps; draining it wakes libusb to reap.
void transport::refresh_fifo(attachment& node) {
    if (node.fifo < 0) return;
    const bool something_to_reap = node.gone || std::any_of(urbs.begin(), urbs.end(), [&](const urb_entry& entry) {
        return entry.node == &node && entry.reapable;
    });
    if (something_to_reap && node.fifo_full) {
        char drain[16];
        while (read(node.fifo, drain, sizeof drain) > 0) {
        }
        node.fifo_full = false;
    } else if (!something_to_reap && !node.fifo_full) {
        const char byte = 0;
        node.fifo_full = write(node.fifo, &byte, 1) == 1;
    }
}

void transport::make_node_fifo(attachment& node) {
    const std::string path = root + node.node;
    const std::string folder = path.substr(0, path.rfind('/'));
    unlink(path.c_str());
    if (g_mkdir_with_parents(folder.c_str(), 0755) != 0 || mkfifo(path.c_str(), 0666) != 0)
        throw std::runtime_error("cannot create the board's device node " + path + ": " + std::strerror(errno));
    node.fifo = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (node.fifo < 0) return;
    fcntl(node.fifo, F_SETPIPE_SZ, static_cast<int>(sysconf(_SC_PAGESIZE)));
    node.fifo_full = false;
}

// ---------------------------------------------------------------- control side

namespace {

// Ends an attachment for good: its node, its handler and our end of its FIFO. Called without
// the mutex, after its URBs are gone.
void detach(UMockdevTestbed* testbed, attachment& node) {
    umockdev_testbed_detach_ioctl(testbed, node.node.c_str(), nullptr);
    g_signal_handlers_disconnect_by_data(node.handler, &node);
    set_interface_owner(node, nullptr);
    g_object_unref(node.handler);
    if (node.fifo >= 0) close(node.fifo);
}

}  // namespace

board_emulator::board_emulator(bool plugged) : impl_(std::make_unique<impl>()) {
    if (!preload_active())
        throw std::runtime_error("the emulated board needs LD_PRELOAD=libumockdev-preload.so.0 in the environment");
    impl_->testbed.reset(umockdev_testbed_new());
    gchar* root = umockdev_testbed_get_root_dir(impl_->testbed.get());
    impl_->root = root;
    g_free(root);
    if (plugged) plug_in();
}

board_emulator::~board_emulator() {
    if (plugged_in()) unplug();
    std::vector<std::unique_ptr<attachment>> nodes;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        for (auto& entry : impl_->urbs) impl_->release(entry);
        impl_->urbs.clear();
        nodes.swap(impl_->nodes);
    }
    for (auto& node : nodes) detach(impl_->testbed.get(), *node);
    impl_->testbed.reset();  // removes the testbed folder
}

// The old attachment at the address a plug-in is about to use, taken out with its URBs.
std::unique_ptr<attachment> transport::take_node(int address) {
    const auto found = std::find_if(nodes.begin(), nodes.end(),
                                    [address](const std::unique_ptr<attachment>& n) { return n->address == address; });
    if (found == nodes.end()) return nullptr;
    std::unique_ptr<attachment> old = std::move(*found);
    nodes.erase(found);
    for (auto it = urbs.begin(); it != urbs.end();) {
        if (it->node != old.get()) {
            ++it;
            continue;
        }
        release(*it);
        it = urbs.erase(it);
    }
    return old;
}

void board_emulator::plug_in() {
    int address = 0;
    std::unique_ptr<attachment> retired;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        if (impl_->current != nullptr) return;
        address = impl_->next_address;
        impl_->next_address = address == last_address ? first_address : address + 1;
        retired = impl_->take_node(address);
    }
    if (retired) detach(impl_->testbed.get(), *retired);

    auto owned = std::make_unique<attachment>();
    attachment* node = owned.get();
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        if (impl_->current != nullptr) return;
        node->owner = impl_.get();
        node->address = address;
        node->node = device_node_for(node->address);
        // The node exists as a FIFO before the board is announced, so no client can open a
        // plain file in its place.
        impl_->make_node_fifo(*node);
        impl_->refresh_fifo(*node);
        impl_->model.power_cycle();
        impl_->replies.clear();
        node->handler = umockdev_ioctl_base_new();
        g_signal_connect(node->handler, "handle-ioctl", G_CALLBACK(on_ioctl), node);
        impl_->nodes.push_back(std::move(owned));  // from here on the destructor cleans up
    }
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(impl_->testbed.get(), node->node.c_str(), node->handler, &error) ||
        !umockdev_testbed_add_from_string(
            impl_->testbed.get(), usb_descriptors::device_record(sys_path, bus_number, node->address).c_str(),
            &error)) {
        std::string message = std::string("cannot plug in the emulated board: ") + error->message;
        g_error_free(error);
        throw std::runtime_error(message);
    }
    std::lock_guard<std::mutex> lock(impl_->mutex);
    node->syspath = sys_path;
    impl_->current = node;
    impl_->changed.notify_all();
}

void board_emulator::unplug() {
    std::string syspath;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        attachment* node = impl_->current;
        if (node == nullptr) return;
        impl_->current = nullptr;
        node->gone = true;
        // The node never reports POLLERR, so libusb learns of the loss from ENODEV.
        for (auto& entry : impl_->urbs) {
            if (entry.node != node || entry.reapable) continue;
            entry.reapable = true;
            entry.black_hole = false;
            entry.status = -ENODEV;
        }
        impl_->replies.clear();
        impl_->refresh_fifo(*node);
        syspath = node->syspath;
        impl_->changed.notify_all();
    }
    // umockdev does not send the remove event itself.
    umockdev_testbed_uevent(impl_->testbed.get(), syspath.c_str(), "remove");
    umockdev_testbed_remove_device(impl_->testbed.get(), syspath.c_str());
}

bool board_emulator::plugged_in() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->current != nullptr;
}

void board_emulator::set_input(int number, std::uint8_t value) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->model.set_input(number, value);
}

void board_emulator::set_analog(int channel, std::uint16_t count) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->model.set_analog(channel, count);
}

void board_emulator::set_encoder(std::uint32_t value) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->model.set_encoder(value);
}

void board_emulator::set_sensor_word(int sensor, int word, std::uint16_t value) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->model.set_sensor_word(sensor, word, value);
}

void board_emulator::set_sensor_identity(int sensor, std::uint8_t identity) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->model.set_sensor_identity(sensor, identity);
}

void board_emulator::set_sensor_present(int sensor, bool present) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->model.set_sensor_present(sensor, present);
}

void board_emulator::set_sensor_loose(int sensor, int off, int every) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->model.set_sensor_loose(sensor, off, every);
}

std::array<std::uint8_t, usb_protocol::output_count> board_emulator::outputs() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->model.outputs();
}

void board_emulator::record_transfers(bool on, std::size_t limit) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->recording = on && limit > 0;
    impl_->log_limit = limit;
    while (impl_->log.size() > limit) impl_->log.pop_front();
}

std::vector<transfer_record> board_emulator::transfers() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return {impl_->log.begin(), impl_->log.end()};
}

void board_emulator::clear_transfers() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->log.clear();
    impl_->logged_since_clear = 0;
}

bool board_emulator::wait_for_transfers(std::size_t count, std::chrono::milliseconds limit) const {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    return impl_->changed.wait_for(lock, limit, [&] { return impl_->logged_since_clear >= count; });
}

void board_emulator::fail_next(int count, fault kind, direction which) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    auto& queue = impl_->faults[static_cast<std::size_t>(dir_index(which))];
    for (int i = 0; i < count; ++i) queue.push_back(kind);
}

void board_emulator::fail_next_command(std::uint8_t command, fault kind) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->command_faults.emplace_back(command, kind);
}

void board_emulator::clear_faults() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    for (auto& queue : impl_->faults) queue.clear();
    impl_->command_faults.clear();
}

std::string board_emulator::device_node() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->current != nullptr ? impl_->current->node : std::string();
}

}  // namespace emu
