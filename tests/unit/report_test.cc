// The front end's text helpers: narrow formatting of byte values, the
// conversions the messages and the outcome box rely on, the executable's path.
#include <gtest/gtest.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <string>

#include "tests/support/files.h"

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

// Messages short enough for the static buffer and longer ones that take the
// heap, with characters of every UTF-8 length and ones without an encoding,
// reach standard output whole: formatted once, encoded piece by piece.
TEST(ReportTest, MessagesOfEveryLengthReachStandardOutputWhole) {
  struct Glyph {
    wchar_t wide;
    const char* bytes;  // as shown in a UTF-8 locale
  };
  const Glyph glyphs[] = {{L'a', "a"}, {0x00E9, "\xC3\xA9"}, {0x76EE, "\xE7\x9B\xAE"},
                          {0x1F600, "\xF0\x9F\x98\x80"}, {0xDC80, "?"}};
  std::string saved = std::setlocale(LC_ALL, nullptr);
  ASSERT_NE(std::setlocale(LC_ALL, "C.UTF-8"), nullptr);
  TempDir dir;
  const std::string path = dir.file("stdout");
  for (size_t length : {1u, 255u, 256u, 1013u, 1014u, 1015u, 3000u}) {  // 1014: 1023 characters
    SCOPED_TRACE(length);
    std::wstring text;
    std::string expected = "ERROR: ";
    for (size_t i = 0; i < length; ++i) {
      const Glyph& g = glyphs[(i * 7) % 5];
      text.push_back(g.wide);
      expected += g.bytes;
    }
    expected += "\n\n";
    writeFile(path, {});
    std::fflush(stdout);
    int saved1 = dup(1);
    ASSERT_NE(std::freopen(path.c_str(), "w", stdout), nullptr);
    int n = reportError(L"ERROR: %ls\n\n", text.c_str());
    std::fflush(stdout);
    dup2(saved1, 1);
    close(saved1);
    EXPECT_EQ(n, static_cast<int>(length + 9));
    Bytes got = readFile(path);
    EXPECT_EQ(std::string(got.begin(), got.end()), expected);
  }
  std::setlocale(LC_ALL, saved.c_str());
}

}  // namespace
