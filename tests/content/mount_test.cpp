// Navigation URLs, mounts, request paths and resource lookup.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "base/text.h"
#include "content/mount.h"
#include "content/resource.h"
#include "test_support.h"

namespace vyo::content {
namespace {

namespace fs = std::filesystem;
using testing::B;
using testing::BuildPackage;
using testing::TestKeys;

const std::u16string kDomain = kVirtualDomain;

TEST(ParseNavigationUrlTest, Grammar) {
  struct Case {
    std::u16string url;
    bool ok;
    std::uint32_t kind;
    std::u16string path;
    std::string entry;
  };
  const Case cases[] = {
      {u"https://example.com/a", true, kNavigatePlainUrl, u"", ""},
      {u"about:blank", true, kNavigatePlainUrl, u"", ""},
      {u"vyopkg", true, kNavigatePlainUrl, u"", ""},
      {u"vyobuiltin", true, kNavigatePlainUrl, u"", ""},
      {u"vyopkg:D:\\ui\\main.pkg", true, kNavigatePackage, u"D:\\ui\\main.pkg", ""},
      {u"VYOPKG:D:\\ui\\main.pkg", true, kNavigatePackage, u"D:\\ui\\main.pkg", ""},
      {u"vyopkg:D:\\ui\\main.pkg!/settings/index.html", true, kNavigatePackage, u"D:\\ui\\main.pkg",
       "settings/index.html"},
      {u"VyoDir:C:\\site!/pages/a.html", true, kNavigateDirectory, u"C:\\site", "pages/a.html"},
      {u"vyobuiltin:about", true, kNavigateBuiltin, u"about", ""},
      {u"vyodir: \t/srv/site \t!/ x.html ", true, kNavigateDirectory, u"/srv/site", " x.html "},
      {u"vyodir:/a!/b!/c", true, kNavigateDirectory, u"/a", "b!/c"},
      {u"vyodir:/a!/", true, kNavigateDirectory, u"/a", ""},
      {u"vyodir:/a!b", true, kNavigateDirectory, u"/a!b", ""},
      {u"vyopkg:/ü/p.pkg!/é.html", true, kNavigatePackage, u"/ü/p.pkg", "é.html"},
      {u"vyopkg:", false, 0, u"", ""},
      {u"vyopkg:   ", false, 0, u"", ""},
      {u"vyodir:\t", false, 0, u"", ""},
      {u"vyodir:!/index.html", false, 0, u"", ""},
      {u"vyobuiltin:", false, 0, u"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Utf16ToUtf8(c.url));
    NavigationTarget target;
    ASSERT_EQ(ParseNavigationUrl(c.url, target), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(target.kind, c.kind);
    EXPECT_EQ(target.path, c.path);
    EXPECT_EQ(target.entry, c.entry);
  }
}

TEST(EntryUrlTest, OriginAndEntries) {
  EXPECT_EQ(ViewOrigin(0), u"https://v0." + kDomain);
  EXPECT_EQ(ViewOrigin(4294967295u), u"https://v4294967295." + kDomain);
  for (const char16_t c : kDomain) EXPECT_FALSE(c >= u'A' && c <= u'Z');
  EXPECT_TRUE(kDomain.ends_with(u".invalid"));
  const std::pair<std::string, std::u16string> cases[] = {
      {"", u"/"},
      {"index.html", u"/index.html"},
      {"/index.html", u"/index.html"},
      {"sub\\x.html", u"/sub/x.html"},
      {"\\sub\\x.html", u"/sub/x.html"},
      {"a b/ü.html?q=1", u"/a b/ü.html?q=1"},
  };
  for (const auto& [entry, suffix] : cases) {
    EXPECT_EQ(EntryUrl(12, entry), u"https://v12." + kDomain + suffix) << entry;
  }
}

TEST(RequestPathTest, OriginPrefixAndCuts) {
  const std::u16string origin = ViewOrigin(1);
  const std::pair<std::u16string, std::optional<std::string>> cases[] = {
      {origin, ""},
      {origin + u"/", "/"},
      {origin + u"/app.js?v=3", "/app.js"},
      {origin + u"/a.html#top?x", "/a.html"},
      {origin + u"/a%20b.html", "/a%20b.html"},
      {origin + u"/ü.html", "/ü.html"},
      {origin + u":8080/a", std::nullopt},  // the port must not be taken as part of the path
      {u"https://v12." + kDomain + u"/a", std::nullopt},
      {origin + u".evil.example/a", std::nullopt},
      {origin + u"?x", std::nullopt},
      {u"https://v1." + kDomain.substr(1) + u"/a", std::nullopt},
      {u"HTTPS://V1." + kDomain + u"/a", std::nullopt},  // exact comparison
  };
  for (const auto& [uri, expected] : cases) {
    EXPECT_EQ(RequestPathForOrigin(uri, origin), expected) << Utf16ToUtf8(uri);
  }
  EXPECT_EQ(RequestPathForOrigin(u"https://x/", u""), std::nullopt);
}

TEST(NormalizeResourcePathTest, Table) {
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"index.html", "index.html"},
      {"a/b/c.js", "a/b/c.js"},
      {"dir/", "dir"},
      {"./a.html", "./a.html"},
      {"a/./b", "a/./b"},
      {"a%20b.html", "a%20b.html"},
      {"...", "..."},
      {"..a", "..a"},
      {"", std::nullopt},
      {"/a", std::nullopt},
      {"a//b", std::nullopt},
      {"a/b//", std::nullopt},
      {"../a", std::nullopt},
      {"a/../b.html", std::nullopt},
      {"a/..", std::nullopt},
      {"a\\b", std::nullopt},
      {"C:x", std::nullopt},
      {"a:8080", std::nullopt},
      {std::string("a\0b", 3), std::nullopt},
      {"/", std::nullopt},
  };
  for (const auto& [path, expected] : cases) {
    EXPECT_EQ(NormalizeResourcePath(path), expected) << path;
  }
}

TEST(ContentTypeTest, Table) {
  const std::pair<const char*, const char*> cases[] = {
      {"a.html", "text/html; charset=utf-8"},
      {"a.htm", "text/html; charset=utf-8"},
      {"s/a.css", "text/css; charset=utf-8"},
      {"a.js", "application/javascript; charset=utf-8"},
      {"a.mjs", "application/javascript; charset=utf-8"},
      {"a.json", "application/json; charset=utf-8"},
      {"a.svg", "image/svg+xml"},
      {"a.png", "image/png"},
      {"a.jpg", "image/jpeg"},
      {"a.jpeg", "image/jpeg"},
      {"a.gif", "image/gif"},
      {"a.webp", "image/webp"},
      {"a.woff", "font/woff"},
      {"a.woff2", "font/woff2"},
      {"a.ttf", "font/ttf"},
      {"a.wasm", "application/wasm"},
      {"a.txt", "text/plain; charset=utf-8"},
      {"a.HTML", "application/octet-stream"},
      {"a.b/c", "application/octet-stream"},
      {"README", "application/octet-stream"},
      {"a.", "application/octet-stream"},
      {"a.tar.gz", "application/octet-stream"},
  };
  for (const auto& [path, type] : cases) EXPECT_EQ(ContentTypeFor(path), type) << path;
}

TEST(ResponseHeadersTest, ExactBytes) {
  EXPECT_EQ(ResponseHeaders("text/html; charset=utf-8", ""),
            "Content-Type: text/html; charset=utf-8\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n");
  EXPECT_EQ(ResponseHeaders("", "default-src 'self'"),
            "Content-Type: \r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n"
            "Content-Security-Policy: default-src 'self'\r\n");
  EXPECT_EQ(ReasonPhrase(200), "OK");
  EXPECT_EQ(ReasonPhrase(403), "Forbidden");
}

// A scratch directory removed after each test.
class TempDir {
 public:
  TempDir() {
    path_ = fs::temp_directory_path() /
            ("vyo-content-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }
  std::u16string u16() const { return path_.u16string(); }
  void Write(const fs::path& relative, std::string_view text) const {
    fs::create_directories((path_ / relative).parent_path());
    std::ofstream(path_ / relative, std::ios::binary) << text;
  }

 private:
  fs::path path_;
};

class PackageMountTest : public ::testing::Test {
 protected:
  void SetUp() override { VYO_SKIP_IF_NO_RAW_SECRET(testing::RawSecretStatus()); }

  fs::path WritePackage(const std::vector<PackInput>& inputs, const PackOptions& options) {
    const Bytes file = BuildPackage(keys, inputs, options);
    const fs::path path = dir.path() / ("p" + std::to_string(counter++) + ".pkg");
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(file.data()),
                                                 static_cast<std::streamsize>(file.size()));
    return path;
  }

  TestKeys keys;
  TempDir dir;
  int counter = 0;
};

std::vector<PackInput> Site() {
  return {{"index.html", "", B("<p>home</p>")},
          {"app.js", "", B("let a=1;")},
          {"dir", "", B("the entry named dir")},
          {"a%20b.html", "", B("literal")},
          {"sub/x.html", "", B("sub page")}};
}

TEST_F(PackageMountTest, LookupServesEntriesOnceAndRefusesTheRest) {
  PackOptions options;
  options.policy = "default-src 'self'";
  const fs::path pkg = WritePackage(Site(), options);
  Mount mount;
  const auto nav = ResolveContentNavigation(3, u"vyopkg:" + pkg.u16string(), mount, keys.set());
  ASSERT_TRUE(nav.ok) << nav.failure_detail << " " << nav.mount_outcome.reason;
  EXPECT_TRUE(nav.mounted);
  EXPECT_EQ(nav.origin, ViewOrigin(3));
  EXPECT_EQ(nav.url, ViewOrigin(3) + u"/index.html");
  EXPECT_EQ(nav.source_label, "package");
  EXPECT_EQ(mount.mount_kind, kMountPackage);
  EXPECT_EQ(mount.csp, "default-src 'self'");

  struct Case {
    std::string path;
    int status;
    std::string body;
    std::string type;
  };
  const Case cases[] = {
      {"", 200, "<p>home</p>", "text/html; charset=utf-8"},
      {"/", 200, "<p>home</p>", "text/html; charset=utf-8"},
      {"//app.js", 200, "let a=1;", "application/javascript; charset=utf-8"},
      {"/dir/", 200, "the entry named dir", "application/octet-stream"},
      {"/a%20b.html", 200, "literal", "text/html; charset=utf-8"},
      {"/sub/x.html", 200, "sub page", "text/html; charset=utf-8"},
      {"/a b.html", 403, "", ""},
      {"/missing.html", 403, "", ""},
      {"/sub/../index.html", 403, "", ""},
      {"/sub\\x.html", 403, "", ""},
      {":8080/index.html", 403, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const auto response = LookupResource(mount, c.path);
    EXPECT_EQ(response.status, c.status) << response.refusal;
    EXPECT_EQ(std::string(response.body.begin(), response.body.end()), c.body);
    EXPECT_EQ(response.content_type, c.type);
    EXPECT_EQ(response.policy, "default-src 'self'");  // refusals carry the policy too
  }

  // The first request decrypted the entry; later ones are served from the cache.
  ASSERT_EQ(mount.cache.count("index.html"), 1u);
  EXPECT_EQ(mount.cache.count("missing.html"), 0u);
  mount.cache["index.html"] = B("cached copy");
  const auto path = RequestPathForOrigin(nav.origin + u"/index.html?x=1", nav.origin);
  ASSERT_TRUE(path.has_value());
  const auto again = LookupResource(mount, *path);
  EXPECT_TRUE(again.from_cache);
  EXPECT_EQ(std::string(again.body.begin(), again.body.end()), "cached copy");

  // Navigating to an ordinary URL drops the mount.
  const auto plain = ResolveContentNavigation(3, u"https://example.com/", mount, keys.set());
  EXPECT_TRUE(plain.ok);
  EXPECT_FALSE(plain.mounted);
  EXPECT_EQ(plain.url, u"https://example.com/");
  EXPECT_EQ(mount.mount_kind, kMountNone);
  EXPECT_EQ(mount.package, nullptr);
  EXPECT_TRUE(mount.cache.empty());
  EXPECT_EQ(LookupResource(mount, "/index.html").status, 403);
}

TEST_F(PackageMountTest, DefaultEntryAndPolicyRules) {
  PackOptions options;
  options.default_entry = 2;
  Mount mount;
  ASSERT_TRUE(MountPackage(mount, WritePackage(Site(), options).u16string(), keys.set()).ok);
  EXPECT_EQ(mount.default_entry, "dir");

  options.default_entry = 99;  // out of range: the first entry
  ASSERT_TRUE(MountPackage(mount, WritePackage(Site(), options).u16string(), keys.set()).ok);
  EXPECT_EQ(mount.default_entry, "index.html");

  // An explicit entry wins over the default; backslashes become slashes.
  const auto nav = ResolveContentNavigation(5, u"vyopkg:" + WritePackage(Site(), options).u16string() + u"!/sub\\x.html",
                                            mount, keys.set());
  ASSERT_TRUE(nav.ok);
  EXPECT_EQ(nav.url, ViewOrigin(5) + u"/sub/x.html");

  // A policy with a line break would inject headers: the mount fails.
  for (const char* policy : {"default-src 'self'\r\nSet-Cookie: a=b", "a\nb", "a\rb"}) {
    options.policy = policy;
    const auto failed = ResolveContentNavigation(5, u"vyopkg:" + WritePackage(Site(), options).u16string(), mount,
                                                 keys.set());
    EXPECT_FALSE(failed.ok);
    EXPECT_EQ(failed.failure_detail, "Mount failed");
    EXPECT_EQ(mount.mount_kind, kMountNone);
  }

  // No entries: nothing to serve by default.
  options.policy.clear();
  const auto empty = MountPackage(mount, WritePackage({}, options).u16string(), keys.set());
  EXPECT_FALSE(empty.ok);
}

TEST_F(PackageMountTest, FailuresReportTheirDetail) {
  Mount mount;
  TestKeys other;
  const fs::path pkg = WritePackage(Site(), PackOptions{});
  struct Case {
    std::u16string url;
    const KeySet keys;
    std::string detail;
  };
  const Case cases[] = {
      {u"vyopkg:  ", keys.set(), "ParseNavigationUrl"},
      {u"vyopkg:" + (dir.path() / "none.pkg").u16string(), keys.set(), "Mount failed"},
      {u"vyopkg:" + pkg.u16string(), other.set(), "Mount failed"},  // signature does not verify
      {u"vyodir:" + (dir.path() / "no-such-dir").u16string(), keys.set(), "Mount failed"},
      {u"vyodir:" + pkg.u16string(), keys.set(), "Mount failed"},  // a file, not a directory
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Utf16ToUtf8(c.url));
    ASSERT_TRUE(MountBuiltin(mount, u"about").ok);  // something to be dropped
    const auto nav = ResolveContentNavigation(9, c.url, mount, c.keys);
    EXPECT_FALSE(nav.ok);
    EXPECT_EQ(nav.failure_detail, c.detail);
    EXPECT_EQ(mount.mount_kind, kMountNone);
  }
  const auto signature = MountPackage(mount, pkg.u16string(), other.set());
  EXPECT_EQ(signature.package_code, kPackageBadSignature);
}

class DirectoryMountTest : public ::testing::Test {
 protected:
  TempDir dir;
};

TEST_F(DirectoryMountTest, ServesFilesBelowTheRoot) {
  dir.Write("site/index.html", "<p>dir</p>");
  dir.Write("site/css/a.css", "body{}");
  dir.Write("secret.txt", "outside");
  Mount mount;
  const auto nav = ResolveContentNavigation(4, u"vyodir:" + (dir.path() / "site").u16string() + u"!/", mount, {});
  ASSERT_TRUE(nav.ok) << nav.mount_outcome.reason;
  EXPECT_EQ(nav.url, ViewOrigin(4) + u"/index.html");
  EXPECT_EQ(nav.source_label, "directory");
  EXPECT_TRUE(mount.root_dir.back() == u'/' || mount.root_dir.back() == u'\\');

  const auto home = LookupResource(mount, "/");
  EXPECT_EQ(home.status, 200);
  EXPECT_EQ(std::string(home.body.begin(), home.body.end()), "<p>dir</p>");
  EXPECT_EQ(home.content_type, "text/html; charset=utf-8");
  EXPECT_TRUE(home.policy.empty());
  EXPECT_EQ(LookupResource(mount, "/css/a.css").status, 200);
  EXPECT_EQ(LookupResource(mount, "/./css/a.css").status, 200);
  for (const char* refused : {"/../secret.txt", "/css/../../secret.txt", "/css", "/css/", "/none.html",
                              "/css\\a.css"}) {
    const auto response = LookupResource(mount, refused);
    EXPECT_EQ(response.status, 403) << refused;
    EXPECT_TRUE(response.body.empty());
    EXPECT_TRUE(response.content_type.empty());
  }
  // Files are read on every request: a change shows at once.
  dir.Write("site/index.html", "<p>changed</p>");
  const auto changed = LookupResource(mount, "/index.html");
  EXPECT_EQ(std::string(changed.body.begin(), changed.body.end()), "<p>changed</p>");
}

TEST_F(DirectoryMountTest, BuiltinRefusesEverything) {
  Mount mount;
  const auto nav = ResolveContentNavigation(2, u"vyobuiltin:about", mount, {});
  ASSERT_TRUE(nav.ok);
  EXPECT_EQ(nav.url, ViewOrigin(2) + u"/index.html");
  EXPECT_EQ(LookupResource(mount, "/").status, 403);
  EXPECT_EQ(LookupResource(mount, "/index.html").status, 403);
}

#ifndef _WIN32
// Links are followed by the kernel, so containment is checked on the file actually opened.
TEST_F(DirectoryMountTest, RefusesLinksOutOfTheRootAndNonRegularFiles) {
  dir.Write("site/index.html", "in");
  dir.Write("site/real/inner.txt", "inner");
  dir.Write("outside/secret.txt", "secret");
  fs::create_symlink(dir.path() / "outside" / "secret.txt", dir.path() / "site" / "leak.txt");
  fs::create_directory_symlink(dir.path() / "outside", dir.path() / "site" / "out");
  fs::create_symlink("real/inner.txt", dir.path() / "site" / "alias.txt");
  ASSERT_EQ(mkfifo((dir.path() / "site" / "fifo.txt").c_str(), 0600), 0);
  fs::create_symlink("/dev/zero", dir.path() / "site" / "zero.bin");
  {
    std::ofstream big(dir.path() / "site" / "big.bin");
  }
  fs::resize_file(dir.path() / "site" / "big.bin", kMaxDirectoryFileSize + 1);  // sparse
  {
    std::ofstream at_cap(dir.path() / "site" / "cap.bin");
  }
  fs::resize_file(dir.path() / "site" / "cap.bin", 3);

  Mount mount;
  ASSERT_TRUE(MountDirectory(mount, (dir.path() / "site").u16string()).ok);
  const std::pair<const char*, int> cases[] = {
      {"/index.html", 200}, {"/alias.txt", 200},  {"/leak.txt", 403}, {"/out/secret.txt", 403},
      {"/fifo.txt", 403},   {"/zero.bin", 403},   {"/big.bin", 403},  {"/cap.bin", 200},
  };
  for (const auto& [path, status] : cases) {
    const auto response = LookupResource(mount, path);
    EXPECT_EQ(response.status, status) << path << " " << response.refusal;
    if (status == 403) {
      EXPECT_TRUE(response.body.empty()) << path;
    }
  }

  // A root reached through a link is contained by its real location.
  fs::create_directory_symlink(dir.path() / "site", dir.path() / "site-link");
  ASSERT_TRUE(MountDirectory(mount, (dir.path() / "site-link").u16string()).ok);
  EXPECT_EQ(LookupResource(mount, "/index.html").status, 200);
  EXPECT_EQ(LookupResource(mount, "/leak.txt").status, 403);
}
#endif

}  // namespace
}  // namespace vyo::content
