// The host's log object: where the media engine writes its error lines and its statistics report.
//
// The host implements the five operations and passes its object to GetRTPInterface. The engine
// writes every entry as one bracketed sequence of calls:
//   plain entry:       Lock, Write(text), EndLine, Unlock
//   entry with number: Lock, Write(label), Write(decimal), MarkEntry, EndLine, Unlock
//   multi-line report: Lock, then lines of Write calls each closed by EndLine, Unlock
// The engine ignores every result. Texts passed to Write are valid only during the call: copy
// what you keep.
//
// Thread safety: the engine calls the host log from the host's own threads, from its log-writer
// thread (which writes the entries of the media chains: network, codecs, jitter buffers, filters;
// it holds no engine lock) and from the sound devices' threads, at any time after GetRTPInterface
// returns, without a lock of its own around an entry. Lock/Unlock bracket each entry so that the
// host can serialise entries; a host that serialises must make Lock re-entrant or cheap.
//
// Lifetime: the engine never frees, copies or reference-counts the object. It must outlive every
// media terminal that uses it (or be replaced by a later GetRTPInterface call).
#pragma once

#include <cstdint>

namespace tarsio {

class HostLog {
 public:
  virtual int32_t Lock() = 0;
  virtual int32_t Unlock() = 0;
  virtual int32_t MarkEntry() = 0;
  virtual int32_t EndLine() = 0;
  virtual int32_t Write(const char* text) = 0;

 protected:
  ~HostLog() = default;
};

}  // namespace tarsio
