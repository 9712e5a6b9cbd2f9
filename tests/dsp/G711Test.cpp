// G.711 codec, its two transformers and the generic RTP decoder. The codec is checked against a
// reference built here from the segment rules (decision intervals by end points and step sizes,
// codes found by searching the intervals, decoded values at the interval midpoints): no bit
// tricks, nothing from the codec's tables.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "dsp/G7112PCMTransformer.h"
#include "dsp/G711Codec.h"
#include "dsp/GenericRTP2PCMDecoder.h"
#include "dsp/PCM2G711Transformer.h"
#include "framework/AudioFormat.h"
#include "framework/AudioSample.h"
#include "framework/AudioSampleManager.h"
#include "framework/Registry.h"
#include "rtp/RTPPacket.h"

namespace tarsio {
namespace {

// µ-law on the 14-bit magnitude scale: segment k holds magnitudes from kULawEnd[k-1] (-1 before
// segment 0) up to, not including, kULawEnd[k], in steps of kULawStep[k].
constexpr int kULawEnd[8] = {31, 95, 223, 479, 991, 2015, 4063, 8159};
constexpr int kULawStep[8] = {2, 4, 8, 16, 32, 64, 128, 256};
// A-law on the 12-bit magnitude scale: segment k holds [kALawStart[k], kALawStart[k+1]).
constexpr int kALawStart[9] = {0, 32, 64, 128, 256, 512, 1024, 2048, 4096};
constexpr int kALawStep[8] = {2, 2, 4, 8, 16, 32, 64, 128};

int Quarter(int s) { return s >= 0 ? s / 4 : -((-s) / 4); }  // truncation toward zero

uint8_t ReferenceULaw(int16_t s) {
  const int i = Quarter(s), magnitude = i < 0 ? -i : i;
  int code = 0x7F, start = -1;  // beyond the last segment: its top interval
  for (int k = 0; k < 8; start = kULawEnd[k++]) {
    if (magnitude < kULawEnd[k]) {
      code = k * 16 + (magnitude - start) / kULawStep[k];
      break;
    }
  }
  return static_cast<uint8_t>(255 - code - (i < 0 ? 0x80 : 0));
}

uint8_t ReferenceALaw(int16_t s) {
  const int i = Quarter(s), magnitude = (i < 0 ? -i : i) / 2;
  int code = 0x7F;
  for (int k = 0; k < 8; ++k) {
    if (magnitude >= kALawStart[k] && magnitude < kALawStart[k + 1]) {
      code = k * 16 + (magnitude - kALawStart[k]) / kALawStep[k];
      break;
    }
  }
  return static_cast<uint8_t>(code ^ (i < 0 ? 0x55 : 0xD5));
}

int ReferenceULawValue(uint8_t c) {
  const int code = 255 - c, segment = (code / 16) % 8, step = kULawStep[segment];
  const int start = segment == 0 ? -1 : kULawEnd[segment - 1];
  return (code >= 0x80 ? -4 : 4) * (start + (code % 16) * step + step / 2);
}

int ReferenceALawValue(uint8_t c) {
  const int code = c ^ 0x55, segment = (code / 16) % 8, step = kALawStep[segment];
  return (code >= 0x80 ? 8 : -8) * (kALawStart[segment] + (code % 16) * step + step / 2);
}

std::vector<uint8_t> Pcm(const std::vector<int16_t>& samples) {
  std::vector<uint8_t> bytes(2 * samples.size());
  std::memcpy(bytes.data(), samples.data(), bytes.size());  // little-endian host
  return bytes;
}

int16_t PcmAt(const uint8_t* data, int n) {
  return static_cast<int16_t>(data[2 * n] | (data[2 * n + 1] << 8));
}

TEST(G711CodecTest, EveryLinearInputAndEveryCodeMatchTheSegmentRules) {
  std::vector<int16_t> all;
  for (int s = -32768; s <= 32767; ++s) all.push_back(static_cast<int16_t>(s));
  const std::vector<uint8_t> input = Pcm(all);
  std::vector<uint8_t> everyCode(256);
  for (int c = 0; c < 256; ++c) everyCode[c] = static_cast<uint8_t>(c);
  for (int law : {G711Codec::kULaw, G711Codec::kALaw}) {
    const bool a = law == G711Codec::kALaw;
    G711Codec codec;
    codec.SetLaw(law);
    std::vector<uint8_t> codes(65536);
    int32_t count = 65536;
    ASSERT_EQ(codec.Encode(input.data(), 131072, codes.data(), &count), 0);
    ASSERT_EQ(count, 65536);
    for (size_t n = 0; n < all.size(); ++n) {
      const uint8_t expected = a ? ReferenceALaw(all[n]) : ReferenceULaw(all[n]);
      ASSERT_EQ(codes[n], expected) << "law " << law << " sample " << all[n];
      ASSERT_EQ(a ? G711Codec::EncodeALaw(all[n]) : G711Codec::EncodeULaw(all[n]), expected);
    }

    std::vector<uint8_t> pcm(512);
    count = 512;
    ASSERT_EQ(codec.Decode(everyCode.data(), 256, pcm.data(), &count), 0);
    ASSERT_EQ(count, 512);
    for (int c = 0; c < 256; ++c) {
      const int16_t value = PcmAt(pcm.data(), c);
      const auto code = static_cast<uint8_t>(c);
      EXPECT_EQ(value, a ? ReferenceALawValue(code) : ReferenceULawValue(code)) << law << " " << c;
      // Re-encoding gives the code back; µ-law's negative zero (0x7F) comes back positive.
      EXPECT_EQ(a ? G711Codec::EncodeALaw(value) : G711Codec::EncodeULaw(value),
                (!a && c == 0x7F) ? 0xFF : c);
    }
  }
}

TEST(G711CodecTest, BoundaryValuesAndBufferSizes) {
  const int rows[][3] = {{0, 0xFF, 0xD5},     {-1, 0xFF, 0xD5},     {-3, 0xFF, 0xD5},
                         {-4, 0x7E, 0x55},    {-32768, 0x00, 0x2A}, {-32767, 0x00, 0x2A},
                         {32767, 0x80, 0xAA}, {32764, 0x80, 0xAA}};  // sample, µ-law, A-law
  for (const auto& [sample, ulaw, alaw] : rows) {
    EXPECT_EQ(G711Codec::EncodeULaw(int16_t(sample)), ulaw) << sample;
    EXPECT_EQ(G711Codec::EncodeALaw(int16_t(sample)), alaw) << sample;
  }
  EXPECT_EQ((std::vector<int>{G711Codec::DecodeULaw(0x00), G711Codec::DecodeULaw(0x80),
                              G711Codec::DecodeULaw(0x7F), G711Codec::DecodeALaw(0x2A),
                              G711Codec::DecodeALaw(0xAA), G711Codec::DecodeALaw(0xD5)}),
            (std::vector<int>{-32124, 32124, 0, -32256, 32256, 8}));

  G711Codec codec;
  codec.SetLaw(7);  // any flag other than A-law's means µ-law
  const std::vector<uint8_t> pcm = Pcm(std::vector<int16_t>(160, -4));
  std::vector<uint8_t> out(400, 0xEE), back(320);
  int32_t count = 159;  // one short: refused, nothing written
  EXPECT_EQ(codec.Encode(pcm.data(), 320, out.data(), &count), G711Codec::kErrOutputTooSmall);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(out[0], 0xEE);
  count = 10;  // an odd byte count (trailing byte ignored) into an unaligned output
  EXPECT_EQ(codec.Encode(pcm.data(), 7, out.data() + 1, &count), 0);
  EXPECT_EQ(std::vector<int>({count, out[3], out[4]}), std::vector<int>({3, 0x7E, 0xEE}));
  count = 3;  // unaligned input and output, sized exactly
  EXPECT_EQ(codec.Decode(out.data() + 1, 2, back.data() + 1, &count),
            G711Codec::kErrOutputTooSmall);
  count = 4;
  EXPECT_EQ(codec.Decode(out.data() + 1, 2, back.data() + 1, &count), 0);
  EXPECT_EQ(PcmAt(back.data() + 1, 1), G711Codec::DecodeULaw(0x7E));
}

struct Releaser {
  void operator()(AudioSample* s) const { s->Release(nullptr); }
};
using Owned = std::unique_ptr<AudioSample, Releaser>;

// A pooled sample; with a payload type, it carries an RTP header with the sequence number.
Owned NewSample(const WAVEFORMATEX& format, const std::vector<uint8_t>& data, int32_t silence = 0,
                int payloadType = -1, uint16_t seq = 0) {
  AudioSample* s = nullptr;
  AudioSampleManager::Instance()->GetAudioSample(&s, nullptr);
  s->SetFormat(format);
  if (!data.empty()) std::memcpy(s->GetData(), data.data(), data.size());
  s->SetDataSize(static_cast<int32_t>(data.size()));
  if (silence > 0) s->SetSilenceDuration(silence);
  if (payloadType >= 0) {
    auto* h = new RTPPacket;
    h->payloadType = static_cast<uint8_t>(payloadType);
    h->sequenceNumber = seq;
    h->timestamp = 0xFFFFFF00u + seq;
    h->headerLength = 12;
    s->SetRTPHeader(h);
  }
  return Owned(s);
}

int32_t Transform(AudioTransformer& t, const Owned& in, Owned* out) {
  AudioSampleList list{{in.get(), nullptr}};
  AudioSample* raw = nullptr;
  const int32_t result = t.TransformAudioSamples(list, &raw);
  out->reset(raw);
  return result;
}

bool IsMarker(const AudioSample* s, int32_t ms) {
  return s->GetDataSize() == 0 && s->GetSilenceDuration() == ms;
}

void ExpectDecoded(const AudioSample* out, const std::vector<uint8_t>& codes, bool alaw) {
  ASSERT_EQ(out->GetDataSize(), int32_t(2 * codes.size()));
  EXPECT_EQ(out->Format(), PcmFormat());
  for (size_t n = 0; n < codes.size(); ++n) {
    ASSERT_EQ(PcmAt(out->GetData(), int(n)),
              alaw ? ReferenceALawValue(codes[n]) : ReferenceULawValue(codes[n]));
  }
}

std::vector<uint8_t> Codes() {
  std::vector<uint8_t> codes(160);
  for (int n = 0; n < 160; ++n) codes[n] = static_cast<uint8_t>(n * 7);
  return codes;
}

TEST(G711TransformerTest, EncodeAndDecodeFramesHeadersAndMarkers) {
  std::vector<int16_t> ramp(160);
  for (int n = 0; n < 160; ++n) ramp[n] = static_cast<int16_t>(n * 397 - 30000);
  Owned out;
  for (bool alaw : {false, true}) {
    PCM2G711Transformer encoder;
    alaw ? encoder.SetALaw() : encoder.SetULaw();
    ASSERT_EQ(Transform(encoder, NewSample(PcmFormat(), Pcm(ramp)), &out), 0);
    EXPECT_EQ(out->Format(), MakeAudioFormat(alaw ? 1 : 0));
    ASSERT_EQ(out->GetDataSize(), 160);
    for (int n = 0; n < 160; ++n) {
      ASSERT_EQ(out->GetData()[n], alaw ? ReferenceALaw(ramp[n]) : ReferenceULaw(ramp[n]));
    }
    // A silence marker stays a marker, in the output format.
    ASSERT_EQ(Transform(encoder, NewSample(PcmFormat(), {}, 40), &out), 0);
    EXPECT_TRUE(IsMarker(out.get(), 40));
    EXPECT_EQ(out->Format(), MakeAudioFormat(alaw ? 1 : 0));
  }

  // The decoder uses its own law whatever the input claims and copies the header (the copy
  // outlives the input).
  G7112PCMTransformer decoder;
  decoder.SetALaw();
  Owned in = NewSample(MakeAudioFormat(0), Codes(), 0, 0, 0x1234);
  ASSERT_EQ(Transform(decoder, in, &out), 0);
  in.reset();
  ExpectDecoded(out.get(), Codes(), true);
  ASSERT_NE(out->GetRTPHeader(), nullptr);
  EXPECT_EQ(out->GetRTPHeader()->timestamp, 0xFFFFFF00u + 0x1234);
  ASSERT_EQ(Transform(decoder, NewSample(MakeAudioFormat(1), {}, 40), &out), 0);
  EXPECT_TRUE(IsMarker(out.get(), 40));
  EXPECT_EQ(out->Format(), PcmFormat());
  // 1600 codes fill the output sample; one more does not fit: -10 and an empty output.
  const std::vector<uint8_t> full(1600, 0x80), over(1601, 0x80);
  ASSERT_EQ(Transform(decoder, NewSample(MakeAudioFormat(0), full), &out), 0);
  EXPECT_EQ(out->GetDataSize(), 3200);
  EXPECT_EQ(Transform(decoder, NewSample(MakeAudioFormat(0), over), &out), -10);
  EXPECT_EQ(out->GetDataSize(), 0);
  EXPECT_EQ(Transform(decoder, Owned(), &out), 0);
  EXPECT_EQ(out, nullptr);
}

constexpr const char* kKey = "Software\\Almagre\\OrbeMediaTerm\\1.0";

std::string ReceiveCodec() {
  return RegGetString(HKEY_CURRENT_USER, kKey, "RTPReceiveCodec", "<missing>");
}

TEST(GenericRTP2PCMDecoderTest, DispatchesPayloadTypesRecordsTheCodecAndRefusesTheRest) {
  RegSetString(HKEY_CURRENT_USER, kKey, "RTPReceiveCodec", "G.711 ALaw");
  GenericRTP2PCMDecoder decoder;
  EXPECT_EQ(ReceiveCodec(), "");  // construction empties the recorded codec

  // Each packet is decoded with its own law; the value is written only when the codec changes
  // ("marked" stays), and comfort noise (13) is handed on as its payload.
  const std::pair<int, const char*> steps[] = {{0, "G.711 ULaw"}, {0, "marked"},  {8, "G.711 ALaw"},
                                               {0, "G.711 ULaw"}, {13, "marked"}, {0, "marked"}};
  uint16_t seq = 100;
  Owned out;
  for (const auto& [payloadType, recorded] : steps) {
    RegSetString(HKEY_CURRENT_USER, kKey, "RTPReceiveCodec", "marked");
    const std::vector<uint8_t> payload = payloadType == 13 ? std::vector<uint8_t>{0x40} : Codes();
    ASSERT_EQ(Transform(decoder, NewSample(PcmFormat(), payload, 0, payloadType, ++seq), &out), 0);
    EXPECT_EQ(ReceiveCodec(), recorded) << "payload type " << payloadType;
    ASSERT_NE(out->GetRTPHeader(), nullptr);
    EXPECT_EQ(out->GetRTPHeader()->sequenceNumber, seq);
    if (payloadType == 13) {
      EXPECT_EQ(out->GetDataSize(), 4);
      EXPECT_EQ(out->GetData()[0], 0x40);
    } else {
      ExpectDecoded(out.get(), payload, payloadType == 8);
    }
  }
  ASSERT_EQ(Transform(decoder, NewSample(PcmFormat(), {}, 20, 0, 1), &out), 0);
  EXPECT_TRUE(IsMarker(out.get(), 20));

  const std::vector<uint8_t> payload(20, 1);
  EXPECT_EQ(Transform(decoder, NewSample(PcmFormat(), payload, 0, 18), &out),
            GenericRTP2PCMDecoder::kErrUnknownPayloadType);
  EXPECT_EQ(ReceiveCodec(), "Unknown Type 18 (ERROR)");
  EXPECT_EQ(Transform(decoder, NewSample(PcmFormat(), payload), &out),
            GenericRTP2PCMDecoder::kErrNoRTPHeader);
  // On the push path the refused output never reaches a sink; every sample still returns to the
  // pool (checked after each test).
  Owned packet = NewSample(PcmFormat(), payload, 0, 4);
  AudioSampleList list{{packet.get(), nullptr}};
  EXPECT_EQ(decoder.RenderAudioSamples(list), GenericRTP2PCMDecoder::kErrUnknownPayloadType);

  EXPECT_EQ(decoder.StopTransform(), 0);
  EXPECT_EQ(ReceiveCodec(), "");
  ASSERT_EQ(Transform(decoder, NewSample(PcmFormat(), Codes(), 0, 0, 2), &out), 0);
  EXPECT_EQ(ReceiveCodec(), "G.711 ULaw");
}

}  // namespace
}  // namespace tarsio
