// What the terminal front shows: the language the locale asks for, texts made fit for a
// terminal, and the progress line.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "cli/Progress.h"
#include "cli/System.h"
#include "cli/Texts.h"
#include "platform/Utf8.h"

namespace kestro::cli {
namespace {

struct LocaleCase {
  const char* lcAll;
  const char* lcMessages;
  const char* lang;
  bool chinese;
};

class LocaleTest : public ::testing::TestWithParam<LocaleCase> {
 protected:
  void TearDown() override {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) unsetenv(name);
  }
};

TEST_P(LocaleTest, ChineseOnlyForZhCnInTheFirstVariableThatIsSet) {
  const LocaleCase c = GetParam();
  for (const auto& [name, value] :
       {std::pair{"LC_ALL", c.lcAll}, std::pair{"LC_MESSAGES", c.lcMessages},
        std::pair{"LANG", c.lang}}) {
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  EXPECT_EQ(LocaleIsChinese(), c.chinese);
}

INSTANTIATE_TEST_SUITE_P(Variables, LocaleTest,
                         ::testing::Values(LocaleCase{nullptr, nullptr, "zh_CN.UTF-8", true},
                                           LocaleCase{nullptr, nullptr, "zh_TW.UTF-8", false},
                                           LocaleCase{nullptr, nullptr, "en_US.UTF-8", false},
                                           LocaleCase{"en_US.UTF-8", nullptr, "zh_CN.UTF-8", false},
                                           LocaleCase{"", "zh_CN.UTF-8", "en_US.UTF-8", true},
                                           LocaleCase{nullptr, nullptr, nullptr, false}));

TEST(TextsTest, TheTableIsTheProgramsInBothLanguages) {
  EXPECT_EQ(Texts(false).Text(12), L"USB Update");
  EXPECT_EQ(Texts(true).Text(12), L"USB 升级");
  EXPECT_EQ(ToUtf8(Texts(true).Text(4)), "升级成功。");
  EXPECT_EQ(ForTerminal(L"\n Firmware upgraded! \n"), L"Firmware upgraded!");
  EXPECT_EQ(ForTerminal(L"1. a\r\n\r\n2. b"), L"1. a\n\n2. b");
}

// File names are bytes: each one must come back exactly from its wide form, and valid UTF-8
// must read as its characters.
struct NameCase {
  const char* name;
  std::string bytes;
  std::wstring wide;
};

class FileNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(FileNameTest, SurvivesTheTripThroughWideText) {
  const NameCase& c = GetParam();
  EXPECT_EQ(FromUtf8(c.bytes), c.wide);
  EXPECT_EQ(ToUtf8(FromUtf8(c.bytes)), c.bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Names, FileNameTest,
    ::testing::Values(NameCase{"Ascii", "fw-1.2.dat", L"fw-1.2.dat"},
                      NameCase{"Chinese", "固件.dat", L"固件.dat"},
                      NameCase{"FourBytes", "\xF0\x9F\x8E\xAE.dat", L"\U0001F3AE.dat"},
                      NameCase{"Latin1Byte", "caf\xE9.dat", L"caf\xDCE9.dat"},
                      NameCase{"LoneContinuation", "\x80x", L"\xDC80x"},
                      NameCase{"CutShort", "\xE5\x9B", L"\xDCE5\xDC9B"},
                      NameCase{"Overlong", "\xC0\xAF", L"\xDCC0\xDCAF"},
                      NameCase{"EncodedSurrogate", "\xED\xA0\x80", L"\xDCED\xDCA0\xDC80"},
                      NameCase{"PastUnicode", "\xF4\x90\x80\x80", L"\xDCF4\xDC90\xDC80\xDC80"},
                      NameCase{"Byte0xFF", "\xFF", L"\xDCFF"}),
    [](const auto& info) { return std::string(info.param.name); });

struct LineCase {
  std::uint32_t percent;
  std::uint64_t bytes;
  std::uint64_t total;
  double seconds;
  bool bar;
  std::string line;
};

class ProgressLineTest : public ::testing::TestWithParam<LineCase> {};

TEST_P(ProgressLineTest, ShowsPercentRateAndTimeLeft) {
  const LineCase c = GetParam();
  EXPECT_EQ(Progress::Line(c.percent, c.bytes, c.total, c.seconds, c.bar), c.line);
}

INSTANTIATE_TEST_SUITE_P(
    States, ProgressLineTest,
    ::testing::Values(
        LineCase{0, 0, 65536, 0.0, false, "  0%"},
        LineCase{50, 32768, 65536, 2.0, false, " 50%  16.0 KiB/s  0:02 left"},
        LineCase{99, 500, 505, 1.0, false, " 99%  500 B/s  0:00 left"},
        LineCase{100, 65536, 65536, 4.0, false, "100%  16.0 KiB/s"},
        LineCase{50, 32768, 65536, 2.0, true,
                 "[###############               ]  50%  16.0 KiB/s  0:02 left"},
        // Bytes from behind the image can carry the count past the end: the bar stays whole.
        LineCase{102, 65600, 65536, 4.0, true,
                 "[##############################] 102%  16.0 KiB/s"}));

}  // namespace
}  // namespace kestro::cli
