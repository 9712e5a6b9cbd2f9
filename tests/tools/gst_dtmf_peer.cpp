// A GStreamer far end that keys DTMF digits: it runs a pipeline given as gst-launch text, which
// must hold an rtpdtmfsrc named "dtmf", and drives that element with the "dtmf-event" custom
// events an application sends (gst-launch itself cannot send them).
//
// Usage: gst_dtmf_peer DIGITS MS PIPELINE...
//   The pipeline runs for 1 s, then each digit (0-9 * # A-D) is pressed for MS milliseconds, then
//   the pipeline runs 1 s more and ends with EOS. rtpdtmfsrc queues the events it is given and
//   paces them itself (an event lasts at least 250 ms, and 100 ms or more lie between two), so
//   each start and stop waits for the element's message that it took effect; the next digit
//   follows 100 ms after the end of one. Each digit prints "sent digit D" on stdout once its end
//   went out. Exit code 0, or 1 with the reason on stderr (a pipeline that does not parse, an
//   element missing, an event not taken, an error on the bus).
#include <gst/gst.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

/// The telephone-event number of a digit (RFC 4733: 0-9, * 10, # 11, A-D 12-15), or -1.
int EventNumber(char digit) {
  if (digit >= '0' && digit <= '9') return digit - '0';
  if (digit == '*') return 10;
  if (digit == '#') return 11;
  if (digit >= 'A' && digit <= 'D') return 12 + (digit - 'A');
  return -1;
}

/// An error or warning from the bus, printed; true for an error.
bool ReportBusTrouble(GstBus* bus) {
  bool failed = false;
  while (GstMessage* message = gst_bus_pop_filtered(
             bus, static_cast<GstMessageType>(GST_MESSAGE_ERROR | GST_MESSAGE_WARNING))) {
    GError* error = nullptr;
    gchar* debug = nullptr;
    const bool isError = GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR;
    if (isError) {
      gst_message_parse_error(message, &error, &debug);
    } else {
      gst_message_parse_warning(message, &error, &debug);
    }
    std::fprintf(stderr, "gst_dtmf_peer: %s from %s: %s (%s)\n", isError ? "error" : "warning",
                 GST_OBJECT_NAME(GST_MESSAGE_SRC(message)), error ? error->message : "?",
                 debug ? debug : "");
    failed = failed || isError;
    g_clear_error(&error);
    g_free(debug);
    gst_message_unref(message);
  }
  return failed;
}

bool SendDtmfEventOnce(GstElement* dtmf, int number, bool start) {
  GstStructure* s = gst_structure_new("dtmf-event", "type", G_TYPE_INT, 1, "number", G_TYPE_INT,
                                      number, "volume", G_TYPE_INT, 10, "method", G_TYPE_INT, 1,
                                      "start", G_TYPE_BOOLEAN, start ? TRUE : FALSE, nullptr);
  // Into the source pad, as an upstream event from the element downstream would arrive: the
  // element's own send_event does not hand custom events to rtpdtmfsrc.
  GstPad* pad = gst_element_get_static_pad(dtmf, "src");
  const bool taken = gst_pad_send_event(pad, gst_event_new_custom(GST_EVENT_CUSTOM_UPSTREAM, s));
  gst_object_unref(pad);
  return taken;
}

/// Waits (at most 3 s) for rtpdtmfsrc's message that it began sending the start or the end of an
/// event; false on a timeout or an error.
bool WaitProcessed(GstBus* bus, bool start) {
  const gint64 deadline = g_get_monotonic_time() + 3 * G_USEC_PER_SEC;
  for (gint64 now = g_get_monotonic_time(); now < deadline; now = g_get_monotonic_time()) {
    GstMessage* message = gst_bus_timed_pop_filtered(
        bus, static_cast<GstClockTime>(deadline - now) * GST_USECOND,
        static_cast<GstMessageType>(GST_MESSAGE_ELEMENT | GST_MESSAGE_ERROR));
    if (message == nullptr) return false;
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
      GError* error = nullptr;
      gst_message_parse_error(message, &error, nullptr);
      std::fprintf(stderr, "gst_dtmf_peer: error: %s\n", error ? error->message : "?");
      g_clear_error(&error);
      gst_message_unref(message);
      return false;
    }
    const GstStructure* s = gst_message_get_structure(message);
    gboolean started = FALSE;
    const bool found = s != nullptr && gst_structure_has_name(s, "dtmf-event-processed") &&
                       gst_structure_get_boolean(s, "start", &started) &&
                       (started != FALSE) == start;
    gst_message_unref(message);
    if (found) return true;
  }
  return false;
}

/// One "dtmf-event" for rtpdtmfsrc; it refuses events while the pipeline is still changing
/// state, so a refusal is tried again for a second.
bool SendDtmfEvent(GstElement* dtmf, int number, bool start) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    if (SendDtmfEventOnce(dtmf, number, start)) return true;
    std::fprintf(stderr, "gst_dtmf_peer: rtpdtmfsrc refused an event; trying again\n");
    g_usleep(50 * 1000);
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  gst_init(&argc, &argv);
  if (argc < 4) {
    std::fprintf(stderr, "usage: gst_dtmf_peer DIGITS MS PIPELINE...\n");
    return 2;
  }
  const std::string digits = argv[1];
  const int ms = std::atoi(argv[2]);
  for (char d : digits) {
    if (EventNumber(d) < 0 || ms <= 0) {
      std::fprintf(stderr, "gst_dtmf_peer: bad digits '%s' or duration '%s'\n", argv[1], argv[2]);
      return 2;
    }
  }
  std::string text;
  for (int i = 3; i < argc; ++i) text += std::string(i > 3 ? " " : "") + argv[i];

  GError* error = nullptr;
  GstElement* pipeline = gst_parse_launch(text.c_str(), &error);
  if (pipeline == nullptr || error != nullptr) {
    std::fprintf(stderr, "gst_dtmf_peer: pipeline: %s\n", error ? error->message : "?");
    return 1;
  }
  GstElement* dtmf = gst_bin_get_by_name(GST_BIN(pipeline), "dtmf");
  if (dtmf == nullptr) {
    std::fprintf(stderr, "gst_dtmf_peer: the pipeline has no element named dtmf\n");
    return 1;
  }
  GstBus* bus = gst_element_get_bus(pipeline);
  int result = 0;
  if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE ||
      gst_element_get_state(pipeline, nullptr, nullptr, 5 * GST_SECOND) !=
          GST_STATE_CHANGE_SUCCESS) {
    std::fprintf(stderr, "gst_dtmf_peer: the pipeline does not play\n");
    result = 1;
  }
  if (result == 0) g_usleep(G_USEC_PER_SEC);
  for (size_t i = 0; result == 0 && i < digits.size(); ++i) {
    const int number = EventNumber(digits[i]);
    for (const bool start : {true, false}) {
      if (!SendDtmfEvent(dtmf, number, start) || !WaitProcessed(bus, start)) {
        std::fprintf(stderr, "gst_dtmf_peer: rtpdtmfsrc did not take the %s of %c\n",
                     start ? "start" : "stop", digits[i]);
        result = 1;
        break;
      }
      if (start) g_usleep(static_cast<gulong>(ms) * 1000);
    }
    if (result != 0) break;
    std::printf("sent digit %c\n", digits[i]);
    std::fflush(stdout);
    g_usleep(100 * 1000);
  }
  if (result == 0) g_usleep(G_USEC_PER_SEC);

  // EOS lets every element finish what it holds; a live pipeline gets 3 s to pass it through.
  gst_element_send_event(pipeline, gst_event_new_eos());
  GstMessage* end = gst_bus_timed_pop_filtered(
      bus, 3 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  if (end != nullptr) {
    if (GST_MESSAGE_TYPE(end) == GST_MESSAGE_ERROR) {
      GError* e = nullptr;
      gst_message_parse_error(end, &e, nullptr);
      std::fprintf(stderr, "gst_dtmf_peer: error: %s\n", e ? e->message : "?");
      g_clear_error(&e);
      result = 1;
    }
    gst_message_unref(end);
  }
  if (ReportBusTrouble(bus)) result = 1;
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(bus);
  gst_object_unref(dtmf);
  gst_object_unref(pipeline);
  return result;
}
