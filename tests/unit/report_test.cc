// The front end's text helpers: narrow formatting of byte values, the
// conversions the messages and the outcome box rely on, the executable's path.
#include <gtest/gtest.h>

#include <string>

#include "frontend/report.h"

namespace {

TEST(ReportTest, ByteValuesFormatAsTheMessagesShowThem) {
  const struct {
    const char* format;
    unsigned char value;
    const char* text;
  } cases[] = {
      {"%hhu", 0, "0"},     {"%hhu", 7, "7"},     {"%hhu", 255, "255"},
      {"%02hhX", 0x05, "05"}, {"%02hhX", 0x7F, "7F"}, {"%02hhX", 0xFF, "FF"},
      {"%02hhX", 0x0F, "0F"}, {"%02hhX", 0x20, "20"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(formatNarrow(c.format, c.value), c.text);
    EXPECT_EQ(toWide(formatNarrow(c.format, c.value)),
              std::wstring(c.text, c.text + std::char_traits<char>::length(c.text)));
  }
}

TEST(ReportTest, FormattedTextIsCutBelowTheBufferSize) {
  std::string big(kFormatBufferSize + 100, 'x');
  std::string out = formatNarrow("%s", big.c_str());
  EXPECT_EQ(out.size(), kFormatBufferSize - 1);
}

TEST(ReportTest, OutcomeTextsConvertFromCodePage936) {
  EXPECT_EQ(std::string(kDoneText), "\xCD\xEA\xB3\xC9");
  EXPECT_EQ(std::string(kFailedText), "\xCA\xA7\xB0\xDC");
  EXPECT_EQ(toWideCodePage(kDoneText, kOutcomeCodePage), std::wstring(L"\u5B8C\u6210"));
  EXPECT_EQ(toWideCodePage(kFailedText, kOutcomeCodePage), std::wstring(L"\u5931\u8D25"));
}

TEST(ReportTest, SelfPathIsTheRunningExecutableAndCached) {
  const std::wstring& path = selfPath();
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(path.front(), L'/');
  EXPECT_NE(path.find(L"unit_tests"), std::wstring::npos);
  EXPECT_EQ(&selfPath(), &path);
}

}  // namespace
