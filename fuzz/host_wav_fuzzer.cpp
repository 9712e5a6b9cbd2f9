// Feeds arbitrary bytes to the host's WAV reader (tools/AudioClip, over platform/WavFile) as a
// file: the bytes live in a memory file opened by path, so the reader runs its real file code and
// nothing is left on disk.
//
// Checks: a clip is read only from a RIFF WAVE file of mono 16-bit PCM; it never holds more
// samples than the file has bytes for (whatever the "data" size field claims), and its samples are
// the file's bytes after the "data" header; written back, it reads back the same.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/FuzzCheck.h"
#include "fuzz/FuzzFiles.h"
#include "tools/AudioClip.h"

namespace {

tarsio::fuzz::MemoryFile* Input() {
  static tarsio::fuzz::MemoryFile file("tarsio-host-wav-in");
  return &file;
}

tarsio::fuzz::MemoryFile* Output() {
  static tarsio::fuzz::MemoryFile file("tarsio-host-wav-out");
  return &file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using tarsio::host::AudioClip;
  Input()->Assign(data, size);
  AudioClip clip;
  std::string error;
  if (!AudioClip::Load(Input()->Path(), &clip, &error)) {
    Check(!error.empty());
    return 0;
  }
  Check(size >= 44 && std::memcmp(data, "RIFF", 4) == 0 && std::memcmp(data + 8, "WAVE", 4) == 0);
  const size_t bytes = clip.Samples().size() * 2;
  Check(bytes + 44 <= size);
  // The samples are a run of the file's bytes (the data chunk's start is where they match).
  if (bytes > 0) {
    const void* found = ::memmem(data, size, clip.Samples().data(), bytes);
    Check(found != nullptr);
  }
  Check(clip.Seconds() >= 0.0);

  Check(clip.Save(Output()->Path(), &error));
  AudioClip again;
  Check(AudioClip::Load(Output()->Path(), &again, &error));
  Check(again.SampleRate() == clip.SampleRate() && again.Samples() == clip.Samples());
  return 0;
}
