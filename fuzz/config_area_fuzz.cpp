// Feeds arbitrary bytes to the configuration-area parser, the image checks and
// the serial-number rewrite. Short inputs are taken as an area at 0xF000 of a
// 64 KB image, longer ones as a whole image.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "data/config_image.h"
#include "data/config_reader.h"
#include "data/current_types.h"
#include "data/image_checks.h"
#include "data/serial_record.h"
#include "platform/prompt.h"
#include "platform/trace.h"

namespace {

using namespace quillon;

class SilentPrompt final : public Prompt {
 public:
  void Show(std::string_view, std::string_view) override {}
  Answer Ask(std::string_view, std::string_view, Answer preselected) override { return preselected; }
};

std::vector<std::uint8_t> ImageFrom(const std::uint8_t* data, std::size_t size) {
  if (size >= 0x1000) return std::vector<std::uint8_t>(data, data + size);
  std::vector<std::uint8_t> image(0x10000, 0xFF);
  std::copy(data, data + size, image.begin() + 0xF000);
  return image;
}

// A rewritten area must always read back cleanly with the new serial number.
void CheckRewrite(const AreaContext& context, const std::vector<std::uint8_t>& original, std::uint8_t type) {
  std::vector<std::uint8_t> image = original;
  if (!WriteSerialRecord(context, image, "FUZZ-0001", type, type == 3, nullptr)) {
    if (image != original) __builtin_trap();
    return;
  }
  CDescGlobal reader;
  reader.SetCopy(std::span<const std::uint8_t>(image).subspan(context.configAddress));
  int found = 0;
  WalkResult walk = WalkConfigArea(reader, [&](CDescriptor& record) {
    if (record.Type() != type) return true;
    auto* string = dynamic_cast<CDescString*>(&record);
    if (string == nullptr || string->Text() != (type == 3 ? "\x07" "FUZZ-0001" : "FUZZ-0001")) __builtin_trap();
    ++found;
    return true;
  });
  if (walk != WalkResult::Done || found == 0) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static SilentPrompt prompt;
  SetPrompt(&prompt);
  TraceShutdown();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::uint8_t> image = ImageFrom(data, size);
  const AreaContext contexts[] = {
      {0xF000, 4096, 0xEFFE, "TQ7704", 0x20000},
      {0xAE00, 512, 0xEFFE, "TQ7702", 0x20000},
      {0xF000, 4096, 0xEFFE, "TQ7704", 0x4000},
  };
  for (const AreaContext& context : contexts) {
    SetCurrentMemoryType(MemoryType::SpiFlash);
    ConfigAreaResults results;
    auto area = LocateConfigArea(context, image, results);
    if (area && *area > image.size()) __builtin_trap();
    std::size_t end = 0;
    if (FindSmallCacheEnd(context, image, &end) && end > image.size()) __builtin_trap();
    CFirmwareImage record;
    record.fileData = image;
    ImageCheckOptions options;
    options.keepHeldFullImage = true;
    options.accept8For9 = true;
    CheckImageBeforeWrite(record, 21, context, options, nullptr);
  }
  CheckRewrite(contexts[0], image, 1);
  CheckRewrite(contexts[0], image, 3);
  CheckRewrite(contexts[1], image, 3);
  return 0;
}
