#include "util/url_check.h"

#include <gtest/gtest.h>

namespace qm::url {
namespace {

bool allows(const char* list, const std::string& origin) {
  setUnlockURL(list);
  checkOrigin(origin.c_str());
  bool result = unlocked();
  clearCheckList();
  return result;
}

TEST(UrlCheck, ListsAgainstOrigins) {
  std::string manyHosts;
  for (int i = 0; i < 50; ++i) manyHosts += "host" + std::to_string(i) + ".example.com; ";
  struct Case {
    std::string list;
    const char* origin;
    bool unlocked;
  };
  const Case cases[] = {
      {".example.com", "https://app.example.com", true},
      {".example.com", "https://a.b.example.com:444", true},
      {".example.com", "http://APP.EXAMPLE.COM/", true},
      {".example.com", "https://app.example.com/:444", true},
      {".example.com", "https://example.com", false},
      {".example.com", "https://app.example.com.example.net", false},
      {".example.com", "https://appxexample.com", false},
      {"intranet.local", "http://intranet.local", true},
      {"intranet.local", "https://intranet.local/", true},
      {"intranet.local", "https://intranet.local:8443", true},
      {"intranet.local", "https://intranetxlocal", false},
      {"intranet.local", "https://www.intranet.local", false},
      {"a.test; intranet.local", "https://intranet.local", true},
      {"*", "https://anything.at.all:1", true},
      {"*.example.", "https://www.example.org", true},
      {"example.com/", "https://example.com/", true},
      {"192.168.1.10", "https://192.168.1.10", true},
      {"192.168.1.10", "https://192.168.1.100", false},
      // Origins of another form never unlock.
      {"*", "https://app.example.com:444/", false},
      {"*", "https://app.example.com/path", false},
      {"*", "ftp://app.example.com", false},
      {"*", "app.example.com", false},
      {"*", "https://-bad.example.com", false},
      {"*", "", false},
      // A bad pattern is an exception, not an unlock.
      {"exa(mple.com", "https://exa(mple.com", false},
      {"exa(mple.com", "https://example.com", false},
      {"good.com; [bad", "https://good.com", false},
      // Patterns deep or long enough to exhaust the stack are refused the same way.
      {std::string(20000, '('), "https://a.test", false},
      {std::string(100000, 'a'), "https://a", false},
      {manyHosts, "https://host49.example.com", true},
      // Nothing allowed.
      {"", "https://app.example.com", false},
      {" ;; ", "https://app.example.com", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.list.substr(0, 40) + " / " + c.origin);
    EXPECT_EQ(allows(c.list.c_str(), c.origin), c.unlocked);
  }
}

TEST(UrlCheck, ListTextToPatterns) {
  struct Case {
    const char* list;
    std::vector<std::string> patterns;
  };
  const Case cases[] = {
      {" .example.com ;; ", {R"(\S*\.example\.com)"}},
      {"a.b;*;.c.", {R"(a\.b)", R"(\S*)", R"(\S*\.c\.\S*)"}},
      {"\tintranet.local\n", {R"(intranet\.local)"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.list);
    setUnlockURL(c.list);
    EXPECT_EQ(checkList(), c.patterns);
    clearCheckList();
  }
}

TEST(UrlCheck, EmptyListNeverInheritsAnUnlock) {
  setUnlockURL("*");
  checkOrigin("https://first.test");
  ASSERT_TRUE(unlocked());
  setUnlockURL("");
  checkOrigin("https://second.test");
  EXPECT_FALSE(unlocked());
  setUnlockURL("*");
  checkOrigin("https://first.test");
  setUnlockURL(nullptr);
  EXPECT_FALSE(unlocked());
  EXPECT_TRUE(checkList().empty());
}

TEST(UrlCheck, HostileInputEndsQuickly) {
  // A long origin and a pattern of many stars: no stack exhaustion, no exponential search.
  std::string longOrigin = "https://";
  for (int i = 0; i < 50000; ++i) longOrigin += "a.";
  longOrigin += "com";
  EXPECT_TRUE(allows("*", longOrigin));
  std::string host = "https://";
  for (int i = 0; i < 200; ++i) host += "a.";
  host += "org";
  EXPECT_FALSE(allows("*.*.*.*.*.*.*.*.*.*.com", host));
}

}  // namespace
}  // namespace qm::url
