#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dsp/G711Codec.h"
#include "dsp/GenericRTP2PCMDecoder.h"
#include "framework/AudioFormat.h"
#include "framework/AudioSample.h"
#include "framework/AudioSampleManager.h"
#include "framework/Registry.h"
#include "rtp/RTPPacket.h"

namespace tarsio {
namespace {

constexpr const char* kKey = "Software\\Almagre\\OrbeMediaTerm\\1.0";

std::string ReceiveCodec() {
  return RegGetString(HKEY_CURRENT_USER, kKey, "RTPReceiveCodec", "<missing>");
}

// Marks the value so that a test can tell whether the decoder wrote it again.
void Mark() { RegSetString(HKEY_CURRENT_USER, kKey, "RTPReceiveCodec", "marked"); }

class GenericRTP2PCMDecoderTest : public ::testing::Test {
 protected:
  // A received sample: payload bytes as data, a header with the given payload type.
  AudioSample* Packet(int payloadType, const std::vector<uint8_t>& payload, uint16_t seq = 7,
                      bool withHeader = true) {
    AudioSample* sample = nullptr;
    AudioSampleManager::Instance()->GetAudioSample(&sample, &owner);
    sample->SetFormat(MakeAudioFormat(0));
    if (!payload.empty()) std::memcpy(sample->GetData(), payload.data(), payload.size());
    sample->SetDataSize(static_cast<int32_t>(payload.size()));
    if (withHeader) {
      auto* header = new RTPPacket;
      header->payloadType = static_cast<uint8_t>(payloadType);
      header->sequenceNumber = seq;
      header->timestamp = 160u * seq;
      header->ssrc = 99;
      header->headerLength = 12;
      sample->SetRTPHeader(header);
    }
    return sample;
  }

  // Runs one sample through the decoder; returns the result, *output gets the output.
  int32_t Decode(AudioSample* input, AudioSample** output) {
    AudioSampleList inputs{{input, nullptr}};
    const int32_t result = decoder.TransformAudioSamples(inputs, output);
    input->Release(&owner);
    return result;
  }

  TracedObject owner;
  GenericRTP2PCMDecoder decoder;
};

TEST_F(GenericRTP2PCMDecoderTest, ConstructionEmptiesTheRecordedCodec) {
  RegSetString(HKEY_CURRENT_USER, kKey, "RTPReceiveCodec", "G.711 ALaw");
  GenericRTP2PCMDecoder fresh;
  EXPECT_EQ(ReceiveCodec(), "");
}

TEST_F(GenericRTP2PCMDecoderTest, DecodesEachPacketWithItsOwnLawAndRecordsChanges) {
  std::vector<uint8_t> codes(160);
  for (int n = 0; n < 160; ++n) codes[n] = static_cast<uint8_t>(255 - n);
  struct Step {
    int payloadType;
    const char* recorded;  // after the packet; "marked" when the decoder must not write
  } steps[] = {{0, "G.711 ULaw"}, {0, "marked"},  {8, "G.711 ALaw"},
               {0, "G.711 ULaw"}, {13, "marked"}, {0, "marked"}};
  uint16_t seq = 100;
  for (const Step& step : steps) {
    Mark();
    AudioSample* output = nullptr;
    const std::vector<uint8_t> payload =
        step.payloadType == 13 ? std::vector<uint8_t>{0x40} : codes;
    ASSERT_EQ(Decode(Packet(step.payloadType, payload, seq), &output), 0);
    ASSERT_NE(output, nullptr);
    EXPECT_EQ(ReceiveCodec(), step.recorded) << "payload type " << step.payloadType;
    EXPECT_EQ(output->Format(), MakeAudioFormat(5));
    ASSERT_NE(output->GetRTPHeader(), nullptr);
    EXPECT_EQ(output->GetRTPHeader()->sequenceNumber, seq);
    EXPECT_EQ(output->GetRTPHeader()->timestamp, 160u * seq);
    EXPECT_EQ(output->GetRTPHeader()->payloadLength, 0);
    if (step.payloadType == 13) {
      EXPECT_EQ(output->GetDataSize(), 4);
      EXPECT_EQ(output->GetData()[0], 0x40);
    } else {
      ASSERT_EQ(output->GetDataSize(), 320);
      for (int n = 0; n < 160; ++n) {
        const auto s =
            static_cast<int16_t>(output->GetData()[2 * n] | (output->GetData()[2 * n + 1] << 8));
        ASSERT_EQ(s, step.payloadType == 8 ? G711Codec::DecodeALaw(codes[n])
                                           : G711Codec::DecodeULaw(codes[n]));
      }
    }
    output->Release(&owner);
    ++seq;
  }
}

TEST_F(GenericRTP2PCMDecoderTest, SilenceOnlySampleStaysSilence) {
  AudioSample* input = Packet(0, {});
  input->SetSilenceDuration(20);
  AudioSample* output = nullptr;
  ASSERT_EQ(Decode(input, &output), 0);
  ASSERT_NE(output, nullptr);
  EXPECT_EQ(output->GetDataSize(), 0);
  EXPECT_EQ(output->GetSilenceDuration(), 20);
  EXPECT_NE(output->GetRTPHeader(), nullptr);
  output->Release(&owner);
}

TEST_F(GenericRTP2PCMDecoderTest, UnknownTypeAndMissingHeaderAreRefused) {
  AudioSample* output = nullptr;
  EXPECT_EQ(Decode(Packet(18, std::vector<uint8_t>(20, 1)), &output),
            GenericRTP2PCMDecoder::kErrUnknownPayloadType);
  EXPECT_EQ(ReceiveCodec(), "Unknown Type 18 (ERROR)");
  if (output != nullptr) output->Release(&owner);

  output = nullptr;
  EXPECT_EQ(Decode(Packet(0, std::vector<uint8_t>(20, 1), 1, false), &output),
            GenericRTP2PCMDecoder::kErrNoRTPHeader);
  if (output != nullptr) output->Release(&owner);

  // Through the transformer's push path the refused output never reaches a sink: the base
  // discards it, and every sample still returns to the pool (checked after each test).
  AudioSample* packet = Packet(4, std::vector<uint8_t>(20, 1));
  AudioSampleList inputs{{packet, nullptr}};
  EXPECT_EQ(decoder.RenderAudioSamples(inputs), GenericRTP2PCMDecoder::kErrUnknownPayloadType);
  EXPECT_EQ(ReceiveCodec(), "Unknown Type 4 (ERROR)");
  packet->Release(&owner);
}

TEST_F(GenericRTP2PCMDecoderTest, StopEmptiesTheNameAndTheNextPacketRecordsItAgain) {
  AudioSample* output = nullptr;
  ASSERT_EQ(Decode(Packet(0, std::vector<uint8_t>(160, 0xFF)), &output), 0);
  output->Release(&owner);
  EXPECT_EQ(ReceiveCodec(), "G.711 ULaw");
  EXPECT_EQ(decoder.StopTransform(), 0);
  EXPECT_EQ(ReceiveCodec(), "");
  ASSERT_EQ(Decode(Packet(0, std::vector<uint8_t>(160, 0xFF)), &output), 0);
  output->Release(&owner);
  EXPECT_EQ(ReceiveCodec(), "G.711 ULaw");
}

}  // namespace
}  // namespace tarsio
