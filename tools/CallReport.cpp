#include "tools/CallReport.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace tarsio::host {

namespace {

std::string Time(int64_t epochMs) { return epochMs > 0 ? std::to_string(epochMs) : "null"; }

std::string Number(double value, int decimals) {
  if (!std::isfinite(value)) return "null";
  char text[64];
  std::snprintf(text, sizeof(text), "%.*f", decimals, value);
  return text;
}

std::string Stage(const CallReport::StageDelay& stage) {
  if (stage.medianMs < 0) return "null";
  return "{\"median\": " + std::to_string(stage.medianMs) +
         ", \"p95\": " + std::to_string(stage.p95Ms) + "}";
}

std::string TextOrNull(const std::string& text) {
  return text.empty() ? "null" : CallReport::Quote(text);
}

}  // namespace

std::string CallReport::Quote(const std::string& text) {
  std::string out = "\"";
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char escape[8];
          std::snprintf(escape, sizeof(escape), "\\u%04x", c);
          out += escape;
        } else {
          out += ch;  // UTF-8 passes through unchanged
        }
    }
  }
  return out + "\"";
}

std::string CallReport::ToJson() const {
  std::string j = "{\n";
  j += "  \"format\": \"tarsio-call-report\",\n  \"version\": 1,\n";
  j += "  \"command\": " + Quote(command) + ",\n";
  j += "  \"local_port\": " + std::to_string(localPort) + ",\n";
  j += "  \"remote\": " + Quote(remote) + ",\n";
  j += "  \"tx_codec\": " + Quote(txCodec) + ",\n";
  j += "  \"rx_codec\": " + Quote(rxCodec) + ",\n";
  j += "  \"jitter_ms\": " + std::to_string(jitterMs) + ",\n";
  j += "  \"receive_mode\": " + Quote(receiveMode) + ",\n";
  j += "  \"recorded_codecs\": {\"transmit\": " + TextOrNull(recordedTransmitCodec) +
       ", \"receive\": " + TextOrNull(recordedReceiveCodec) + "},\n";
  j += "  \"capture_device\": " + Quote(captureDevice) + ",\n";
  j += "  \"playback_device\": " + Quote(playbackDevice) + ",\n";
  j += "  \"playback_wav\": " + TextOrNull(playbackWav) + ",\n";
  j += "  \"times_ms\": {\n";
  j += "    \"call_start\": " + Time(times.callStart) + ",\n";
  j += "    \"capture_started\": " + Time(times.captureStarted) + ",\n";
  j += "    \"playback_started\": " + Time(times.playbackStarted) + ",\n";
  j += "    \"first_capture_buffer\": " + Time(times.firstCaptureBuffer) + ",\n";
  j += "    \"first_rtp_sent\": " + Time(times.firstRtpSent) + ",\n";
  j += "    \"first_rtp_received\": " + Time(times.firstRtpReceived) + ",\n";
  j += "    \"first_playback_sample\": " + Time(times.firstPlaybackSample) + ",\n";
  j += "    \"call_end\": " + Time(times.callEnd) + "\n  },\n";
  j += "  \"totals\": {\"rtp_recvfrom\": " + std::to_string(totals.rtpRecvfrom) +
       ", \"rtp_sendto\": " + std::to_string(totals.rtpSendto) +
       ", \"wave_out\": " + std::to_string(totals.waveOut) +
       ", \"wave_in\": " + std::to_string(totals.waveIn) +
       ", \"g729_decomp\": " + std::to_string(totals.g729Decomp) +
       ", \"g729_comp\": " + std::to_string(totals.g729Comp) + "},\n";
  j += "  \"receive_buffer\": [";
  for (size_t i = 0; i < receiveBuffer.size(); ++i) {
    const BufferSample& s = receiveBuffer[i];
    j += i == 0 ? "\n" : ",\n";
    j += "    {\"time_ms\": " + std::to_string(s.epochMs) +
         ", \"elapsed_s\": " + Number(s.elapsedSeconds, 3) + ", \"ratio\": " + Number(s.ratio, 4) +
         "}";
  }
  j += receiveBuffer.empty() ? "],\n" : "\n  ],\n";
  if (receiveStats) {
    const ReceiveStats& r = *receiveStats;
    j += "  \"receive_stats\": {\"packets_received\": " + std::to_string(r.packetsReceived) +
         ", \"frames_played\": " + std::to_string(r.framesPlayed) +
         ", \"frames_concealed\": " + std::to_string(r.framesConcealed) +
         ", \"frames_silence\": " + std::to_string(r.framesSilence) +
         ", \"late_packets\": " + std::to_string(r.latePackets) +
         ", \"accelerated_ms\": " + std::to_string(r.acceleratedMs) +
         ", \"expanded_ms\": " + std::to_string(r.expandedMs) +
         ", \"reanchors\": " + std::to_string(r.reanchors) +
         ", \"target_ms\": " + std::to_string(r.targetMs) + "},\n";
  } else {
    j += "  \"receive_stats\": null,\n";
  }
  j += "  \"delay_ms\": {\"network\": " + Stage(networkDelay) +
       ", \"jitter_buffer\": " + Stage(jitterBufferDelay) +
       ", \"playback_queue\": " + Stage(playbackQueueDelay) +
       ", \"device\": " + Stage(deviceDelay) + "},\n";
  if (mouthToEarMs) j += "  \"mouth_to_ear_ms\": " + Number(*mouthToEarMs, 1) + ",\n";
  j += "  \"srtp\": " + TextOrNull(srtp) + ", \"srtp_refused\": " + std::to_string(srtpRefused) +
       ",\n";
  j += "  \"digits_sent\": " + TextOrNull(digitsSent) + ",\n";
  j += "  \"digits_received\": [";
  for (size_t i = 0; i < digitsReceived.size(); ++i) {
    j += i == 0 ? "" : ", ";
    j += "{\"digit\": " + Quote(std::string(1, digitsReceived[i].first)) +
         ", \"ms\": " + std::to_string(digitsReceived[i].second) + "}";
  }
  j += "],\n";
  if (rtcp) {
    const Rtcp& r = *rtcp;
    j += "  \"rtcp\": {\"packets_sent\": " + std::to_string(r.packetsSent) +
         ", \"octets_sent\": " + std::to_string(r.octetsSent) +
         ", \"packets_received\": " + std::to_string(r.packetsReceived) +
         ", \"octets_received\": " + std::to_string(r.octetsReceived) +
         ", \"cumulative_lost\": " + std::to_string(r.cumulativeLost) +
         ", \"fraction_lost\": " + Number(r.fractionLost, 4) +
         ", \"call_fraction_lost\": " + Number(r.callFractionLost, 4) +
         ", \"jitter_ms\": " + Number(r.jitterMs, 2) + ", \"remote\": ";
    if (r.haveRemoteReport) {
      j += "{\"cumulative_lost\": " + std::to_string(r.remoteCumulativeLost) +
           ", \"fraction_lost\": " + Number(r.remoteFractionLost, 4) +
           ", \"jitter_ms\": " + Number(r.remoteJitterMs, 2) + "}";
    } else {
      j += "null";
    }
    j += ", \"round_trip_ms\": " + (r.roundTripMs >= 0 ? Number(r.roundTripMs, 2) : "null") +
         ", \"reports_sent\": " + std::to_string(r.reportsSent) +
         ", \"reports_received\": " + std::to_string(r.reportsReceived) +
         ", \"reports_malformed\": " + std::to_string(r.reportsMalformed) +
         ", \"bye_received\": " + (r.byeReceived ? "true" : "false") +
         ", \"timed_out\": " + (r.timedOut ? "true" : "false") +
         ", \"ssrc\": " + std::to_string(r.localSsrc) +
         ", \"remote_ssrc\": " + std::to_string(r.remoteSsrc) +
         ", \"remote_cname\": " + Quote(r.remoteCname) + "},\n";
  }
  j += "  \"exit_code\": " + std::to_string(exitCode) + ",\n";
  j += "  \"error\": " + TextOrNull(error) + "\n}\n";
  return j;
}

bool CallReport::WriteFile(const std::string& path, std::string* error) const {
  const std::string temporary = path + ".tmp";
  std::FILE* f = std::fopen(temporary.c_str(), "w");
  if (f == nullptr) {
    *error = "cannot write report " + path + ": " + std::strerror(errno);
    return false;
  }
  const std::string json = ToJson();
  const bool written = std::fwrite(json.data(), 1, json.size(), f) == json.size();
  const bool closed = std::fclose(f) == 0;
  if (!written || !closed || std::rename(temporary.c_str(), path.c_str()) != 0) {
    *error = "cannot write report " + path + ": " + std::strerror(errno);
    std::remove(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace tarsio::host
