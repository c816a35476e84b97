#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "icmp/IdRawHeaders.h"

namespace tarvex {
namespace {

std::vector<std::uint8_t> Bytes(std::initializer_list<int> AValues) {
    std::vector<std::uint8_t> bytes;
    for (const int value : AValues) {
        bytes.push_back(static_cast<std::uint8_t>(value));
    }
    return bytes;
}

// An IPv4 header of AHeaderLength bytes (no options beyond padding) at the start of an area.
TPacketArea DatagramArea(std::size_t AHeaderLength) {
    TPacketArea area{};
    area[0] = static_cast<std::uint8_t>(0x40U | (AHeaderLength / 4));
    return area;
}

TEST(IdRawHeaders, ExampleRequestHasTheDocumentedBytes) {
    TPacketArea area{};
    EXPECT_EQ(BuildEchoRequest(area, 0x1234, 3489, 0, ""), 52U);
    std::vector<std::uint8_t> expected = Bytes({0x08, 0x00, 0xCE, 0x8B, 0x34, 0x12, 0xA1, 0x0D});
    expected.insert(expected.end(), 12, 0x00);
    expected.insert(expected.end(), 32, 0x45);
    EXPECT_EQ(std::vector<std::uint8_t>(area.begin(), area.begin() + 52), expected);
    // The send time goes low byte first, the checksum covers it and the data; the rest of the
    // area is left alone.
    area.fill(0xAA);
    BuildEchoRequest(area, 1, 2, 0x01020304U, "payload");
    EXPECT_EQ(std::vector<std::uint8_t>(area.begin() + 8, area.begin() + 20),
              Bytes({0x04, 0x03, 0x02, 0x01, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(InternetChecksum(std::span<const std::uint8_t>(area.data(), 52)), 0);
    EXPECT_EQ(area[52], 0xAA);
}

TEST(IdRawHeaders, DataIsPaddedWithEOrCutAtThirtyTwoBytes) {
    struct Case {
        std::string Data;
        std::string Field;
    };
    const std::vector<Case> cases = {
        {"abc", "abc" + std::string(29, 'E')},
        {std::string(32, 'x'), std::string(32, 'x')},
        {std::string(40, 'y') + "z", std::string(32, 'y')},
        {std::string("a\0b", 3), std::string("a\0b", 3) + std::string(29, 'E')},
    };
    for (const Case& c : cases) {
        TPacketArea area{};
        BuildEchoRequest(area, 7, 9, 11, c.Data);
        EXPECT_EQ(std::string(area.begin() + 20, area.begin() + 52), c.Field) << c.Data;
    }
}

TEST(IdRawHeaders, ChecksumTakesOddLastByteAsLowByte) {
    struct Case {
        std::vector<std::uint8_t> Bytes;
        std::uint16_t Sum;
    };
    const std::vector<Case> cases = {
        {{}, 0xFFFF},
        // 0x0201 + 0x0003 = 0x0204.
        {Bytes({0x01, 0x02, 0x03}), 0xFDFB},
        // 0xFFFF + 0x00FF = 0x100FE -> 0x00FF.
        {Bytes({0xFF, 0xFF, 0xFF}), 0xFF00},
        // Carries folded back into the sum: 0xFFFF + 0xFFFF + 0x0002 = 0x20000 -> 0x0002.
        {Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x00}), 0xFFFD},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(InternetChecksum(c.Bytes), c.Sum) << c.Bytes.size() << " bytes";
    }
}

TEST(IdRawHeaders, LittleEndianLoadsAndStoresAreBoundsChecked) {
    std::vector<std::uint8_t> bytes = Bytes({0x11, 0x22, 0x33, 0x44});
    EXPECT_EQ(LoadLe16(bytes, 2), 0x4433);
    EXPECT_THROW(LoadLe16(bytes, 3), std::out_of_range);
    EXPECT_THROW(StoreLe16(bytes, 5, 0), std::out_of_range);
    EXPECT_THROW(StoreLe32(bytes, 1, 0), std::out_of_range);
    StoreLe32(bytes, 0, 0xA1B2C3D4U);
    EXPECT_EQ(bytes, Bytes({0xD4, 0xC3, 0xB2, 0xA1}));
}

TEST(IdRawHeaders, HeaderLengthComesFromTheLowNibbleOfByteZero) {
    const std::vector<std::pair<int, std::size_t>> cases = {
        {0x45, 20}, {0x46, 24}, {0x4F, 60}, {0x40, 0}, {0x05, 20}};
    for (const auto& [byte0, length] : cases) {
        TPacketArea area{};
        area[0] = static_cast<std::uint8_t>(byte0);
        EXPECT_EQ(IpHeaderLength(area), length) << byte0;
    }
}

TEST(IdRawHeaders, DatagramOfHPlus8BytesIsDecodedAndHPlus7Refused) {
    for (const std::size_t h : {20, 24, 60}) {
        EXPECT_TRUE(HoldsIcmpHeader(static_cast<std::int32_t>(h + 8), h)) << h;
        EXPECT_FALSE(HoldsIcmpHeader(static_cast<std::int32_t>(h + 7), h)) << h;
    }
    EXPECT_FALSE(HoldsIcmpHeader(-1, 0));
}

TEST(IdRawHeaders, SourceAddressNeedsAllItsBytes) {
    TPacketArea area = DatagramArea(20);
    area[15] = 2;
    EXPECT_EQ(SourceAddressOf(std::span(area).first(16)), (TIdIn4Address{0, 0, 0, 2}));
    EXPECT_FALSE(SourceAddressOf(std::span(area).first(15)));
}

TEST(IdRawHeaders, OtherMessagesQuoteTheRequestBehindAHeaderOfTheOuterLength) {
    for (const std::size_t h : {20, 24}) {
        TPacketArea area = DatagramArea(h);
        StoreLe16(area, 8 + h + h + 4, 0x1234);
        StoreLe16(area, 8 + h + h + 6, 700);
        EXPECT_EQ(QuotedEchoFieldsOffset(h), 8 + 2 * h);
        const std::optional<TEchoFields> fields = EchoFieldsAt(area, QuotedEchoFieldsOffset(h));
        ASSERT_TRUE(fields);
        EXPECT_EQ(fields->Identifier, 0x1234);
        EXPECT_EQ(fields->Sequence, 700);
    }
    // A longer quoted header (24 bytes, with options) is still read at the outer length.
    TPacketArea area = DatagramArea(20);
    area[28] = 0x46;
    StoreLe16(area, 28 + 24 + 6, 3489);
    StoreLe16(area, 28 + 20 + 6, 0x0101);
    EXPECT_EQ(EchoFieldsAt(area, QuotedEchoFieldsOffset(20))->Sequence, 0x0101);
}

// The fields count only when the datagram brought them, whatever the area holds beyond.
TEST(IdRawHeaders, FieldsPastTheReceivedBytesAreNone) {
    TPacketArea area{};
    area.fill(0xFF);
    for (const std::size_t h : {20, 60}) {
        const std::size_t end = QuotedEchoFieldsOffset(h) + 8;
        EXPECT_TRUE(EchoFieldsAt(std::span(area).first(end), QuotedEchoFieldsOffset(h))) << h;
        EXPECT_FALSE(EchoFieldsAt(std::span(area).first(end - 1), QuotedEchoFieldsOffset(h))) << h;
    }
    EXPECT_FALSE(EchoFieldsAt(std::span(area).first(10), 40));
}

TEST(IdRawHeaders, EchoedDataRunsFromHPlus20ToTheEndOfTheArea) {
    TPacketArea area = DatagramArea(24);
    area[24 + 20] = 'q';
    const std::span<const std::uint8_t> data = EchoedData(area, 24);
    EXPECT_EQ(data.size(), 1024U - 44U);
    EXPECT_EQ(data.front(), 'q');
    EXPECT_EQ(EchoedData(area, 60).size(), 1024U - 80U);
}

}  // namespace
}  // namespace tarvex
