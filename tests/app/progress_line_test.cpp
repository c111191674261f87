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

namespace quillon {
namespace {

// The station panel reads back what a gang worker writes: every line the
// writer makes for a chip parses to its value, and only that chip's lines do.
TEST(ProgressLineTest, GangLinesParseBackForTheirChipOnly) {
  std::vector<std::uint32_t> values;
  for (std::uint32_t value = 0; value <= 100; ++value) values.push_back(value);
  const std::string written = Written(false, values, SIZE_MAX, "1-1");
  int expected = 0;
  for (std::size_t at = 0, end = written.find('\n'); end != std::string::npos; at = end + 1, end = written.find('\n', at)) {
    expected += 10;
    EXPECT_EQ(GangProgressPercent(written.substr(at, end - at), "1-1"), expected);
  }
  EXPECT_EQ(expected, 100);
  const struct {
    const char* line;
    const char* location;
  } refused[] = {
      {"Progress 1-1: 40%", "1-10"},   // another chip whose location starts alike
      {"Progress 1-10: 40%", "1-1"},
      {"Progress 1-1: 40", "1-1"},     // no percent sign
      {"Progress 1-1: 101%", "1-1"},   // beyond the end
      {"Progress 1-1: %", "1-1"},
      {"Progress 1-1: 40%x", "1-1"},
      {"Progress: 40%", ""},           // a lone run's line names no chip
      {"quillon: chip 1-1 ... write PASS", "1-1"},
  };
  for (const auto& item : refused) EXPECT_EQ(GangProgressPercent(item.line, item.location), std::nullopt) << item.line;
}

}  // namespace
}  // namespace quillon
