// Helpers for the image and configuration-area tests: raw areas byte by byte,
// whole images from the image maker, the built-in profile contexts, and a
// prompt that records what it was asked to show.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "data/config_image.h"
#include "data/current_types.h"
#include "data/working_memory.h"
#include "image_maker.h"
#include "platform/prompt.h"

namespace quillon::testing {

using Bytes = std::vector<std::uint8_t>;

inline Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// A string record of `type` holding `text`.
inline Bytes StringRecord(std::uint8_t type, std::string_view text) {
  Bytes out = {static_cast<std::uint8_t>(4 + text.size()), type, static_cast<std::uint8_t>(2 + text.size()), 3};
  out.insert(out.end(), text.begin(), text.end());
  return out;
}

// An area: header (record number = number of records unless given; total
// length = all bytes of `records` unless given) followed by the records.
inline Bytes Area(std::uint8_t typeByte, std::uint8_t chipCode, std::initializer_list<Bytes> records,
                  int recordNumber = -1, int totalLength = -1) {
  Bytes body;
  for (const Bytes& record : records) body.insert(body.end(), record.begin(), record.end());
  const auto total = static_cast<std::uint16_t>(totalLength >= 0 ? totalLength : 6 + body.size());
  const auto number = static_cast<std::uint8_t>(recordNumber >= 0 ? recordNumber : records.size());
  const Bytes header = {typeByte, 0xA5, static_cast<std::uint8_t>(chipCode << 3),
                        static_cast<std::uint8_t>(total & 0xFF), static_cast<std::uint8_t>(total >> 8), number};
  return Cat({header, body});
}

// `size` bytes of 0xFF with `area` at `at`.
inline Bytes ImageWith(std::size_t size, std::size_t at, const Bytes& area) {
  Bytes image(size, 0xFF);
  std::copy(area.begin(), area.end(), image.begin() + static_cast<std::ptrdiff_t>(at));
  return image;
}

inline Bytes MakeImage(const mkimage::ImageSpec& spec) {
  std::string error;
  auto image = mkimage::MakeImage(spec, &error);
  if (!image) throw std::runtime_error(error);
  return *image;
}

inline AreaContext Tq7704Context() { return AreaContext{0xF000, 4096, 0xEFFE, "TQ7704", 0x20000}; }
inline AreaContext Tq7702Context() { return AreaContext{0xAE00, 512, 0xEFFE, "TQ7702", 0x20000}; }

class RecordingPrompt final : public Prompt {
 public:
  RecordingPrompt() { SetPrompt(this); }
  ~RecordingPrompt() override { SetPrompt(nullptr); }
  void Show(std::string_view text, std::string_view) override { shown.emplace_back(text); }
  // The queued answers first, then the preselected one.
  Answer Ask(std::string_view text, std::string_view, Answer preselected) override {
    asked.emplace_back(text);
    if (answers.empty()) return preselected;
    const Answer answer = answers.front();
    answers.erase(answers.begin());
    return answer;
  }
  std::vector<std::string> shown;
  std::vector<std::string> asked;
  std::vector<Answer> answers;
};

// Restores the process-wide memory type and working memory size.
class ProcessStateGuard {
 public:
  ProcessStateGuard() : memory_(CurrentMemoryType()), working_(WorkingMemorySize()) {}
  ~ProcessStateGuard() {
    SetCurrentMemoryType(memory_);
    SetWorkingMemorySize(working_);
  }

 private:
  MemoryType memory_;
  std::size_t working_;
};

}  // namespace quillon::testing
