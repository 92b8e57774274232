// Crc16: known values, the relation to the augmented form, and the table against the bit-serial definition.
#include "protocol/Crc16.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

std::uint16_t Check(const std::string& text, std::uint16_t initial = 0) {
    return Crc16(initial, reinterpret_cast<const std::uint8_t*>(text.data()),
                 static_cast<std::uint16_t>(text.size()));
}

struct KnownCase {
    const char* Name;
    std::string Bytes;
    std::uint16_t Initial;
    std::uint16_t Expected;
};

const KnownCase kKnown[] = {
    {"NoBytes", "", 0, 0x0000},
    {"NoBytesKeepsInitial", "", 0xBEEF, 0xBEEF},
    {"SingleByteIsItsValue", "\x41", 0, 0x0041},
    {"Abc", "abc", 0, 0x1EE4},
    // The augmented (XMODEM) check of "123456789" is 31C3; it equals this check with two zero bytes fed.
    {"DigitsWithTwoZeroBytes", std::string("123456789\0\0", 11), 0, 0x31C3},
    // Two bytes: they only enter the register, nothing reaches bit 15 yet.
    {"TwoBytesEnterUnchanged", "\x12\x34", 0, 0x1234},
    {"Digits", "123456789", 0, 0xBEEF},
    {"InitialShiftsThroughZeroBytes", std::string(2, '\0'), 0x8000, 0x1B98},
};

class Crc16Known : public testing::TestWithParam<KnownCase> {};

TEST_P(Crc16Known, GivesTheKnownValue) {
    EXPECT_EQ(Check(GetParam().Bytes, GetParam().Initial), GetParam().Expected);
    EXPECT_EQ(Crc16BitSerial(GetParam().Initial,
                             reinterpret_cast<const std::uint8_t*>(GetParam().Bytes.data()),
                             static_cast<std::uint16_t>(GetParam().Bytes.size())),
              GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, Crc16Known, testing::ValuesIn(kKnown),
                         [](const testing::TestParamInfo<KnownCase>& param) {
                             return std::string(param.param.Name);
                         });

// For two or more bytes the check is the augmented check of all but the last two bytes, XORed with the
// last two read as a big-endian number.
TEST(Crc16, EqualsAugmentedCheckOfHeadXorTail) {
    const std::string head = "123456789";
    const std::uint16_t augmented = Check(head + std::string(2, '\0'));
    ASSERT_EQ(augmented, 0x31C3);
    EXPECT_EQ(Check(head + "\x5A\xC3"), 0x31C3 ^ 0x5AC3);
}

TEST(Crc16, TableMatchesBitSerialDefinitionOnRandomData) {
    std::mt19937 random(318);
    std::vector<std::uint8_t> data(70000);
    for (auto& b : data) {
        b = static_cast<std::uint8_t>(random());
    }
    for (int round = 0; round < 2000; ++round) {
        const auto initial = static_cast<std::uint16_t>(random());
        const std::size_t length = random() % 600;
        const std::size_t from = random() % (data.size() - length);
        ASSERT_EQ(Crc16(initial, data.data() + from, static_cast<std::uint16_t>(length)),
                  Crc16BitSerial(initial, data.data() + from, static_cast<std::uint16_t>(length)))
            << "initial " << initial << " length " << length;
    }
    // The longest count a caller can pass.
    EXPECT_EQ(Crc16(0, data.data(), 65535), Crc16BitSerial(0, data.data(), 65535));
}

TEST(Crc16, ContinuesFromAnInitialValue) {
    const std::string text = "RVK-318 page data";
    for (std::size_t split = 0; split <= text.size(); ++split) {
        EXPECT_EQ(Check(text.substr(split), Check(text.substr(0, split))), Check(text)) << split;
    }
}

} // namespace
