// Crc16: the 16-bit check of both frame layouts (bit-serial, polynomial 0x1021, no trailing zero bits).
#pragma once

#include <cstdint>

std::uint16_t Crc16(std::uint16_t initial, const std::uint8_t* data, std::uint16_t count);
// The same check computed bit by bit, most significant bit first: the definition Crc16 must match.
std::uint16_t Crc16BitSerial(std::uint16_t initial, const std::uint8_t* data, std::uint16_t count);
