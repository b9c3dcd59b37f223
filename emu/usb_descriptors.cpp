#include "usb_descriptors.h"

#include "usb_protocol.h"

#include <cstdio>

namespace usb_descriptors {

namespace {

constexpr std::uint8_t lo(unsigned value) { return static_cast<std::uint8_t>(value & 0xFF); }
constexpr std::uint8_t hi(unsigned value) { return static_cast<std::uint8_t>((value >> 8) & 0xFF); }

const char* const strings[] = {nullptr, "Varnold", "Positioning controller (emulated)", "EMU-0001"};

std::vector<std::uint8_t> device_descriptor() {
    return {18, 1, lo(0x0200), hi(0x0200), 0, 0, 0, static_cast<std::uint8_t>(usb_protocol::packet_size),
            lo(usb_protocol::vendor_id), hi(usb_protocol::vendor_id),
            lo(usb_protocol::product_id), hi(usb_protocol::product_id),
            lo(0x0100), hi(0x0100), 1, 2, 3, 1};
}

std::vector<std::uint8_t> configuration_descriptor() {
    const unsigned packet = static_cast<unsigned>(usb_protocol::packet_size);
    return {
        9, 2, lo(32), hi(32), 1, 1, 0, 0x80, 50,  // one interface, bus powered, 100 mA
        9, 4, static_cast<std::uint8_t>(usb_protocol::interface_number), 0, 2, 0xFF, 0, 0, 0,
        7, 5, usb_protocol::endpoint_out, 0x02, lo(packet), hi(packet), 0,
        7, 5, usb_protocol::endpoint_in, 0x02, lo(packet), hi(packet), 0,
    };
}

std::vector<std::uint8_t> string_descriptor(unsigned index) {
    if (index == 0) return {4, 3, lo(0x0409), hi(0x0409)};
    std::vector<std::uint8_t> out{0, 3};
    for (const char* c = strings[index]; *c != '\0'; ++c) {
        out.push_back(static_cast<std::uint8_t>(*c));
        out.push_back(0);
    }
    out[0] = static_cast<std::uint8_t>(out.size());
    return out;
}

}  // namespace

std::vector<std::uint8_t> sysfs_descriptors() {
    std::vector<std::uint8_t> all = device_descriptor();
    const std::vector<std::uint8_t> config = configuration_descriptor();
    all.insert(all.end(), config.begin(), config.end());
    return all;
}

bool descriptor(unsigned type, unsigned index, std::vector<std::uint8_t>& out) {
    switch (type) {
    case 1:
        if (index != 0) return false;
        out = device_descriptor();
        return true;
    case 2:
        if (index != 0) return false;
        out = configuration_descriptor();
        return true;
    case 3:
        if (index >= sizeof strings / sizeof strings[0]) return false;
        out = string_descriptor(index);
        return true;
    default:
        return false;  // no device qualifier: a full-speed device stalls it
    }
}

std::string device_record(const std::string& syspath, int bus, int address) {
    char numbers[160];
    std::snprintf(numbers, sizeof numbers,
                  "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n"
                  "E: DEVNAME=/dev/bus/usb/%03d/%03d\nE: BUSNUM=%03d\nE: DEVNUM=%03d\n",
                  bus, address, bus, address);
    char ids[200];
    std::snprintf(ids, sizeof ids,
                  "E: PRODUCT=%x/%x/100\n"
                  "A: busnum=%d\nA: devnum=%d\nA: speed=12\nA: bConfigurationValue=1\n"
                  "A: idVendor=%04x\nA: idProduct=%04x\nA: dev=189:%d\n",
                  usb_protocol::vendor_id, usb_protocol::product_id, bus, address,
                  usb_protocol::vendor_id, usb_protocol::product_id, (bus - 1) * 128 + address - 1);
    std::string hex;
    for (std::uint8_t byte : sysfs_descriptors()) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", byte);
        hex += pair;
    }
    std::string path = syspath;
    if (path.rfind("/sys", 0) == 0) path.erase(0, 4);
    // lsusb reads the strings from sysfs, libusb through GET_DESCRIPTOR: give both the same text.
    // Sysfs attributes end with a line break (the escaped \\n), which lsusb strips.
    const std::string texts = std::string("A: manufacturer=") + strings[1] + "\\n\nA: product=" + strings[2] +
                              "\\n\nA: serial=" + strings[3] + "\\n\n";
    return "P: " + path + "\n" + numbers + ids + texts + "H: descriptors=" + hex + "\n";
}

}  // namespace usb_descriptors
