// The batch mode's progress on stderr: rewritten in place on a terminal, one
// line per 10 % elsewhere, and a line left open ends before other output.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/progress_line.h"

namespace quillon {
namespace {

// Feeds the values to a ProgressLine writing into memory; `breakAfter` calls Break() after that many.
std::string Written(bool terminal, const std::vector<std::uint32_t>& values, std::size_t breakAfter = SIZE_MAX,
                    const std::string& chip = {}) {
  char* data = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&data, &size);
  {
    ProgressLine line(out, terminal, chip);
    for (std::size_t i = 0; i < values.size(); ++i) {
      line.Show(values[i]);
      if (i + 1 == breakAfter) line.Break();
    }
  }
  std::fclose(out);
  std::string text(data, size);
  std::free(data);
  return text;
}

TEST(ProgressLineTest, TerminalAndLog) {
  struct Case {
    const char* what;
    bool terminal;
    std::vector<std::uint32_t> values;
    std::size_t breakAfter;
    std::string expected;
    std::string chip = {};
  };
  const Case cases[] = {
      // The steps a flash write posts.
      {"log: one line per tenth reached", false, {5, 5, 12, 35, 36, 65, 95, 100}, SIZE_MAX,
       "Progress: 10%\nProgress: 30%\nProgress: 60%\nProgress: 90%\nProgress: 100%\n"},
      {"log: a second operation starts again", false, {50, 100, 20}, SIZE_MAX,
       "Progress: 50%\nProgress: 100%\nProgress: 20%\n"},
      {"terminal: rewritten, ended at 100", true, {5, 5, 35, 100}, SIZE_MAX,
       "\rProgress:   5%\rProgress:  35%\rProgress: 100%\n"},
      {"terminal: broken before other output", true, {5, 35, 40}, 2, "\rProgress:   5%\rProgress:  35%\n\rProgress:  40%"},
      {"terminal: past 100 shows 100", true, {250}, SIZE_MAX, "\rProgress: 100%\n"},
      {"gang worker: its chip in every line", false, {5, 35, 100}, SIZE_MAX,
       "Progress 1-2: 30%\nProgress 1-2: 100%\n", "1-2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Written(c.terminal, c.values, c.breakAfter, c.chip), c.expected);
  }
}

}  // namespace
}  // namespace quillon
