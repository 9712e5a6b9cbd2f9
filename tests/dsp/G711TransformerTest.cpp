#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "dsp/G7112PCMTransformer.h"
#include "dsp/G711Codec.h"
#include "dsp/PCM2G711Transformer.h"
#include "framework/AudioFormat.h"
#include "framework/AudioSample.h"
#include "framework/AudioSampleManager.h"
#include "rtp/RTPPacket.h"

namespace tarsio {
namespace {

class G711TransformerTest : public ::testing::Test {
 protected:
  AudioSample* NewSample(const WAVEFORMATEX& format, const std::vector<uint8_t>& data) {
    AudioSample* sample = nullptr;
    AudioSampleManager::Instance()->GetAudioSample(&sample, &owner);
    sample->SetFormat(format);
    if (!data.empty()) std::memcpy(sample->GetData(), data.data(), data.size());
    sample->SetDataSize(static_cast<int32_t>(data.size()));
    return sample;
  }

  TracedObject owner;
};

std::vector<uint8_t> Ramp(int samples) {
  std::vector<uint8_t> pcm;
  for (int n = 0; n < samples; ++n) {
    const auto value = static_cast<uint16_t>(static_cast<int16_t>(n * 397 - 30000));
    pcm.push_back(static_cast<uint8_t>(value & 0xFF));
    pcm.push_back(static_cast<uint8_t>(value >> 8));
  }
  return pcm;
}

TEST_F(G711TransformerTest, EncoderTurnsAFrameIntoCodesOfTheChosenLaw) {
  const std::vector<uint8_t> pcm = Ramp(160);
  for (bool alaw : {false, true}) {
    PCM2G711Transformer encoder;
    alaw ? encoder.SetALaw() : encoder.SetULaw();
    AudioSample* input = NewSample(MakeAudioFormat(5), pcm);
    AudioSampleList inputs{{input, nullptr}};
    AudioSample* output = nullptr;
    ASSERT_EQ(encoder.TransformAudioSamples(inputs, &output), 0);
    ASSERT_NE(output, nullptr);
    EXPECT_EQ(output->GetDataSize(), 160);
    EXPECT_EQ(output->Format(), MakeAudioFormat(alaw ? 1 : 0));
    EXPECT_EQ(output->GetDuration(), 20);
    for (int n = 0; n < 160; ++n) {
      const auto s = static_cast<int16_t>(pcm[2 * n] | (pcm[2 * n + 1] << 8));
      ASSERT_EQ(output->GetData()[n], alaw ? G711Codec::EncodeALaw(s) : G711Codec::EncodeULaw(s));
    }
    output->Release(&owner);
    input->Release(&owner);
  }
}

TEST_F(G711TransformerTest, SilenceMarkersStayMarkersInTheOutputFormat) {
  PCM2G711Transformer encoder;
  G7112PCMTransformer decoder;
  decoder.SetALaw();
  struct Case {
    AudioTransformer* filter;
    WAVEFORMATEX inFormat;
    WAVEFORMATEX outFormat;
  } cases[] = {{&encoder, MakeAudioFormat(5), MakeAudioFormat(0)},
               {&decoder, MakeAudioFormat(1), MakeAudioFormat(5)}};
  for (Case& c : cases) {
    AudioSample* input = NewSample(c.inFormat, {});
    input->SetSilenceDuration(40);
    AudioSampleList inputs{{input, nullptr}};
    AudioSample* output = nullptr;
    ASSERT_EQ(c.filter->TransformAudioSamples(inputs, &output), 0);
    ASSERT_NE(output, nullptr);
    EXPECT_EQ(output->GetDataSize(), 0);
    EXPECT_EQ(output->GetSilenceDuration(), 40);
    EXPECT_EQ(output->Format(), c.outFormat);
    output->Release(&owner);
    input->Release(&owner);
  }
}

TEST_F(G711TransformerTest, NoInputGivesNoOutput) {
  PCM2G711Transformer encoder;
  G7112PCMTransformer decoder;
  for (AudioTransformer* filter :
       {static_cast<AudioTransformer*>(&encoder), static_cast<AudioTransformer*>(&decoder)}) {
    AudioSampleList empty;
    AudioSampleList nullFirst{{nullptr, nullptr}};
    AudioSample* output = reinterpret_cast<AudioSample*>(0x1);
    EXPECT_EQ(filter->TransformAudioSamples(empty, &output), 0);
    EXPECT_EQ(output, nullptr);
    EXPECT_EQ(filter->TransformAudioSamples(nullFirst, &output), 0);
    EXPECT_EQ(output, nullptr);
  }
}

TEST_F(G711TransformerTest, DecoderCopiesTheHeaderAndUsesItsLawWhateverTheInputFormat) {
  G7112PCMTransformer decoder;
  decoder.SetALaw();
  std::vector<uint8_t> codes(160);
  for (int n = 0; n < 160; ++n) codes[n] = static_cast<uint8_t>(n * 7);
  // The input claims µ-law; the filter decodes A-law because it was told so.
  AudioSample* input = NewSample(MakeAudioFormat(0), codes);
  auto* header = new RTPPacket;
  header->sequenceNumber = 0x1234;
  header->timestamp = 0xFFFFFF00u;
  header->ssrc = 42;
  header->payloadType = 0;
  header->marker = 1;
  header->headerLength = 12;
  header->payload = input->GetData();
  header->payloadLength = 160;
  input->SetRTPHeader(header);

  AudioSampleList inputs{{input, nullptr}};
  AudioSample* output = nullptr;
  ASSERT_EQ(decoder.TransformAudioSamples(inputs, &output), 0);
  ASSERT_NE(output, nullptr);
  EXPECT_EQ(output->GetDataSize(), 320);
  EXPECT_EQ(output->Format(), MakeAudioFormat(5));
  EXPECT_EQ(output->GetDuration(), 20);
  for (int n = 0; n < 160; ++n) {
    const auto s =
        static_cast<int16_t>(output->GetData()[2 * n] | (output->GetData()[2 * n + 1] << 8));
    ASSERT_EQ(s, G711Codec::DecodeALaw(codes[n])) << n;
  }
  RTPPacket* copy = output->GetRTPHeader();
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy, header);
  EXPECT_EQ(copy->sequenceNumber, 0x1234);
  EXPECT_EQ(copy->timestamp, 0xFFFFFF00u);
  EXPECT_EQ(copy->ssrc, 42u);
  EXPECT_EQ(copy->marker, 1);
  EXPECT_EQ(copy->payload, nullptr);
  EXPECT_EQ(copy->payloadLength, 0);
  // The copy outlives the input's own record.
  input->Release(&owner);
  EXPECT_EQ(output->GetRTPHeader()->sequenceNumber, 0x1234);
  output->Release(&owner);
}

TEST_F(G711TransformerTest, DecodedDataThatDoesNotFitGivesAnEmptyOutputAndMinusTen) {
  G7112PCMTransformer decoder;
  for (int bytes : {1600, 1601}) {
    AudioSample* input = NewSample(MakeAudioFormat(0), std::vector<uint8_t>(bytes, 0x80));
    AudioSampleList inputs{{input, nullptr}};
    AudioSample* output = nullptr;
    const int32_t result = decoder.TransformAudioSamples(inputs, &output);
    ASSERT_NE(output, nullptr);
    if (bytes == 1600) {
      EXPECT_EQ(result, 0);
      EXPECT_EQ(output->GetDataSize(), 3200);
    } else {
      EXPECT_EQ(result, -10);
      EXPECT_EQ(output->GetDataSize(), 0);
    }
    output->Release(&owner);
    input->Release(&owner);
  }
}

}  // namespace
}  // namespace tarsio
