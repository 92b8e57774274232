// ByteBuffer: the growable array of bytes that carries received bytes, the transmit queue and page frames.
#pragma once

#include <cstdint>
#include <vector>

using ByteBuffer = std::vector<std::uint8_t>;
