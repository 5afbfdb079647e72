// The headband's wire format against bytes worked out by hand.
#include <gtest/gtest.h>

#include "bridge/headband/muse_protocol.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace muse_protocol_test {

using namespace solvera::headband;

TEST(MusePacket, UnpacksTwelveBitSamplesAtBothNibbleAlignments) {
  const std::vector<std::uint8_t> bytes = {
      0x12, 0x34,        // sequence 4660
      0xFF, 0xF0, 0x00,  // 0xFFF (full scale), 0x000 (bottom)
      0xAB, 0xC1, 0x23,  // 0xABC: high byte then high nibble; 0x123: low nibble then byte
      0x80, 0x08, 0x00,  // 0x800, 0x800: the midpoint is 0 µV
      0x80, 0x17, 0xFF,  // 0x801 (one step up), 0x7FF (one step down)
      0x00, 0x10, 0x01,  // 0x001, 0x001
      0x7F, 0xF8, 0x01,  // 0x7FF, 0x801
  };
  auto packet = decodeEegPacket(bytes);
  ASSERT_TRUE(packet);
  EXPECT_EQ(packet->sequence, 0x1234);
  const std::array<double, 12> expected = {0.48828125 * 2047,
                                           -1000.0,
                                           0.48828125 * 700,
                                           0.48828125 * (0x123 - 2048),
                                           0.0,
                                           0.0,
                                           0.48828125,
                                           -0.48828125,
                                           0.48828125 * -2047,
                                           0.48828125 * -2047,
                                           -0.48828125,
                                           0.48828125};
  for (int i = 0; i < 12; ++i)
    EXPECT_DOUBLE_EQ(packet->microvolts[i], expected[i]) << "sample " << i;

  EXPECT_FALSE(decodeEegPacket(std::vector<std::uint8_t>(19))) << "short";
  EXPECT_FALSE(decodeEegPacket(std::vector<std::uint8_t>(21))) << "long";
}

TEST(MusePacket, SequenceGapsCountLostPacketsAcrossTheWrap) {
  SequenceTracker t;
  EXPECT_EQ(t.next(65533).lost, 0u) << "the first packet loses nothing";
  EXPECT_EQ(t.next(65534).lost, 0u);
  EXPECT_EQ(t.next(65535).lost, 0u);
  EXPECT_EQ(t.next(0).lost, 0u) << "65535 -> 0 is the next packet";
  EXPECT_EQ(t.next(3).lost, 2u) << "1 and 2 missing";
  EXPECT_EQ(t.next(65534).lost, 0u) << "far back: a stray, not 65,530 lost";
  EXPECT_TRUE(t.next(3).duplicate);
  EXPECT_EQ(t.next(4).lost, 0u) << "the stray did not move the sequence";
  EXPECT_EQ(t.lostTotal(), 2u);

  SequenceTracker wrapGap;
  wrapGap.next(65534);
  EXPECT_EQ(wrapGap.next(1).lost, 2u) << "65535 and 0 missing across the wrap";
  wrapGap.reset();
  EXPECT_EQ(wrapGap.next(500).lost, 0u) << "after a reconnection nothing is counted";
  EXPECT_EQ(wrapGap.lostTotal(), 2u) << "but the total stays";
}

TEST(MuseControl, CommandsRepliesTelemetryAndCharacteristicNames) {
  EXPECT_EQ(commandBytes("h"), (std::vector<std::uint8_t>{0x02, 'h', '\n'}));
  EXPECT_EQ(commandBytes("p21"), (std::vector<std::uint8_t>{0x04, 'p', '2', '1', '\n'}));

  ControlReplyAssembler replies;
  auto chunk = [](std::string text) {
    std::vector<std::uint8_t> bytes{static_cast<std::uint8_t>(text.size())};
    bytes.insert(bytes.end(), text.begin(), text.end());
    bytes.resize(20, 0);  // notifications are padded; the length byte says what counts
    return bytes;
  };
  EXPECT_TRUE(replies.add(chunk("{\"ap\":\"headset\",")).empty());
  EXPECT_EQ(replies.add(chunk("\"bp\":81,\"rc\":0}")),
            std::vector<std::string>{"{\"ap\":\"headset\",\"bp\":81,\"rc\":0}"});
  EXPECT_EQ(replies.add(chunk("{\"rc\":0}{\"x\":1")), std::vector<std::string>{"{\"rc\":0}"});
  EXPECT_EQ(replies.add(chunk("}")), std::vector<std::string>{"{\"x\":1}"});

  // Sequence, then charge × 512: 0xB000 = 45056 -> 88 %.
  EXPECT_EQ(decodeBatteryPercent(std::vector<std::uint8_t>{0x00, 0x07, 0xB0, 0x00, 0x12, 0x34}),
            88.0);
  EXPECT_FALSE(decodeBatteryPercent(std::vector<std::uint8_t>{0x00, 0x07, 0xB0}));

  EXPECT_EQ(characteristicUuid(Characteristic::Tp9), "273e0003-4c4d-454d-96be-f03bac821358");
  EXPECT_EQ(characteristicOfUuid("273E000A-4C4D-454D-96BE-F03BAC821358"), Characteristic::Accel);
  EXPECT_EQ(characteristicOfUuid("273e000b-4c4d-454d-96be-f03bac821358"),
            Characteristic::Telemetry);
  EXPECT_FALSE(characteristicOfUuid("273e0002-4c4d-454d-96be-f03bac821358"));
  EXPECT_FALSE(characteristicOfUuid("00002a19-0000-1000-8000-00805f9b34fb"));
}

}  // namespace muse_protocol_test
