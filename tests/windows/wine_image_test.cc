// The built patcher.exe as a file: a small 32-bit console program that needs
// nothing beside it, with its icon group and manifest and no version
// resource, read back with icoutils.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "tests/support/container_builder.h"
#include "tests/support/files.h"
#include "tests/windows/wine_support.h"

namespace {

uint32_t le(const Bytes& b, size_t at, unsigned width) {
  if (at > b.size() || width > b.size() - at) ADD_FAILURE() << "read past the image at " << at;
  uint32_t v = 0;
  for (unsigned i = 0; i < width && at + i < b.size(); ++i) v |= uint32_t{b[at + i]} << (8 * i);
  return v;
}

TEST(WineImageTest, IsA32BitConsoleProgramOfAtMost128KiB) {
  Bytes image = readFile(winePrograms().stub);
  EXPECT_LE(image.size(), 128u * 1024);
  ASSERT_EQ(le(image, 0, 2), 0x5A4Du);  // "MZ"
  size_t pe = le(image, 0x3C, 4);
  ASSERT_EQ(le(image, pe, 4), 0x00004550u);  // "PE\0\0"
  EXPECT_EQ(le(image, pe + 4, 2), 0x014Cu);  // Intel 386
  size_t optional = pe + 24;
  EXPECT_EQ(le(image, optional, 2), 0x010Bu);  // PE32, not PE32+
  EXPECT_EQ(le(image, optional + 68, 2), 3u);  // the console subsystem
}

// Only DLLs that every Windows has: the C++ runtime is linked in.
TEST(WineImageTest, ImportsOnlySystemLibraries) {
  std::string dump = capture({"i686-w64-mingw32-objdump", "-p", winePrograms().stub});
  std::set<std::string> dlls;
  std::regex name("DLL Name: (\\S+)");
  for (std::sregex_iterator i(dump.begin(), dump.end(), name), e; i != e; ++i) {
    std::string dll = (*i)[1];
    for (char& c : dll) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    dlls.insert(dll);
  }
  EXPECT_EQ(dlls, (std::set<std::string>{"kernel32.dll", "msvcrt.dll", "shell32.dll", "user32.dll"}));
}

TEST(WineImageTest, RunsWithNothingBesideIt) {
  TempDir dir;
  std::string patch = dir.file("alone.exe");
  std::string target = dir.file("t.bin");
  writeFile(target, bytesOf("abc"));
  makePatch(patch, ContainerBuilder().writeAbsolute(1, bytesOf("Z")).end().build());
  ProcessResult r = runWindows({patch, windowsPath(target)});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(readFile(target), bytesOf("aZc"));
}

// Resource types by number: 3 icon, 14 icon group, 16 version, 24 manifest.
std::map<int, int> resourceTypes(const std::string& exe) {
  std::string listing = capture({"wrestool", "-l", exe});
  std::map<int, int> count;
  std::regex type("--type=(\\d+)");
  for (std::sregex_iterator i(listing.begin(), listing.end(), type), e; i != e; ++i) {
    ++count[std::stoi((*i)[1])];
  }
  return count;
}

TEST(WineImageTest, HasOneIconGroupAndAManifestAndNoVersion) {
  std::map<int, int> types = resourceTypes(winePrograms().stub);
  EXPECT_EQ(types, (std::map<int, int>{{3, 3}, {14, 1}, {24, 1}}));
  EXPECT_EQ(types.count(16), 0u);
}

TEST(WineImageTest, IconGroupHoldsThreeSizesAt32Bits) {
  TempDir dir;
  capture({"wrestool", "-x", "-t14", "-o", dir.file("group.ico"), winePrograms().stub});
  std::string listing = capture({"icotool", "-l", dir.file("group.ico")});
  std::set<std::string> images;
  std::istringstream lines(listing);
  std::regex entry("--width=(\\d+) --height=(\\d+) --bit-depth=(\\d+)");
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (std::regex_search(line, m, entry)) images.insert(m[1].str() + "x" + m[2].str() + "x" + m[3].str());
  }
  EXPECT_EQ(images, (std::set<std::string>{"256x256x32", "48x48x32", "24x24x32"}));
}

TEST(WineImageTest, ManifestRunsAsInvokerWithoutUiAccess) {
  std::string manifest = capture({"wrestool", "-x", "--raw", "-t24", winePrograms().stub});
  std::smatch m;
  std::regex level("<requestedExecutionLevel\\s+([^>]*)/?>");
  ASSERT_TRUE(std::regex_search(manifest, m, level)) << manifest;
  std::string attributes = m[1];
  EXPECT_NE(attributes.find("level=\"asInvoker\""), std::string::npos) << attributes;
  EXPECT_NE(attributes.find("uiAccess=\"false\""), std::string::npos) << attributes;
}

}  // namespace
