// The keep-awake capture on ALSA: PCM hints of the capture direction in the
// order ALSA gives them, a non-blocking open in the device's native format.
#include <alsa/asoundlib.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "ui/keep_awake.h"

namespace quillon {
namespace {

constexpr unsigned kLatencyUs = 20000;

std::string HintField(void* hint, const char* field) {
  char* value = snd_device_name_get_hint(hint, field);
  if (value == nullptr) return {};
  std::string text = value;
  std::free(value);
  return text;
}

class AlsaStream final : public CaptureStream {
 public:
  explicit AlsaStream(snd_pcm_t* pcm, std::size_t frameBytes, std::size_t frames)
      : pcm_(pcm), frameBytes_(frameBytes), buffer_(frameBytes * frames) {}
  ~AlsaStream() override { snd_pcm_close(pcm_); }

  bool Start(std::string& error) override {
    int rc = snd_pcm_prepare(pcm_);
    if (rc == 0) rc = snd_pcm_start(pcm_);
    if (rc < 0) error = snd_strerror(rc);
    return rc == 0;
  }
  bool Drain(std::string& error) override {
    const snd_pcm_uframes_t room = buffer_.size() / frameBytes_;
    const snd_pcm_sframes_t got = snd_pcm_readi(pcm_, buffer_.data(), room);
    if (got >= 0 || got == -EAGAIN || got == -EPIPE) return true;  // nothing yet, or an overrun: both fine here
    error = snd_strerror(static_cast<int>(got));
    return false;
  }
  bool Stop(std::string& error) override {
    const int rc = snd_pcm_drop(pcm_);
    if (rc < 0) error = snd_strerror(rc);
    return rc == 0;
  }

 private:
  snd_pcm_t* pcm_;
  std::size_t frameBytes_;
  std::vector<std::uint8_t> buffer_;
};

class AlsaCapture final : public CaptureSystem {
 public:
  bool ListCaptureDevices(std::vector<CaptureHint>& out, std::string& error) override {
    out.clear();
    void** hints = nullptr;
    const int rc = snd_device_name_hint(-1, "pcm", &hints);
    if (rc < 0) {
      error = snd_strerror(rc);
      return false;
    }
    for (void** hint = hints; *hint != nullptr; ++hint) {
      const std::string io = HintField(*hint, "IOID");
      if (!io.empty() && io != "Input") continue;  // playback only
      CaptureHint entry{HintField(*hint, "NAME"), HintField(*hint, "DESC")};
      for (char& c : entry.description) {
        if (c == '\n') c = ' ';
      }
      if (!entry.name.empty()) out.push_back(std::move(entry));
    }
    snd_device_name_free_hint(hints);
    return true;
  }

  std::unique_ptr<CaptureStream> Open(const std::string& name, std::string& error) override {
    snd_pcm_t* pcm = nullptr;
    int rc = snd_pcm_open(&pcm, name.c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK);
    if (rc < 0) {
      error = snd_strerror(rc);
      return nullptr;
    }
    snd_pcm_hw_params_t* params = nullptr;
    snd_pcm_hw_params_alloca(&params);
    snd_pcm_format_t format = SND_PCM_FORMAT_UNKNOWN;
    unsigned channels = 0;
    unsigned rate = 0;
    unsigned latency = kLatencyUs;
    // The first format, channel count and rate the device offers: its own, no conversion.
    if ((rc = snd_pcm_hw_params_any(pcm, params)) < 0 ||
        (rc = snd_pcm_hw_params_set_access(pcm, params, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0 ||
        (rc = snd_pcm_hw_params_set_format_first(pcm, params, &format)) < 0 ||
        (rc = snd_pcm_hw_params_set_channels_first(pcm, params, &channels)) < 0 ||
        (rc = snd_pcm_hw_params_set_rate_first(pcm, params, &rate, nullptr)) < 0 ||
        (rc = snd_pcm_hw_params_set_buffer_time_near(pcm, params, &latency, nullptr)) < 0 ||
        (rc = snd_pcm_hw_params(pcm, params)) < 0) {
      error = snd_strerror(rc);
      snd_pcm_close(pcm);
      return nullptr;
    }
    const ssize_t frameBytes = snd_pcm_frames_to_bytes(pcm, 1);
    if (frameBytes <= 0) {
      error = "no frame size";
      snd_pcm_close(pcm);
      return nullptr;
    }
    // 50 ms of audio.
    return std::make_unique<AlsaStream>(pcm, static_cast<std::size_t>(frameBytes), std::max(1u, rate / 20));
  }
};

}  // namespace

std::unique_ptr<CaptureSystem> MakeHostCaptureSystem() { return std::make_unique<AlsaCapture>(); }

}  // namespace quillon
