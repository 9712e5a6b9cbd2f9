// A GStreamer far end that shows what its rtpbin made of the RTCP it received: it runs a pipeline
// given as gst-launch text, which must hold an rtpbin named "rtpbin" with session 0, and prints
// what that session learnt about the other sources.
//
// Usage: gst_rtcp_peer SECONDS PIPELINE...
//   Session 0's minimum report interval is half a second (rtpbin's default of 5 s would need a
//   long call before a report could answer the far end's first one). The pipeline runs until a
//   source of the far end says BYE, or for SECONDS at most; then, for each source that is not the
//   session's own, one line "remote STATS" with the source's stats structure as GStreamer writes
//   it, and the pipeline ends with EOS. While it runs, rtpbin's signals print "sdes ssrc=N cname=C"
//   when a source's CNAME arrives and "bye ssrc=N" on a BYE. Exit code 0, or 1 with the reason on
//   stderr (a pipeline that does not parse or play, no session 0, an error on the bus).
#include <gst/gst.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

namespace {

std::mutex printMutex;
std::atomic<bool> byeReceived{false};

void PrintLine(const std::string& line) {
  std::lock_guard<std::mutex> lock(printMutex);
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

/// The session's source of ssrc (a new reference), or null.
GObject* SourceOf(GObject* session, guint ssrc) {
  GObject* source = nullptr;
  g_signal_emit_by_name(session, "get-source-by-ssrc", ssrc, &source);
  return source;
}

// rtpbin's "on-ssrc-sdes" (session id, SSRC), on a streaming thread: the source's CNAME.
void OnSdes(GstElement* rtpbin, guint sessionId, guint ssrc, gpointer) {
  GObject* session = nullptr;
  g_signal_emit_by_name(rtpbin, "get-internal-session", sessionId, &session);
  if (session == nullptr) return;
  if (GObject* source = SourceOf(session, ssrc)) {
    GstStructure* sdes = nullptr;
    g_object_get(source, "sdes", &sdes, nullptr);
    const gchar* cname = sdes != nullptr ? gst_structure_get_string(sdes, "cname") : nullptr;
    PrintLine("sdes ssrc=" + std::to_string(ssrc) + " cname=" + (cname ? cname : ""));
    if (sdes != nullptr) gst_structure_free(sdes);
    g_object_unref(source);
  }
  g_object_unref(session);
}

// rtpbin's "on-bye-ssrc" (session id, SSRC), on a streaming thread.
void OnBye(GstElement*, guint, guint ssrc, gpointer) {
  PrintLine("bye ssrc=" + std::to_string(ssrc));
  byeReceived = true;
}

/// One "remote" line per source of the session that is not its own.
void PrintRemoteSources(GObject* session) {
  GstStructure* stats = nullptr;
  g_object_get(session, "stats", &stats, nullptr);
  const GValue* list = stats != nullptr ? gst_structure_get_value(stats, "source-stats") : nullptr;
  // A GValueArray of structures; its fields are read directly, as its functions are deprecated.
  const auto* sources =
      list != nullptr ? static_cast<const GValueArray*>(g_value_get_boxed(list)) : nullptr;
  for (guint i = 0; sources != nullptr && i < sources->n_values; ++i) {
    const GstStructure* source = gst_value_get_structure(&sources->values[i]);
    gboolean internal = TRUE;
    if (source == nullptr || !gst_structure_get_boolean(source, "internal", &internal) ||
        internal) {
      continue;
    }
    gchar* text = gst_structure_to_string(source);
    PrintLine(std::string("remote ") + text);
    g_free(text);
  }
  if (stats != nullptr) gst_structure_free(stats);
}

/// Errors and warnings on the bus, printed; true when there was an error.
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
    std::fprintf(stderr, "gst_rtcp_peer: %s from %s: %s (%s)\n", isError ? "error" : "warning",
                 GST_OBJECT_NAME(GST_MESSAGE_SRC(message)), error ? error->message : "?",
                 debug ? debug : "");
    failed = failed || isError;
    g_clear_error(&error);
    g_free(debug);
    gst_message_unref(message);
  }
  return failed;
}

}  // namespace

int main(int argc, char** argv) {
  gst_init(&argc, &argv);
  if (argc < 3 || std::atoi(argv[1]) <= 0) {
    std::fprintf(stderr, "usage: gst_rtcp_peer SECONDS PIPELINE...\n");
    return 2;
  }
  const gint64 seconds = std::atoi(argv[1]);
  std::string text;
  for (int i = 2; i < argc; ++i) text += std::string(i > 2 ? " " : "") + argv[i];

  GError* error = nullptr;
  GstElement* pipeline = gst_parse_launch(text.c_str(), &error);
  if (pipeline == nullptr || error != nullptr) {
    std::fprintf(stderr, "gst_rtcp_peer: pipeline: %s\n", error ? error->message : "?");
    return 1;
  }
  GstElement* rtpbin = gst_bin_get_by_name(GST_BIN(pipeline), "rtpbin");
  GObject* session = nullptr;
  if (rtpbin != nullptr) g_signal_emit_by_name(rtpbin, "get-internal-session", 0u, &session);
  if (session == nullptr) {
    std::fprintf(stderr, "gst_rtcp_peer: the pipeline has no rtpbin named rtpbin with session 0\n");
    return 1;
  }
  g_object_set(session, "rtcp-min-interval", static_cast<guint64>(500 * GST_MSECOND), nullptr);
  g_signal_connect(rtpbin, "on-ssrc-sdes", G_CALLBACK(OnSdes), nullptr);
  g_signal_connect(rtpbin, "on-bye-ssrc", G_CALLBACK(OnBye), nullptr);

  GstBus* bus = gst_element_get_bus(pipeline);
  int result = 0;
  if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
    std::fprintf(stderr, "gst_rtcp_peer: the pipeline does not play\n");
    result = 1;
  }
  const gint64 deadline = g_get_monotonic_time() + seconds * G_USEC_PER_SEC;
  while (result == 0 && !byeReceived && g_get_monotonic_time() < deadline) {
    GstMessage* message = gst_bus_timed_pop_filtered(bus, 50 * GST_MSECOND, GST_MESSAGE_ERROR);
    if (message != nullptr) {
      GError* e = nullptr;
      gst_message_parse_error(message, &e, nullptr);
      std::fprintf(stderr, "gst_rtcp_peer: error: %s\n", e ? e->message : "?");
      g_clear_error(&e);
      gst_message_unref(message);
      result = 1;
    }
  }
  if (result == 0) PrintRemoteSources(session);

  // EOS lets rtpbin send its own BYE; a live pipeline gets 3 s to pass it through.
  gst_element_send_event(pipeline, gst_event_new_eos());
  if (GstMessage* end = gst_bus_timed_pop_filtered(
          bus, 3 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR))) {
    if (GST_MESSAGE_TYPE(end) == GST_MESSAGE_ERROR) {
      GError* e = nullptr;
      gst_message_parse_error(end, &e, nullptr);
      std::fprintf(stderr, "gst_rtcp_peer: error: %s\n", e ? e->message : "?");
      g_clear_error(&e);
      result = 1;
    }
    gst_message_unref(end);
  }
  if (ReportBusTrouble(bus)) result = 1;
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(bus);
  g_object_unref(session);
  gst_object_unref(rtpbin);
  gst_object_unref(pipeline);
  return result;
}
