#pragma once
// The board's USB descriptors and the udev/sysfs record that makes umockdev show it.
#include <cstdint>
#include <string>
#include <vector>

namespace usb_descriptors {

// Device descriptor followed by the configuration descriptor, as sysfs "descriptors" holds them.
std::vector<std::uint8_t> sysfs_descriptors();

// A descriptor as GET_DESCRIPTOR returns it (type 1 device, 2 configuration, 3 string);
// false when the board has no such descriptor.
bool descriptor(unsigned type, unsigned index, std::vector<std::uint8_t>& out);

// umockdev device record of the board at the given bus address. It names the node only in
// DEVNAME: with an N: line umockdev would create the node as a plain file itself.
std::string device_record(const std::string& syspath, int bus, int address);

}  // namespace usb_descriptors
