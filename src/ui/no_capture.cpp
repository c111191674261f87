// A build without ALSA: no capture devices, so the keep-awake thread logs its
// pick failure and ends.
#include "ui/keep_awake.h"

namespace quillon {
namespace {

class NoCapture final : public CaptureSystem {
 public:
  bool ListCaptureDevices(std::vector<CaptureHint>& out, std::string&) override {
    out.clear();
    return true;
  }
  std::unique_ptr<CaptureStream> Open(const std::string&, std::string& error) override {
    error = "no audio system in this build";
    return nullptr;
  }
};

}  // namespace

std::unique_ptr<CaptureSystem> MakeHostCaptureSystem() { return std::make_unique<NoCapture>(); }

}  // namespace quillon
