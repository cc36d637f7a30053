// telltrail-export on a daily file that a power loss has damaged: every
// good frame comes out exact, every unreadable line is named by its file
// and line number and counted. The program of this build is run on it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(Export, DamagedFileGivesEveryGoodFrameAndNamesEveryBadLine) {
  const std::string zeros(4096, '\0');
  // Line by line: the bytes in the file, and what the export makes of them
  // (the frame line written, or the reason given for the line).
  const struct {
    std::string bytes;
    std::string frame;
    std::string reason;
  } lines[] = {
      {"(1796652309.123000) can0 180#3100FA000C\n", "(1796652309.123000) can0 180#3100FA000C\n", ""},
      {std::string("(1796652309.124000) can0 123#11\0\0\0\0\n", 36), "", "NUL bytes"},
      {zeros + "\n", "", "NUL bytes"}, // a block of zeros a power loss left
      {"(9300000000000.000000) can0 123#11\n", "", "time out of range"},
      {"(1796652309.125000) vcan1 18DB33F1#0102\n", "(1796652309.125000) vcan1 18DB33F1#0102\n", ""},
      {"(1796652309.126000) can0 7FF#R\n", "(1796652309.126000) can0 7FF#R\n", ""},
      // A serial adapter named by its stable path keeps its whole name.
      {"(1796652309.126500) /dev/serial/by-id/usb-Prolific_Technology_Inc._USB-Serial_Controller_D-if00-port0 "
       "123#11223344\n",
       "(1796652309.126500) /dev/serial/by-id/usb-Prolific_Technology_Inc._USB-Serial_Controller_D-if00-port0 "
       "123#11223344\n",
       ""},
      // 123#11223344 cut by a power loss: no line feed, no frame.
      {"(1796652309.127000) can0 123#1122", "", "cut line (no line feed at the end of the file)"},
  };
  char dir[] = "/tmp/telltrail-export-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string file = std::string(dir) + "/bus_20261207.log";
  std::string content, frames;
  int bad = 0, good = 0;
  for (const auto& l : lines) {
    content += l.bytes;
    frames += l.frame;
    (l.reason.empty() ? good : bad)++;
  }
  {
    std::ofstream out(file, std::ios::binary);
    out << content;
  }
  // The same through the decompressor's pipe.
  ASSERT_EQ(std::system(("gzip -c '" + file + "' > '" + file + ".gz'").c_str()), 0);
  for (const std::string& input : {file, file + ".gz"}) {
    SCOPED_TRACE(input);
    const std::string out = std::string(dir) + "/out", err = std::string(dir) + "/err";
    const int status = std::system(
        (std::string(TELLTRAIL_EXPORT) + " '" + input + "' > " + out + " 2> " + err).c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(ReadFile(out), frames);
    std::string expected;
    int number = 0;
    for (const auto& l : lines) {
      ++number;
      if (!l.reason.empty())
        expected += "telltrail-export: " + input + ":" + std::to_string(number) + ": " + l.reason +
                    ", line skipped\n";
    }
    expected += "telltrail-export: " + std::to_string(good) + " frames written, " +
                std::to_string(bad) + " unreadable lines skipped\n";
    EXPECT_EQ(ReadFile(err), expected);
  }
  std::system((std::string("rm -rf '") + dir + "'").c_str());
}

} // namespace
