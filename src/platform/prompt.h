// Message boxes and questions to the operator. The window installs a dialog
// prompt; without one, texts go to stderr and a question takes its preselected
// answer, so that a scripted run never hangs.
#pragma once

#include <string_view>

namespace quillon {

enum class Answer { Ok, Cancel, Yes, No };

class Prompt {
 public:
  virtual ~Prompt() = default;
  virtual void Show(std::string_view text, std::string_view caption) = 0;
  virtual Answer Ask(std::string_view text, std::string_view caption, Answer preselected) = 0;
};

// Writes to stderr and answers with the preselected answer.
class BatchPrompt final : public Prompt {
 public:
  void Show(std::string_view text, std::string_view caption) override;
  Answer Ask(std::string_view text, std::string_view caption, Answer preselected) override;
};

// The process's prompt: the batch prompt unless another one is installed.
Prompt& ThePrompt();
// Installs `prompt` (nullptr restores the batch prompt); the caller keeps ownership.
void SetPrompt(Prompt* prompt);

}  // namespace quillon
