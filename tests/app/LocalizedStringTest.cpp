#include <gtest/gtest.h>

#include "app/LocalizedString.h"
#include "tests/support/Environment.h"

namespace kestro {
namespace {

using testing::Environment;

const std::wstring kEnglishInstructions =
    L"1. Press and hold LB+RB, then plug in USB, POWER LED will blink in white.\r\n\r\n"
    L"2. Click \"USB Update\" button and select firmware file.";

struct TextCase {
  std::uint16_t language;
  int index;
  std::wstring expected;
};

class LocalizedStringTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(LocalizedStringTest, ChoosesChineseOnlyFor2052) {
  Environment env;
  const TextCase c = GetParam();
  env.system.uiLanguage = c.language;
  EXPECT_EQ(LocalizedString(env.system, c.index), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Languages, LocalizedStringTest,
    ::testing::Values(TextCase{2052, 12, L"USB 升级"}, TextCase{2052, 6, L"Kestro Update v2.00"},
                      TextCase{1033, 12, L"USB Update"}, TextCase{1028, 12, L"USB Update"},
                      TextCase{4100, 12, L"USB Update"}, TextCase{2052, 13, L"请升级到最新版本"},
                      TextCase{1033, 13, kEnglishInstructions},
                      TextCase{1033, 14, kEnglishInstructions},
                      TextCase{2052, 14,
                               L"1. 按住 LB+RB 开机，电源指示灯闪烁。\r\n\r\n2. 插入 USB 线。"
                               L"\r\n\r\n3. 点击 USB 升级按钮，选择升级文件升级。"},
                      TextCase{2052, 3, L"文件类型中显示的内容"},
                      TextCase{1033, 4, L"Firmware upgraded!"},
                      TextCase{1033, 16,
                               L"* If anything wrong. Hold START 8 seconds can reset controller. "
                               L"You can try to update firmware again"}));

TEST(LocalizedStringTest, AMissingEntryGivesAnEmptyText) {
  Environment env;
  env.system.stringOverrides[238 + 7] = L"";
  EXPECT_EQ(LocalizedString(env.system, 7), L"");
  env.system.uiLanguage = 2052;
  EXPECT_EQ(LocalizedString(env.system, 7), L"固件更新失败");
}

TEST(LocalizedStringTest, FollowsALanguageChangeAtTheNextRequest) {
  Environment env;
  env.system.uiLanguage = 2052;
  EXPECT_EQ(LocalizedString(env.system, 4), L"升级成功。");
  env.system.uiLanguage = 1033;
  EXPECT_EQ(LocalizedString(env.system, 4), L"Firmware upgraded!");
}

}  // namespace
}  // namespace kestro
