#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>

#include "base/text.h"
#include "modules/module_config.h"
#include "platform/files.h"

namespace vyo::modules {
namespace {

std::u16string Folder() { return platform::PathSeparator() == u'/' ? u"/host/dir" : u"C:\\host\\dir"; }
std::u16string Joined(std::u16string_view rel) {
  std::u16string path = Folder();
  path.push_back(platform::PathSeparator());
  for (char16_t c : rel) path.push_back(c == u'\\' || c == u'/' ? platform::PathSeparator() : c);
  return path;
}

std::vector<uint8_t> Bytes(std::string_view text) { return std::vector<uint8_t>(text.begin(), text.end()); }

std::vector<uint8_t> Utf16File(std::string_view ascii) {
  std::vector<uint8_t> bytes = {0xFF, 0xFE};
  for (char c : ascii) {
    bytes.push_back(static_cast<uint8_t>(c));
    bytes.push_back(0);
  }
  return bytes;
}

struct Expected {
  std::u16string rel_path;
  std::string name;
  std::string config;
};

struct Case {
  const char* what;
  std::vector<uint8_t> bytes;
  uint32_t result;
  std::vector<Expected> entries;
};

// config_file contents the reader knows; anything else cannot be read.
const std::map<std::u16string, std::string>& Files() {
  static const std::map<std::u16string, std::string> files = {
      {Joined(u"cfg.json"), "\xEF\xBB\xBF{\"from\":\"file\"}"},
      {Joined(u"big.json"), std::string(4 * 0x100000, 'x')},
  };
  return files;
}

bool FakeRead(const std::u16string& path, std::vector<uint8_t>* out) {
  auto it = Files().find(path);
  if (it == Files().end()) return false;
  out->assign(it->second.begin(), it->second.end());
  return true;
}

TEST(ModuleConfigTest, ParsesTheTableOfCases) {
  const std::vector<Case> cases = {
      {"module section, key case, backslash path", Bytes("[Module]\nPATH=mods\\x.dll\n"), 0, {{u"mods/x.dll", "x", ""}}},
      {"comments, blank lines, surrounding blanks and CR",
       Bytes("; c\n# c\n\n  [module]  \r\n\t path = a.so \r\n"), 0, {{u"a.so", "a", ""}}},
      {"keys before any section are ignored", Bytes("path=z.so\n[other]\npath=y.so\n"), 3, {}},
      {"missing ] still opens the section", Bytes("[module\npath=m.so\n"), 0, {{u"m.so", "m", ""}}},
      {"enabled off drops, 2 keeps, empty keeps",
       Bytes("[module]\npath=a.so\nenabled=Off\n[module]\npath=b.so\nenabled=2\n[module]\npath=c.so\nenabled=\n"), 0,
       {{u"b.so", "b", ""}, {u"c.so", "c", ""}}},
      {"enabled no/false/0 drop", Bytes("[module]\npath=a.so\nenabled=NO\n[module]\npath=b.so\nenabled=false\n"
                                        "[module]\npath=c.so\nenabled=0\n"), 3, {}},
      {"quoted config keeps the inner equals sign", Bytes("[module]\npath=q.so\nconfig=\"a=b\"\n"), 0,
       {{u"q.so", "q", "a=b"}}},
      {"a single quote is not stripped", Bytes("[module]\npath=q.so\nconfig=\"\n"), 0, {{u"q.so", "q", "\""}}},
      {"config wins over config_file in either order",
       Bytes("[module]\nconfig_file=cfg.json\nconfig=inline\npath=a.so\n[module]\nconfig=inline2\nconfig_file=cfg.json\n"
             "path=b.so\n"), 0, {{u"a.so", "a", "inline"}, {u"b.so", "b", "inline2"}}},
      {"config_file read, BOM removed; unreadable gives empty",
       Bytes("[module]\npath=a.so\nconfig_file=cfg.json\n[module]\npath=b.so\nconfig_file=none.json\n"), 0,
       {{u"a.so", "a", "{\"from\":\"file\"}"}, {u"b.so", "b", ""}}},
      {"config_file over the total bound is left out", Bytes("[module]\npath=a.so\nconfig_file=big.json\n"), 0,
       {{u"a.so", "a", ""}}},
      {"name key, dots in names", Bytes("[module]\npath=x.y.so\n[module]\npath=.hidden\n[module]\npath=p.so\nname=Nice\n"),
       0, {{u"x.y.so", "x.y", ""}, {u".hidden", ".hidden", ""}, {u"p.so", "Nice", ""}}},
      {"missing path drops the section", Bytes("[module]\nname=n\n"), 3, {}},
      {"UTF-8 BOM", Bytes("\xEF\xBB\xBF[module]\npath=u.so\n"), 0, {{u"u.so", "u", ""}}},
      {"UTF-16LE with BOM", Utf16File("[module]\r\npath=w.so\r\nconfig=\"k=v\"\r\n"), 0, {{u"w.so", "w", "k=v"}}},
      {"empty file", {}, 3, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<ModuleEntry> entries;
    EXPECT_EQ(ParseModuleConfig(c.bytes, Folder(), &FakeRead, &entries), c.result);
    ASSERT_EQ(entries.size(), c.entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
      EXPECT_EQ(entries[i].module_path, Joined(c.entries[i].rel_path));
      EXPECT_EQ(entries[i].module_name, c.entries[i].name);
      EXPECT_EQ(entries[i].module_config, c.entries[i].config);
    }
  }
}

TEST(ModuleConfigTest, AtMostSixtyFourModuleSections) {
  std::string text;
  for (int i = 0; i < 70; ++i) text += "[module]\npath=m" + std::to_string(i) + ".so\n";
  std::vector<ModuleEntry> entries;
  EXPECT_EQ(ParseModuleConfig(Bytes(text), Folder(), &FakeRead, &entries), 0u);
  ASSERT_EQ(entries.size(), kMaxModuleSections);
  EXPECT_EQ(entries.back().module_name, "m63");
}

class ModuleConfigFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("vyo_module_config_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    folder_ = Utf8ToUtf16(dir_.string());
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  void Write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ / name, std::ios::binary) << text;
  }
  std::filesystem::path dir_;
  std::u16string folder_;
};

TEST_F(ModuleConfigFileTest, FindsResolvesAndReportsTheFile) {
  std::vector<ModuleEntry> entries;
  std::u16string resolved;
  // No file beside the executable: nothing to load, and nothing to report.
  EXPECT_EQ(LoadModuleConfig(u"", folder_, &entries, &resolved), kModuleConfigNoFile);
  EXPECT_NE(resolved.find(kModuleConfigFileName), std::u16string::npos);
  // A folder is not a file.
  std::filesystem::create_directories(dir_ / "sub");
  EXPECT_EQ(LoadModuleConfig(u"sub", folder_, &entries, &resolved), kModuleConfigNoFile);
  // The default name beside the executable, with a config_file beside it.
  Write("FenyraOverlayHost.modules.ini", "[module]\npath=m.so\nconfig_file=c.txt\n");
  Write("c.txt", "hello");
  EXPECT_EQ(LoadModuleConfig(u"", folder_, &entries, &resolved), kModuleConfigOk);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].module_config, "hello");
  // A relative configured path is taken from the executable's folder.
  Write("other.ini", "[x]\n");
  EXPECT_EQ(LoadModuleConfig(u"other.ini", folder_, &entries, &resolved), kModuleConfigNoEntries);
  // 1 MiB is the limit; 2 MiB is a read failure.
  Write("limit.ini", "[module]\npath=a.so\n" + std::string(0x100000 - 19, ' '));
  EXPECT_EQ(LoadModuleConfig(u"limit.ini", folder_, &entries, &resolved), kModuleConfigOk);
  Write("big.ini", std::string(2 * 0x100000, ';'));
  EXPECT_EQ(LoadModuleConfig(u"big.ini", folder_, &entries, &resolved), kModuleConfigReadFailed);
  EXPECT_TRUE(entries.empty());
}

#if !defined(_WIN32)
TEST_F(ModuleConfigFileTest, AConfigFileThatIsAFifoIsRefused) {
  const std::string fifo = (dir_ / "fifo").string();
  ASSERT_EQ(std::system(("mkfifo '" + fifo + "'").c_str()), 0);
  std::vector<uint8_t> bytes;
  // No writer ever opens the FIFO: a reader that waited for one would hang here.
  EXPECT_FALSE(ReadModuleConfigFile(Utf8ToUtf16(fifo), &bytes));
  Write("m.ini", "[module]\npath=m.so\nconfig_file=fifo\n");
  std::vector<ModuleEntry> entries;
  std::u16string resolved;
  EXPECT_EQ(LoadModuleConfig(u"m.ini", folder_, &entries, &resolved), kModuleConfigOk);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].module_config, "");
}
#endif

}  // namespace
}  // namespace vyo::modules
