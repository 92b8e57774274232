// Crc16: the 16-bit check of both frame layouts, computed a byte at a time from a table.
#include "protocol/Crc16.h"

#include <array>

namespace {

constexpr std::uint16_t Polynomial = 0x1021;

// The data bits enter at the register's low end and take 16 shifts to reach bit 15, so the feedback of
// the 8 shifts of one byte depends only on the register's high byte: the register after one byte is
// (R << 8 | byte) XOR Table[R >> 8], where Table[h] is what 8 shifts of h << 8 with zero data leave.
constexpr std::array<std::uint16_t, 256> MakeTable() {
    std::array<std::uint16_t, 256> table{};
    for (unsigned high = 0; high < 256; ++high) {
        unsigned r = high << 8;
        for (int bit = 0; bit < 8; ++bit) {
            const bool top = (r & 0x8000u) != 0;
            r = (r << 1) & 0xFFFFu;
            if (top) {
                r ^= Polynomial;
            }
        }
        table[high] = static_cast<std::uint16_t>(r);
    }
    return table;
}

constexpr std::array<std::uint16_t, 256> Table = MakeTable();

} // namespace

std::uint16_t Crc16(std::uint16_t initial, const std::uint8_t* data, std::uint16_t count) {
    unsigned r = initial;
    for (std::uint16_t i = 0; i < count; ++i) {
        r = ((r << 8) & 0xFFFFu) ^ data[i] ^ Table[r >> 8];
    }
    return static_cast<std::uint16_t>(r);
}

std::uint16_t Crc16BitSerial(std::uint16_t initial, const std::uint8_t* data, std::uint16_t count) {
    unsigned r = initial;
    for (std::uint16_t i = 0; i < count; ++i) {
        for (int bit = 7; bit >= 0; --bit) {
            const bool top = (r & 0x8000u) != 0;
            r = ((r << 1) & 0xFFFFu) | ((data[i] >> bit) & 1u);
            if (top) {
                r ^= Polynomial;
            }
        }
    }
    return static_cast<std::uint16_t>(r);
}
