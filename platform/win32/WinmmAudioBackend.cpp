#include "platform/win32/WinmmAudioBackend.h"

// clang-format off
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX  // libstdc++ on MinGW defines it already
#define NOMINMAX
#endif
#include <windows.h>
#include <mmsystem.h>
// clang-format on

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "platform/Thread.h"
#include "platform/WaveAudioTypes.h"

namespace tarsio {

namespace {

constexpr UINT kHeaderSize = sizeof(::WAVEHDR);

// One buffer of a stream's ring. The ring is never resized, so the header stays at one address
// for the device's life: the system holds it while it is queued.
struct RingBuffer {
  ::WAVEHDR header{};
  std::vector<char> bytes;
  uint32_t preparedBytes = 0;  // the length the header was prepared with (0: not prepared)
};

// The flags of a header, which the sound system changes on its own thread.
DWORD Flags(::WAVEHDR& header) { return std::atomic_ref<DWORD>(header.dwFlags).load(); }

bool InQueue(RingBuffer& buffer) { return (Flags(buffer.header) & WHDR_INQUEUE) != 0; }

// One open waveIn or waveOut device with its ring and its event. Shared by the stream and by a
// helper thread running one of its calls, so that an abandoned call keeps what the system still
// uses (handle, event, buffers) alive.
struct Device {
  Device(AudioDirection d, HANDLE e, uint32_t buffers) : direction(d), event(e), ring(buffers) {}
  ~Device() { ::CloseHandle(event); }
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  bool Capture() const { return direction == AudioDirection::kCapture; }

  // (Re)prepares a buffer that is not queued so that it holds bytes bytes.
  MMRESULT Prepare(RingBuffer& buffer, uint32_t bytes) {
    if (buffer.preparedBytes >= bytes && buffer.preparedBytes != 0) {
      buffer.header.dwBufferLength = bytes;
      return MMSYSERR_NOERROR;
    }
    if (buffer.preparedBytes != 0) {
      const MMRESULT result = Unprepare(buffer);
      if (result != MMSYSERR_NOERROR) return result;
    }
    if (buffer.bytes.size() < bytes) buffer.bytes.resize(bytes);
    buffer.header = ::WAVEHDR{};
    buffer.header.lpData = buffer.bytes.data();
    buffer.header.dwBufferLength = bytes;
    const MMRESULT result = Capture() ? ::waveInPrepareHeader(in, &buffer.header, kHeaderSize)
                                      : ::waveOutPrepareHeader(out, &buffer.header, kHeaderSize);
    if (result == MMSYSERR_NOERROR) buffer.preparedBytes = bytes;
    return result;
  }

  MMRESULT Unprepare(RingBuffer& buffer) {
    const MMRESULT result = Capture() ? ::waveInUnprepareHeader(in, &buffer.header, kHeaderSize)
                                      : ::waveOutUnprepareHeader(out, &buffer.header, kHeaderSize);
    if (result == MMSYSERR_NOERROR) buffer.preparedBytes = 0;
    return result;
  }

  // Returns every queued buffer (marked done); capture stops recording.
  static MMRESULT Reset(Device& device) {
    return device.Capture() ? ::waveInReset(device.in) : ::waveOutReset(device.out);
  }

  // Resets, unprepares the ring and closes the device. The handle counts as closed (open false)
  // from the start, so no volume or mixer call uses it meanwhile; a refused close reopens it.
  static MMRESULT Shut(Device& device) {
    {
      std::lock_guard<std::mutex> lk(device.controlMutex);
      if (!device.open) return MMSYSERR_NOERROR;
      device.open = false;
    }
    Reset(device);  // what counts is the close's answer
    for (RingBuffer& buffer : device.ring) {
      if (buffer.preparedBytes != 0) device.Unprepare(buffer);
    }
    const MMRESULT result =
        device.Capture() ? ::waveInClose(device.in) : ::waveOutClose(device.out);
    std::lock_guard<std::mutex> lk(device.controlMutex);
    if (result != MMSYSERR_NOERROR) {
      device.open = true;
    } else {
      device.in = nullptr;
      device.out = nullptr;
    }
    return result;
  }

  const AudioDirection direction;
  const HANDLE event;  // auto-reset, signalled by the system for every completed buffer
  HWAVEIN in = nullptr;
  HWAVEOUT out = nullptr;
  std::vector<RingBuffer> ring;
  std::mutex controlMutex;
  bool open = false;  // guarded by controlMutex
};

// A Reset or Close call running on a helper thread.
struct BoundedCall {
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  bool abandoned = false;
  MMRESULT result = MMSYSERR_NOERROR;
};

// A mixer control of a line, as mixerGetLineControlsA describes it.
struct MixerControlRef {
  bool present = false;
  DWORD id = 0;
  DWORD minimum = 0;
  DWORD maximum = 0;
};

struct MixerLineRef {
  AudioMixerLine line;
  MixerControlRef volume;
  MixerControlRef mute;
};

MixerControlRef FindControl(HMIXER mixer, DWORD lineId, DWORD controlType) {
  MIXERCONTROLA control{};
  control.cbStruct = sizeof(control);
  MIXERLINECONTROLSA query{};
  query.cbStruct = sizeof(query);
  query.dwLineID = lineId;
  query.dwControlType = controlType;
  query.cControls = 1;
  query.cbmxctrl = sizeof(control);
  query.pamxctrl = &control;
  if (::mixerGetLineControlsA(reinterpret_cast<HMIXEROBJ>(mixer), &query,
                              MIXER_OBJECTF_HMIXER | MIXER_GETLINECONTROLSF_ONEBYTYPE) !=
          MMSYSERR_NOERROR ||
      control.dwControlType != controlType) {
    return {};
  }
  return {true, control.dwControlID, control.Bounds.dwMinimum, control.Bounds.dwMaximum};
}

MixerLineRef DescribeLine(HMIXER mixer, const MIXERLINEA& line) {
  MixerLineRef ref;
  ref.volume = FindControl(mixer, line.dwLineID, MIXERCONTROL_CONTROLTYPE_VOLUME);
  ref.mute = FindControl(mixer, line.dwLineID, MIXERCONTROL_CONTROLTYPE_MUTE);
  ref.line.componentType = line.dwComponentType;
  ref.line.hasVolume = ref.volume.present;
  ref.line.hasMute = ref.mute.present;
  ref.line.name.assign(line.szName, ::strnlen(line.szName, sizeof(line.szName)));
  return ref;
}

class WinmmStream final : public AudioBackend::Stream {
 public:
  WinmmStream(std::shared_ptr<Device> device, const WAVEFORMATEX& format, HANDLE wake)
      : device_(std::move(device)), format_(format), wake_(wake) {
    bytesPerSecond_ = format.nAvgBytesPerSec != 0
                          ? format.nAvgBytesPerSec
                          : format.nSamplesPerSec * std::max<uint32_t>(format.nBlockAlign, 1);
    if (bytesPerSecond_ == 0) bytesPerSecond_ = 16000;
  }

  ~WinmmStream() override {
    Close();
    ::CloseHandle(wake_);
  }

  uint32_t Read(uint8_t* data, uint32_t bytes, uint32_t* got) override {
    *got = 0;
    if (interrupted_.load()) return mmsys::kError;
    std::unique_lock<std::mutex> lk(lock_);
    if (!attached_) return wedged_ ? mmsys::kError : mmsys::kInvalidHandle;
    if (bytes == 0) return mmsys::kNoError;
    Device& device = *device_;
    const uint64_t generation = generation_;
    if (!started_) {
      const MMRESULT result = StartCapture(bytes);
      if (result != MMSYSERR_NOERROR) return result;
    }
    while (*got < bytes) {
      RingBuffer& buffer = device.ring[next_];
      const uint32_t result = WaitUntil(lk, generation, BufferMs(buffer.header.dwBufferLength),
                                        [&buffer] { return !InQueue(buffer); });
      if (result != mmsys::kNoError) return AsError(result);
      const uint32_t recorded =
          std::min<uint32_t>(buffer.header.dwBytesRecorded, buffer.header.dwBufferLength);
      if (readOffset_ < recorded) {
        const uint32_t n = std::min(bytes - *got, recorded - readOffset_);
        std::memcpy(data + *got, buffer.bytes.data() + readOffset_, n);
        *got += n;
        readOffset_ += n;
      }
      if (readOffset_ >= recorded) {
        // Emptied: back to the device, and on to the next buffer in recording order.
        readOffset_ = 0;
        buffer.header.dwBytesRecorded = 0;
        const MMRESULT added = ::waveInAddBuffer(device.in, &buffer.header, kHeaderSize);
        if (added != MMSYSERR_NOERROR) {
          started_ = false;  // the next Read starts the device afresh
          return added;
        }
        next_ = (next_ + 1) % static_cast<uint32_t>(device.ring.size());
      }
    }
    return mmsys::kNoError;
  }

  uint32_t Write(const uint8_t* data, uint32_t bytes) override {
    if (interrupted_.load()) return mmsys::kError;
    std::unique_lock<std::mutex> lk(lock_);
    if (!attached_) return wedged_ ? mmsys::kError : mmsys::kInvalidHandle;
    if (bytes == 0) return mmsys::kNoError;
    Device& device = *device_;
    const uint64_t generation = generation_;
    RingBuffer* buffer = &device.ring[next_];
    // Normally free already: the previous Write returned once it was.
    uint32_t result = WaitUntil(lk, generation, BufferMs(buffer->header.dwBufferLength),
                                [buffer] { return !InQueue(*buffer); });
    if (result != mmsys::kNoError) return AsError(result);
    MMRESULT queued = device.Prepare(*buffer, bytes);
    if (queued != MMSYSERR_NOERROR) return queued;
    std::memcpy(buffer->bytes.data(), data, bytes);
    queued = ::waveOutWrite(device.out, &buffer->header, kHeaderSize);
    if (queued != MMSYSERR_NOERROR) {
      if (queued == MMSYSERR_NODRIVER) gone_.store(true);
      return queued;
    }
    next_ = (next_ + 1) % static_cast<uint32_t>(device.ring.size());
    buffer = &device.ring[next_];
    result = WaitUntil(lk, generation, BufferMs(buffer->header.dwBufferLength),
                       [buffer] { return !InQueue(*buffer); });
    if (attached_) latencyMs_.store(QueuedMs());  // else the ring is being closed
    // The buffer is queued whatever ended the wait, unless the device stopped answering.
    return result == kStalled ? mmsys::kError : mmsys::kNoError;
  }

  uint32_t CheckQueue() override { return gone_.load() ? mmsys::kNoDriver : mmsys::kNoError; }

  uint32_t OutputLatencyMs() override { return latencyMs_.load(); }

  void SetInterrupted(bool interrupted) override {
    interrupted_.store(interrupted);
    UpdateWake();
  }

  uint32_t Reset() override {
    {
      std::lock_guard<std::mutex> lk(lock_);
      if (!attached_) return wedged_ ? mmsys::kNoError : mmsys::kInvalidHandle;
      ++generation_;  // a Read/Write waiting now returns
    }
    MMRESULT result = MMSYSERR_NOERROR;
    if (!RunBounded(&Device::Reset, &result)) return mmsys::kNoError;  // abandoned: gone
    std::lock_guard<std::mutex> lk(lock_);
    ++generation_;
    started_ = false;
    next_ = 0;
    readOffset_ = 0;
    latencyMs_.store(0);
    return result;
  }

  uint32_t Close() override {
    CloseMixer();
    {
      std::lock_guard<std::mutex> lk(lock_);
      if (!attached_) return mmsys::kNoError;
      attached_ = false;
      closing_.store(true);
    }
    UpdateWake();  // a Read/Write waiting now returns
    MMRESULT result = MMSYSERR_NOERROR;
    if (!RunBounded(&Device::Shut, &result)) return mmsys::kNoError;  // abandoned: gone
    if (result != MMSYSERR_NOERROR) {
      {
        std::lock_guard<std::mutex> lk(lock_);
        attached_ = true;
      }
      closing_.store(false);
      UpdateWake();
      return result;
    }
    latencyMs_.store(0);
    return mmsys::kNoError;
  }

  uint32_t SetVolume(uint32_t level) override {
    if (device_->Capture()) return mmsys::kNotSupported;
    std::lock_guard<std::mutex> lk(device_->controlMutex);
    if (!device_->open) return mmsys::kInvalidHandle;
    return ::waveOutSetVolume(device_->out, level);
  }

  uint32_t GetVolume(uint32_t* level) override {
    if (device_->Capture()) return mmsys::kNotSupported;
    std::lock_guard<std::mutex> lk(device_->controlMutex);
    if (!device_->open) return mmsys::kInvalidHandle;
    DWORD value = 0;
    const MMRESULT result = ::waveOutGetVolume(device_->out, &value);
    if (result != MMSYSERR_NOERROR) return result;
    // A mono stream has one level, the low word (Wine leaves the high word 0): both channels.
    if (format_.nChannels == 1) value = (value & 0xFFFF) | (value & 0xFFFF) << 16;
    *level = value;
    return mmsys::kNoError;
  }

  std::vector<AudioMixerLine> MixerLines() override {
    std::lock_guard<std::mutex> lk(mixerLock_);
    std::vector<AudioMixerLine> lines;
    if (!LoadMixer()) return lines;
    for (const MixerLineRef& ref : mixerLines_) lines.push_back(ref.line);
    return lines;
  }

  uint32_t GetMixerValue(uint32_t line, uint32_t controlType, uint32_t* value) override {
    std::lock_guard<std::mutex> lk(mixerLock_);
    const MixerControlRef* control = nullptr;
    if (const uint32_t refused = FindMixerControl(line, controlType, &control)) return refused;
    MIXERCONTROLDETAILS_UNSIGNED detail{};  // same layout as ..._BOOLEAN: one 32-bit value
    MIXERCONTROLDETAILS details = Details(*control, &detail);
    const MMRESULT result =
        ::mixerGetControlDetailsA(reinterpret_cast<HMIXEROBJ>(mixer_), &details,
                                  MIXER_OBJECTF_HMIXER | MIXER_GETCONTROLDETAILSF_VALUE);
    if (result != MMSYSERR_NOERROR) return result;
    if (controlType == mixer::kControlMute) {
      *value = detail.dwValue != 0 ? 1 : 0;
    } else {
      const uint64_t range = control->maximum - control->minimum;
      const uint64_t at =
          std::clamp<DWORD>(detail.dwValue, control->minimum, control->maximum) - control->minimum;
      *value = range == 0 ? 0 : static_cast<uint32_t>((at * 65535 + range / 2) / range);
    }
    return mmsys::kNoError;
  }

  uint32_t SetMixerValue(uint32_t line, uint32_t controlType, uint32_t value) override {
    std::lock_guard<std::mutex> lk(mixerLock_);
    const MixerControlRef* control = nullptr;
    if (const uint32_t refused = FindMixerControl(line, controlType, &control)) return refused;
    MIXERCONTROLDETAILS_UNSIGNED detail{};
    if (controlType == mixer::kControlMute) {
      detail.dwValue = value != 0 ? 1 : 0;
    } else {
      const uint64_t range = control->maximum - control->minimum;
      detail.dwValue =
          control->minimum +
          static_cast<DWORD>((std::min<uint64_t>(value, 65535) * range + 32767) / 65535);
    }
    MIXERCONTROLDETAILS details = Details(*control, &detail);
    return ::mixerSetControlDetails(reinterpret_cast<HMIXEROBJ>(mixer_), &details,
                                    MIXER_OBJECTF_HMIXER | MIXER_SETCONTROLDETAILSF_VALUE);
  }

 private:
  // How a wait for the device ended, besides success (0) and the mmsys error codes.
  static constexpr uint32_t kStalled = 0xFFFF0001u;

  static uint32_t AsError(uint32_t waitResult) {
    return waitResult == kStalled ? mmsys::kError : waitResult;
  }

  uint32_t BufferMs(uint32_t bytes) const {
    return static_cast<uint32_t>((uint64_t{bytes} * 1000 + bytesPerSecond_ - 1) / bytesPerSecond_);
  }

  // Audio queued in the device (lock_ held).
  uint32_t QueuedMs() {
    uint32_t bytes = 0;
    for (RingBuffer& buffer : device_->ring) {
      if (InQueue(buffer)) bytes += buffer.header.dwBufferLength;
    }
    return BufferMs(bytes);
  }

  // The wake-up event is set while the stream is interrupted or closing.
  void UpdateWake() {
    std::lock_guard<std::mutex> lk(wakeMutex_);
    if (interrupted_.load() || closing_.load()) {
      ::SetEvent(wake_);
    } else {
      ::ResetEvent(wake_);
    }
  }

  // Waits (lk held on entry and exit, released while waiting) until ready() holds. Returns
  // MMSYSERR_NOERROR, MMSYSERR_ERROR when interrupted or overtaken by a Reset, the close's code
  // when the stream was closed meanwhile, or kStalled when no buffer completed within kStallMs
  // plus bufferMs.
  template <typename Ready>
  uint32_t WaitUntil(std::unique_lock<std::mutex>& lk, uint64_t generation, uint32_t bufferMs,
                     Ready ready) {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(WinmmAudioBackend::kStallMs + bufferMs);
    const HANDLE handles[2] = {device_->event, wake_};
    for (;;) {
      if (!attached_) return wedged_ ? mmsys::kError : mmsys::kInvalidHandle;
      if (interrupted_.load() || generation_ != generation) return mmsys::kError;
      if (ready()) return mmsys::kNoError;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) return kStalled;
      lk.unlock();
      ::WaitForMultipleObjects(
          2, handles, FALSE,
          static_cast<DWORD>(std::min<int64_t>(left, WinmmAudioBackend::kPollMs)));
      lk.lock();
    }
  }

  // Queues every buffer, sized for reads of bytes bytes (at most kMaxCaptureBufferMs, whole
  // frames), and starts recording (lock_ held).
  MMRESULT StartCapture(uint32_t bytes) {
    Device& device = *device_;
    const uint32_t frame = std::max<uint32_t>(format_.nBlockAlign, 1);
    const uint32_t longest =
        std::max<uint32_t>(frame, static_cast<uint32_t>(uint64_t{bytesPerSecond_} *
                                                        WinmmAudioBackend::kMaxCaptureBufferMs /
                                                        1000 / frame * frame));
    const uint32_t size = std::max(frame, std::min(bytes, longest) / frame * frame);
    ::waveInReset(device.in);  // buffers a failed start left queued come back
    MMRESULT result = MMSYSERR_NOERROR;
    for (RingBuffer& buffer : device.ring) {
      if (buffer.preparedBytes != size && buffer.preparedBytes != 0) {
        result = device.Unprepare(buffer);
      }
      if (result == MMSYSERR_NOERROR) result = device.Prepare(buffer, size);
      if (result == MMSYSERR_NOERROR) {
        buffer.header.dwBytesRecorded = 0;
        result = ::waveInAddBuffer(device.in, &buffer.header, kHeaderSize);
      }
      if (result != MMSYSERR_NOERROR) break;
    }
    if (result == MMSYSERR_NOERROR) result = ::waveInStart(device.in);
    if (result != MMSYSERR_NOERROR) {
      ::waveInReset(device.in);
      if (result == MMSYSERR_NODRIVER) gone_.store(true);
      return result;
    }
    started_ = true;
    next_ = 0;
    readOffset_ = 0;
    return MMSYSERR_NOERROR;
  }

  // Runs op on a helper thread and waits for it at most kControlLimitMs. False when the call was
  // abandoned: the stream has let go of the device first (so the helper's close never overlaps a
  // Read/Write) and the helper closes the device once the call returns.
  bool RunBounded(MMRESULT (*op)(Device&), MMRESULT* result) {
    auto call = std::make_shared<BoundedCall>();
    std::shared_ptr<Device> device = device_;
    std::unique_ptr<Thread> helper = Thread::CreateSuspended([call, device, op] {
      const MMRESULT r = op(*device);
      std::unique_lock<std::mutex> lk(call->mutex);
      call->result = r;
      call->done = true;
      const bool abandoned = call->abandoned;
      call->cv.notify_all();
      lk.unlock();
      if (abandoned) Device::Shut(*device);
      return 0u;
    });
    if (!helper || helper->Resume() == -1) {
      // No thread to spare: make the call here, unbounded, rather than not at all.
      *result = op(*device);
      return true;
    }
    helper.reset();
    std::unique_lock<std::mutex> lk(call->mutex);
    if (call->cv.wait_for(lk, std::chrono::milliseconds(WinmmAudioBackend::kControlLimitMs),
                          [&call] { return call->done; })) {
      *result = call->result;
      return true;
    }
    lk.unlock();
    bool wasAttached = false;
    {
      std::lock_guard<std::mutex> streamLock(lock_);
      wasAttached = attached_;
      attached_ = false;
      wedged_ = true;
    }
    lk.lock();
    if (call->done) {
      // It returned after all, before it was marked abandoned: keep the device.
      std::lock_guard<std::mutex> streamLock(lock_);
      attached_ = wasAttached;
      wedged_ = false;
      *result = call->result;
      return true;
    }
    call->abandoned = true;
    gone_.store(true);
    return false;
  }

  // mixerLock_ held. Opens the capture device's mixer and reads its lines once; true when there
  // are lines.
  bool LoadMixer() {
    if (mixerLoaded_) return !mixerLines_.empty();
    mixerLoaded_ = true;
    if (!device_->Capture()) return false;
    HMIXER mixer = nullptr;
    {
      std::lock_guard<std::mutex> lk(device_->controlMutex);
      if (!device_->open) return false;
      MMRESULT result =
          ::mixerOpen(&mixer, static_cast<UINT>(reinterpret_cast<UINT_PTR>(device_->in)), 0, 0,
                      MIXER_OBJECTF_HWAVEIN);
      UINT id = 0;
      if (result != MMSYSERR_NOERROR && ::waveInGetID(device_->in, &id) == MMSYSERR_NOERROR &&
          id != WAVE_MAPPER) {
        result = ::mixerOpen(&mixer, id, 0, 0, MIXER_OBJECTF_WAVEIN);
      }
      if (result != MMSYSERR_NOERROR) return false;
    }
    MIXERLINEA destination{};
    destination.cbStruct = sizeof(destination);
    destination.dwComponentType = MIXERLINE_COMPONENTTYPE_DST_WAVEIN;
    if (::mixerGetLineInfoA(reinterpret_cast<HMIXEROBJ>(mixer), &destination,
                            MIXER_OBJECTF_HMIXER | MIXER_GETLINEINFOF_COMPONENTTYPE) !=
        MMSYSERR_NOERROR) {
      ::mixerClose(mixer);
      return false;
    }
    mixerLines_.push_back(DescribeLine(mixer, destination));
    for (DWORD source = 0; source < destination.cConnections; ++source) {
      MIXERLINEA line{};
      line.cbStruct = sizeof(line);
      line.dwDestination = destination.dwDestination;
      line.dwSource = source;
      if (::mixerGetLineInfoA(reinterpret_cast<HMIXEROBJ>(mixer), &line,
                              MIXER_OBJECTF_HMIXER | MIXER_GETLINEINFOF_SOURCE) ==
          MMSYSERR_NOERROR) {
        mixerLines_.push_back(DescribeLine(mixer, line));
      }
    }
    mixer_ = mixer;
    return true;
  }

  void CloseMixer() {
    std::lock_guard<std::mutex> lk(mixerLock_);
    if (mixer_ != nullptr) ::mixerClose(mixer_);
    mixer_ = nullptr;
    mixerLines_.clear();
    mixerLoaded_ = true;  // a closed stream has no mixer
  }

  // mixerLock_ held: the control of a line, or why there is none.
  uint32_t FindMixerControl(uint32_t line, uint32_t controlType, const MixerControlRef** control) {
    if (!LoadMixer() || line >= mixerLines_.size()) return mmsys::kMixerInvalidLine;
    const MixerLineRef& ref = mixerLines_[line];
    if (controlType == mixer::kControlVolume && ref.volume.present) {
      *control = &ref.volume;
    } else if (controlType == mixer::kControlMute && ref.mute.present) {
      *control = &ref.mute;
    } else {
      return mmsys::kMixerInvalidControl;
    }
    return mmsys::kNoError;
  }

  static MIXERCONTROLDETAILS Details(const MixerControlRef& control,
                                     MIXERCONTROLDETAILS_UNSIGNED* detail) {
    MIXERCONTROLDETAILS details{};
    details.cbStruct = sizeof(details);
    details.dwControlID = control.id;
    details.cChannels = 1;  // one value for every channel
    details.cbDetails = sizeof(*detail);
    details.paDetails = detail;
    return details;
  }

  const std::shared_ptr<Device> device_;  // the same device for the stream's life
  const WAVEFORMATEX format_;
  const HANDLE wake_;  // manual reset: set while interrupted or closing
  uint32_t bytesPerSecond_ = 0;
  std::atomic<bool> interrupted_{false};
  std::atomic<bool> closing_{false};
  std::atomic<bool> gone_{false};  // the device is unplugged or abandoned
  std::atomic<uint32_t> latencyMs_{0};
  std::mutex wakeMutex_;  // orders the wake-up event's changes

  std::mutex lock_;
  bool attached_ = true;     // guarded by lock_: false once closed or abandoned
  bool wedged_ = false;      // guarded by lock_: a Reset or Close was abandoned
  uint64_t generation_ = 0;  // guarded by lock_: changed by Reset
  bool started_ = false;     // guarded by lock_: capture buffers queued and recording
  uint32_t next_ = 0;        // guarded by lock_: the next buffer to fill (playback) or read
  uint32_t readOffset_ = 0;  // guarded by lock_: bytes of ring[next_] already read (capture)

  std::mutex mixerLock_;
  HMIXER mixer_ = nullptr;                // guarded by mixerLock_
  bool mixerLoaded_ = false;              // guarded by mixerLock_
  std::vector<MixerLineRef> mixerLines_;  // guarded by mixerLock_: the destination first
};

std::string CapsName(AudioDirection direction, UINT id) {
  char name[MAXPNAMELEN] = {};
  if (direction == AudioDirection::kCapture) {
    WAVEINCAPSA caps{};
    if (::waveInGetDevCapsA(id, &caps, sizeof(caps)) == MMSYSERR_NOERROR) {
      std::memcpy(name, caps.szPname, sizeof(name));
    }
  } else {
    WAVEOUTCAPSA caps{};
    if (::waveOutGetDevCapsA(id, &caps, sizeof(caps)) == MMSYSERR_NOERROR) {
      std::memcpy(name, caps.szPname, sizeof(name));
    }
  }
  std::string text(name, ::strnlen(name, sizeof(name)));
  return text.empty() ? "device " + std::to_string(id) : text;
}

}  // namespace

std::vector<AudioDeviceInfo> WinmmAudioBackend::Devices(AudioDirection direction) {
  const UINT count =
      direction == AudioDirection::kCapture ? ::waveInGetNumDevs() : ::waveOutGetNumDevs();
  std::vector<AudioDeviceInfo> devices;
  for (UINT id = 0; id < count; ++id) {
    std::string name = CapsName(direction, id);
    devices.push_back({name, name});
  }
  return devices;
}

uint32_t WinmmAudioBackend::Open(AudioDirection direction, int32_t deviceId,
                                 const WAVEFORMATEX& format, std::unique_ptr<Stream>* out) {
  return OpenTimed(direction, deviceId, format, StreamTiming{}, out);
}

uint32_t WinmmAudioBackend::OpenTimed(AudioDirection direction, int32_t deviceId,
                                      const WAVEFORMATEX& format, const StreamTiming& timing,
                                      std::unique_ptr<Stream>* out) {
  if (out == nullptr) return mmsys::kInvalidParam;
  if (deviceId < wave::kMapper) return mmsys::kBadDeviceId;
  const UINT id = deviceId == wave::kMapper ? WAVE_MAPPER : static_cast<UINT>(deviceId);
  ::WAVEFORMATEX wanted{};
  wanted.wFormatTag = format.wFormatTag;
  wanted.nChannels = format.nChannels;
  wanted.nSamplesPerSec = format.nSamplesPerSec;
  wanted.nAvgBytesPerSec = format.nAvgBytesPerSec;
  wanted.nBlockAlign = format.nBlockAlign;
  wanted.wBitsPerSample = format.wBitsPerSample;
  wanted.cbSize = 0;
  const uint32_t buffers =
      timing.periods == 0 ? kBuffers : std::clamp(timing.periods, kMinBuffers, kMaxBuffers);

  const HANDLE event = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (event == nullptr) return mmsys::kNoMemory;
  auto device = std::make_shared<Device>(direction, event, buffers);  // owns the event now
  const HANDLE wake = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (wake == nullptr) return mmsys::kNoMemory;
  const DWORD_PTR callback = reinterpret_cast<DWORD_PTR>(event);
  const MMRESULT result =
      direction == AudioDirection::kCapture
          ? ::waveInOpen(&device->in, id, &wanted, callback, 0, CALLBACK_EVENT)
          : ::waveOutOpen(&device->out, id, &wanted, callback, 0, CALLBACK_EVENT);
  if (result != MMSYSERR_NOERROR) {
    ::CloseHandle(wake);
    return result;
  }
  device->open = true;
  *out = std::make_unique<WinmmStream>(std::move(device), format, wake);
  return mmsys::kNoError;
}

}  // namespace tarsio
