// The console writer: a line after a progress line starts on a line of its own, once.

#include <gtest/gtest.h>

#include <string>

#include "run/console_writer.h"

namespace {

TEST(ConsoleWriter, LinesAfterAProgressLineStartOnALineOfTheirOwn) {
  std::string written;
  ConsoleWriter console;
  console.write = [&written](std::string_view text) { written += text; };
  console_say(console, "  [*] first\n");
  console_progress(console, "  [1 H/s] a");
  console_progress(console, "  [2 H/s] b");
  console_say(console, "  [!] after progress\n");
  console_say(console, "  [*] next\n");
  console_progress(console, "  [3 H/s] c");
  console_say(console, "\n  [*] brings its own line feed\n");
  EXPECT_EQ(written,
            "  [*] first\n\r  [1 H/s] a\r  [2 H/s] b\n  [!] after progress\n  [*] next\n\r  [3 H/s] c"
            "\n  [*] brings its own line feed\n");
}

}  // namespace
