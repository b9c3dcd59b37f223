// The emulated board's I2C bus and sensor parts, in the corners the station's own sequences
// never reach: absent parts, a floating bus, read-only registers, sleep and reset.
#include "board_model.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

namespace reg = sensor_registers;
constexpr std::uint8_t first_w = reg::write_address(reg::bus_address[0]);
constexpr std::uint8_t first_r = reg::read_address(reg::bus_address[0]);
constexpr std::uint8_t second_w = reg::write_address(reg::bus_address[1]);

// One bus step: s start, p stop, w write (expect the nACK flag), r read with the given
// acknowledge (expect the byte), m set sensor 0's first word to arg * 257, c power cycle.
struct step { char op; std::uint8_t arg = 0; int expect = -1; /* -1: not checked */ };
struct bus_case { const char* name; bool second_present; std::vector<step> steps; };

const bus_case cases[] = {
    {"after a stop nobody is selected; a transmitting part does not acknowledge writes", true,
     {{'s'}, {'w', first_r, 0}, {'w', 0x10, 1}, {'p'}, {'r', 0, 0xFF}}},
    {"burst write and burst read advance the pointer; a nACK ends the burst", true,
     {{'s'}, {'w', first_w, 0}, {'w', 0x19, 0}, {'w', 7, 0}, {'w', 3, 0}, {'p'},
      {'s'}, {'w', first_w, 0}, {'w', 0x19, 0}, {'s'}, {'w', first_r, 0},
      {'r', 0, 7}, {'r', 1, 3}, {'r', 1, 0xFF}}},
    {"the identity register ignores writes", true,
     {{'s'}, {'w', first_w, 0}, {'w', reg::identity, 0}, {'w', 0x99, 0},
      {'s'}, {'w', first_w, 0}, {'w', reg::identity, 0}, {'s'}, {'w', first_r, 0}, {'r', 1, reg::identity_value}}},
    {"a part sent to sleep holds its last sample", true,
     {{'s'}, {'w', first_w, 0}, {'w', reg::power, 0}, {'w', 0, 0}, {'m', 0x12}, {'s'}, {'w', first_w, 0}, {'w', reg::data_first, 0},
      {'s'}, {'w', first_r, 0}, {'r', 0, 0x12}, {'r', 1, 0x12}, {'s'}, {'w', first_w, 0}, {'w', reg::power, 0},
      {'w', reg::power_sleep_bit, 0}, {'m', 0x34}, {'s'}, {'w', first_w, 0}, {'w', reg::data_first, 0},
      {'s'}, {'w', first_r, 0}, {'r', 1, 0x12}}},
    {"a part taken off the bus does not answer, the other still does", false,
     {{'s'}, {'w', second_w, 1}, {'s'}, {'w', first_w, 0}, {'p'}}},
    {"a power cycle leaves the bus idle and the parts asleep", true,
     {{'s'}, {'w', first_w, 0}, {'w', reg::power, 0}, {'w', 0, 0}, {'m', 0x12}, {'s'}, {'w', first_w, 0}, {'c'},
      {'w', reg::data_first, 1}, {'s'}, {'w', first_w, 0}, {'w', reg::data_first, 0}, {'s'}, {'w', first_r, 0}, {'r', 1, 0}}},
};

// Runs one step; the reply of a write or read, nothing for the other steps.
std::optional<emu::packet> run(emu::board_model& model, const step& s) {
    if (s.op == 'm') model.set_sensor_word(0, 0, static_cast<std::uint16_t>(s.arg * 257));
    if (s.op == 'c') model.power_cycle();
    if (s.op == 'm' || s.op == 'c') return std::nullopt;
    std::uint8_t request[16] = {s.op == 's' ? usb_protocol::cmd_i2c_start : s.op == 'p' ? usb_protocol::cmd_i2c_stop
                                : s.op == 'w' ? usb_protocol::cmd_i2c_write : usb_protocol::cmd_i2c_read, s.arg};
    return model.handle(request, sizeof request);
}

TEST(BoardModel, I2cBusAndSensorParts) {
    for (const bus_case& c : cases) {
        SCOPED_TRACE(c.name);
        emu::board_model model;
        model.set_sensor_present(1, c.second_present);
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            const auto reply = run(model, c.steps[i]);
            EXPECT_TRUE(c.steps[i].expect < 0 || (reply && (*reply)[0] == c.steps[i].expect)) << "step " << i;
        }
    }
}

}  // namespace
