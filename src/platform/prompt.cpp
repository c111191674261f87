#include "platform/prompt.h"

#include <atomic>
#include <cstdio>

namespace quillon {
namespace {

BatchPrompt& Batch() {
  static BatchPrompt prompt;
  return prompt;
}

std::atomic<Prompt*>& Installed() {
  static std::atomic<Prompt*> installed{nullptr};
  return installed;
}

const char* AnswerName(Answer answer) {
  switch (answer) {
    case Answer::Ok: return "OK";
    case Answer::Cancel: return "Cancel";
    case Answer::Yes: return "Yes";
    case Answer::No: return "No";
  }
  return "?";
}

}  // namespace

void BatchPrompt::Show(std::string_view text, std::string_view caption) {
  if (caption.empty()) {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(text.size()), text.data());
  } else {
    std::fprintf(stderr, "%.*s: %.*s\n", static_cast<int>(caption.size()), caption.data(),
                 static_cast<int>(text.size()), text.data());
  }
}

Answer BatchPrompt::Ask(std::string_view text, std::string_view caption, Answer preselected) {
  Show(text, caption);
  std::fprintf(stderr, "(answered %s)\n", AnswerName(preselected));
  return preselected;
}

Prompt& ThePrompt() {
  Prompt* prompt = Installed().load();
  return prompt != nullptr ? *prompt : Batch();
}

void SetPrompt(Prompt* prompt) { Installed().store(prompt); }

}  // namespace quillon
