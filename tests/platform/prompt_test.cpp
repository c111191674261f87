#include "platform/prompt.h"

#include <gtest/gtest.h>

namespace quillon {
namespace {

TEST(PromptTest, BatchPromptWritesToStderrAndTakesThePreselectedAnswer) {
  ::testing::internal::CaptureStderr();
  ThePrompt().Show("VidPidList.ini does not exist", "");
  Answer answer = ThePrompt().Ask("Same version. Download anyway?", "Quillon", Answer::No);
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(answer, Answer::No);
  EXPECT_EQ(err, "VidPidList.ini does not exist\nQuillon: Same version. Download anyway?\n(answered No)\n");
}

TEST(PromptTest, InstalledPromptTakesOver) {
  struct Always final : Prompt {
    void Show(std::string_view, std::string_view) override { ++shown; }
    Answer Ask(std::string_view, std::string_view, Answer) override { return Answer::Yes; }
    int shown = 0;
  } always;
  SetPrompt(&always);
  ThePrompt().Show("x", "y");
  EXPECT_EQ(ThePrompt().Ask("q", "c", Answer::No), Answer::Yes);
  SetPrompt(nullptr);
  EXPECT_EQ(always.shown, 1);
  EXPECT_NE(&ThePrompt(), &always);
}

}  // namespace
}  // namespace quillon
