#include "util/tool.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "platform/paths.h"
#include "util/diag.h"

namespace qm::tool {
namespace {

namespace fs = std::filesystem;

// Every test runs in a private root: temp, runtime and application-data folders, and a log
// settings file so that the helpers' diagnostics can be read back.
class PrivateRoot : public testing::Environment {
 public:
  static fs::path root;

  void SetUp() override {
    char pattern[] = "/tmp/tool_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root = pattern;
    for (const char* sub : {"tmp", "run", "appdata", "bin", "desktop"})
      fs::create_directory(root / sub);
    setenv("TMPDIR", (root / "tmp").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (root / "run").c_str(), 1);
    setenv("QUILLMARK_COMMON_APPDATA", (root / "appdata").c_str(), 1);
    setenv("XDG_DESKTOP_DIR", (root / "desktop").c_str(), 1);
    std::ofstream(root / "tmp" / "KVLQuillmark.ini")
        << "[KVLQuillmark]\nLog File=" << (root / "log.log").string() << "\nLog Level=5\n";
    ASSERT_TRUE(diag::setLog("ToolTest"));
  }

  void TearDown() override { fs::remove_all(root); }
};
fs::path PrivateRoot::root;
[[maybe_unused]] const auto* const kRoot = testing::AddGlobalTestEnvironment(new PrivateRoot);

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The log text written since construction (log files are named after the date).
class LogTail {
 public:
  LogTail() : start_(all().size()) {}
  std::string text() const { return all().substr(start_); }

 private:
  static std::string all() {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(PrivateRoot::root))
      if (entry.path().filename().string().starts_with("log_")) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    std::string text;
    for (const auto& f : files) text += readFile(f);
    return text;
  }
  std::size_t start_;
};

bool waitForFile(const fs::path& path) {
  for (int i = 0; i < 1000 && !fs::exists(path); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return fs::exists(path);
}

// ---- texts ----

TEST(Texts, StartsWithAndNameTests) {
  EXPECT_TRUE(startsWith(nullptr, "abc"));
  EXPECT_TRUE(startsWith(nullptr, nullptr));
  EXPECT_FALSE(startsWith("a", nullptr));
  EXPECT_TRUE(startsWith("ab", "abc"));
  EXPECT_TRUE(startsWith("", "abc"));
  EXPECT_FALSE(startsWith("abc", "ab"));
  EXPECT_FALSE(startsWith("AB", "abc"));

  EXPECT_FALSE(isDisplayNameFile("DisplayName.tx"));
  EXPECT_TRUE(isDisplayNameFile("DisplayName.txt"));
  EXPECT_TRUE(isDisplayNameFile("/x/ToolDisplayName.txt"));
  EXPECT_FALSE(isDisplayNameFile("/x/Tooldisplayname.txt"));
  EXPECT_FALSE(isDisplayNameFile("/x/DisplayName.txt.bak"));

  EXPECT_EQ(toLower("AbC-Z\xC3\x84"), "abc-z\xC3\x84");
  EXPECT_EQ(stripExe("KVLQuillmark.exe -x b.exe.EXE"), "KVLQuillmark -x b.EXE");
}

TEST(Texts, NullArgumentIsLogged) {
  LogTail log;
  EXPECT_FALSE(startsWith("a", nullptr));
  EXPECT_NE(log.text().find("[ToolTest][Warning] Parameter inputMainString is null at tool.cpp "),
            std::string::npos)
      << log.text();
}

TEST(Texts, ReplaceAll) {
  struct Case {
    const char *text, *needle, *replacement, *expected;
  } cases[] = {
      {"aaa", "aa", "b", "ba"},  // non-overlapping, left to right
      {"abcb", "b", "xyz", "axyzcxyz"}, {"%2B%2F%2B", "%2B", "+", "+%2F+"},
      {"abc", "abc", "", ""},           {"", "a", "b", ""},
      {"abc", "", "x", "abc"},  // an empty needle changes nothing
  };
  for (const Case& c : cases)
    EXPECT_EQ(replaceAll(c.text, c.needle, c.replacement), c.expected) << c.text << " " << c.needle;
}

TEST(Texts, PadLeftAlwaysGivesTheWidth) {
  struct Case {
    const char* text;
    std::size_t width;
    char fill;
    const char* expected;
  } cases[] = {
      {"abc", 16, ' ', "             abc"},
      {"7", 2, '0', "07"},
      {"12", 2, '0', "12"},
      {"", 3, '0', "000"},
      {"12345", 3, ' ', "345"},  // longer than the width: its last characters
      {"abc", 0, ' ', ""},
  };
  for (const Case& c : cases) EXPECT_EQ(padLeft(c.text, c.width, c.fill), c.expected) << c.text;
}

TEST(Texts, Split) {
  using Pieces = std::vector<std::string>;
  struct Case {
    const char *text, *delimiter;
    Pieces expected;
  } cases[] = {
      {"a,,b,", ",", {"a", "", "b", ""}},
      {"a,b", ",", {"a", "b"}},
      {",a", ",", {"", "a"}},
      {",", ",", {"", ""}},
      {"abc", ",", {"abc"}},
      {"a::b:c", "::", {"a", "b:c"}},
      {"", ",", {}},
      {"abc", "", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(split(c.text, c.delimiter), c.expected) << c.text;
}

// ---- hexadecimal and Base64 ----

TEST(Encodings, Hex) {
  EXPECT_EQ(hexDecode("48656c6C6F"), "Hello");
  EXPECT_EQ(hexDecode("4G-1"), std::string("\x40\x01", 2));  // other characters count as 0
  EXPECT_EQ(hexDecode("414"), "A");                          // odd last character ignored
  EXPECT_EQ(hexDecode(""), "");
  EXPECT_EQ(hexEncode(std::string("\x00\xAB\xFF\x10", 4)), "00ABFF10");

  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  EXPECT_EQ(hexDecode(hexEncode(all)), all);
}

TEST(Encodings, Base64Encode) {
  struct Case {
    std::string bytes;
    const char* text;
  } cases[] = {
      {"", ""},        {"f", "Zg=="},        {"fo", "Zm8="},
      {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {std::string("\xFB\xFF\x00", 3), "+/8A"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(base64Encode(c.bytes), c.text);
    EXPECT_EQ(base64Decode(c.text), c.bytes);
  }
  std::string bytes;
  for (int n = 0; n < 40; ++n) {
    EXPECT_EQ(base64Decode(base64Encode(bytes)), bytes) << n;
    bytes.push_back(static_cast<char>(n * 37 + 200));
  }
}

TEST(Encodings, Base64DecodeStopsAtFirstForeignCharacter) {
  struct Case {
    const char* text;
    const char* bytes;
  } cases[] = {
      {"SGVsbG8=", "Hello"},
      {"SGVsbG8", "Hello"},  // trailing 3 characters: 2 bytes
      {"SGVsbA", "Hell"},    // trailing 2 characters: 1 byte
      {"SGVsbAx", "Hell\x0C"},
      {"SGVsb", "Hel"},  // a single trailing character carries nothing
      {"SGVsbG8=SGVsbG8=", "Hello"},
      {"SGV sbG8", "He"},  // a space (a "+" sent unescaped) ends the text
      {"%2BSGVs", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(base64Decode(c.text), c.bytes) << c.text;
}

// ---- numbers and versions ----

TEST(Numbers, DecimalConversion) {
  struct Case {
    const char* text;
    bool strict;
    int value;
    int error;
  } cases[] = {
      {"12abc", false, 12, 0},
      {"12abc", true, 0, kNotANumber},
      {"-7", true, -7, 0},
      {"  +42", false, 42, 0},
      {"\t\n-42x", false, -42, 0},
      {"  42", true, 0, kNotANumber},
      {"+42", true, 0, kNotANumber},
      {"-", true, 0, kNotANumber},
      {"", false, 0, kNotANumber},
      {"", true, 0, kNotANumber},
      {"abc", false, 0, kNotANumber},
      {"2147483647", true, INT_MAX, 0},
      {"2147483648", false, 0, kNotANumber},
      {"-2147483648", true, INT_MIN, 0},
      {"-2147483649", false, 0, kNotANumber},
      {"99999999999999999999999", false, 0, kNotANumber},
      {nullptr, false, 0, kNullNumber},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text ? c.text : "(null)");
    EXPECT_EQ(decimalConversion(c.text, c.strict), c.value);
    EXPECT_EQ(lastConversionError(), c.error);
    EXPECT_EQ(lastConversionFailed(), c.error != 0);
  }
}

TEST(Numbers, HexadecimalConversion) {
  struct Case {
    const char* text;
    int value;
    int error;
  } cases[] = {
      {"ff", 255, 0},
      {"0x1A", 26, 0},
      {"0X1a", 26, 0},
      {"  -0x10", -16, 0},
      {"7FFFFFFF", INT_MAX, 0},
      {"80000000", 0, kNotANumber},
      {"-80000000", INT_MIN, 0},
      {"1g", 1, 0},
      {"0x", 0, 0},
      {"xyz", 0, kNotANumber},
      {"", 0, kNotANumber},
      {nullptr, 0, kNullNumber},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text ? c.text : "(null)");
    EXPECT_EQ(hexadecimalConversion(c.text), c.value);
    EXPECT_EQ(lastConversionError(), c.error);
  }
}

TEST(Versions, Compare) {
  const std::string longVersion(511, '1');
  const std::string longerVersion = longVersion + ".5";
  struct Case {
    const char *a, *b;
    int result;
  } cases[] = {
      {"1.0.23.0510", "1.0.23.0510", 0},
      {"1.0.23.0510", "1, 0, 23, 510", 0},
      {"1,6,5,12020", "1.6.5.12020", 0},
      {"1.0.22", "1.0.23", -1},
      {"1.0.9", "1.0.10", -1},
      {"-1.0", "1.0", -1},
      {"2.0", "1.9", 1},
      {"1.0", "1.0.0", 3},
      {"", "1.0", 3},
      {"", "  ", 0},
      {"1..0", "1.2.0", kEmptyVersionPart},
      {"1.2.0", "1.2.", kEmptyVersionPart},
      {nullptr, "1.0", kNullArgument},
      {"1.0", nullptr, kNullArgument},
      // Only the first 511 characters count.
      {longerVersion.c_str(), longVersion.c_str(), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.a ? c.a : "(null)") + " / " + (c.b ? c.b : "(null)"));
    EXPECT_EQ(versionCompare(c.a, c.b), c.result);
  }
}

TEST(Versions, StringCompareModeIsLogged) {
  struct Case {
    const char *a, *b;
    int result;
    bool logged;
  } cases[] = {
      {"1.a", "1.b", 2, true},
      {"1.a", "1.a", 0, true},  // a text part of A is always reported
      {"1.1", "1.b", 2, true},
      {"1.1", "1.1", 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " / " + c.b);
    LogTail log;
    EXPECT_EQ(versionCompare(c.a, c.b), c.result);
    std::string text = log.text();
    std::string partA = std::string(c.a).substr(2), partB = std::string(c.b).substr(2);
    std::size_t mode = text.find("[ToolTest][Warning] Version check: String compare mode\n");
    std::size_t lineA = text.find("[ToolTest][Warning]  - Version A: " + partA + "\n");
    std::size_t lineB = text.find("[ToolTest][Warning]  - Version B: " + partB + "\n");
    if (c.logged) {
      ASSERT_NE(mode, std::string::npos) << text;
      EXPECT_LT(mode, lineA);
      EXPECT_LT(lineA, lineB);
      EXPECT_NE(lineB, std::string::npos);
    } else {
      EXPECT_EQ(text, "");
    }
  }
}

// ---- time and randomness ----

TEST(Time, TimeValueRule) {
  platform::LocalTime june{2024, 6, 21, 15, 23, 14, 87, 124};
  // 9 leap years of seconds, then the day of the month, hour, minute, second.
  EXPECT_EQ(timeValue(june), 9ULL * 31622400 + ((24ULL * 21 + 15) * 60 + 23) * 60 + 14);
  platform::LocalTime january = june;
  january.month = 1;
  EXPECT_EQ(timeValue(january), timeValue(june));  // the month does not count

  platform::LocalTime t = june;
  t.yearsSince1900 = 123;
  EXPECT_EQ(timeValue(t), 8ULL * 31536000 + 1869794);
  t.yearsSince1900 = 200;  // divisible by 100: a plain year
  EXPECT_EQ(timeValue(t), 85ULL * 31536000 + 1869794);
  t.yearsSince1900 = 400;
  EXPECT_EQ(timeValue(t), 285ULL * 31622400 + 1869794);

  EXPECT_EQ(timeValueText(0), "0");
  EXPECT_EQ(timeValueText(0x1A2B), "1a2b");
  EXPECT_EQ(timeValueText(UINT64_MAX), "ffffffffffffffff");

  // The live value: retried when a second boundary falls between the two readings.
  for (int attempt = 0; attempt < 5; ++attempt) {
    std::uint64_t before = timeValue();
    std::string text = timeValueText();
    if (timeValue() != before) continue;
    EXPECT_NE(before, 0u);
    EXPECT_EQ(text, timeValueText(before));
    break;
  }
}

TEST(Time, LocalTimeText) {
  EXPECT_EQ(localTimeText(platform::LocalTime{2024, 6, 21, 15, 23, 14, 0, 124}),
            "2024-06-21 15-23-14");
  EXPECT_EQ(localTimeText(platform::LocalTime{2024, 1, 2, 3, 4, 5, 0, 124}), "2024-01-02 03-04-05");
  EXPECT_TRUE(std::regex_match(localTimeText(), std::regex(R"(\d{4}-\d\d-\d\d \d\d-\d\d-\d\d)")))
      << localTimeText();
}

TEST(Random, InstanceTag) {
  // Bytes above 0x7F are read as signed: 0xFF gives index 0xFFFFFFFF % 36 = 3.
  const unsigned char bytes[8] = {0x00, 0xFF, 0x23, 0x24, 0x80, 0x7F, 0x0A, 0xFE};
  EXPECT_EQ(instanceTagFromBytes(bytes), "03Z0KJA2_SID");

  std::string a = instanceTag(), b = instanceTag();
  EXPECT_TRUE(std::regex_match(a, std::regex("[0-9A-Z]{8}_SID"))) << a;
  EXPECT_NE(a, b);

  unsigned char buffer[32] = {};
  EXPECT_TRUE(randomBytes(buffer, sizeof buffer));
  EXPECT_NE(std::string(buffer, buffer + 32), std::string(32, '\0'));
}

// ---- folders and files ----

TEST(Folders, WellKnownFolders) {
  const fs::path& root = PrivateRoot::root;
  EXPECT_EQ(programFolder(), fs::canonical("/proc/self/exe").parent_path().string());
  EXPECT_EQ(userTempFolder(), (root / "tmp").string() + "/");
  EXPECT_EQ(desktopFolder(), (root / "desktop").string());
  EXPECT_EQ(sharedDataFolder("KVLQuillmark"), (root / "appdata" / "KVLQuillmark").string());
  EXPECT_EQ(sharedDataFolder(nullptr), (root / "appdata").string());

  setenv("QUILLMARK_COMMON_APPDATA", "/", 1);  // a folder that already ends with a separator
  EXPECT_EQ(sharedDataFolder("KVLQuillmark"), "/KVLQuillmark");
  setenv("QUILLMARK_COMMON_APPDATA", (root / "appdata").c_str(), 1);
}

TEST(Files, TestReadWrite) {
  const fs::path file = PrivateRoot::root / "files" / "a.txt";
  fs::create_directories(file.parent_path());
  const std::string text("line 1\r\nline 2\n\0tail", 21);

  EXPECT_FALSE(fileTest(file.c_str()));
  EXPECT_FALSE(fileTest(file.parent_path().c_str()));  // a folder
  EXPECT_FALSE(fileTest(nullptr));
  EXPECT_TRUE(writeTextFile(file.c_str(), "a longer first content"));
  EXPECT_TRUE(writeTextFile(file.c_str(), text.c_str()));  // truncates; stops at the NUL
  EXPECT_TRUE(fileTest(file.c_str()));
  EXPECT_EQ(readTextFile(file.c_str()), text.substr(0, 15));

  std::ofstream(file, std::ios::binary) << text;
  EXPECT_EQ(readTextFile(file.c_str()), text);

  EXPECT_FALSE(writeTextFile(nullptr, "x"));
  EXPECT_FALSE(writeTextFile("", "x"));
  EXPECT_FALSE(writeTextFile(file.c_str(), nullptr));
  EXPECT_FALSE(writeTextFile(file.parent_path().c_str(), "x"));
}

TEST(Files, ReadFailuresAreLogged) {
  LogTail log;
  EXPECT_EQ(readTextFile(nullptr), std::nullopt);
  EXPECT_EQ(readTextFile((PrivateRoot::root / "missing").c_str()), std::nullopt);
  std::string text = log.text();
  EXPECT_NE(text.find("[ToolTest][Warning] inputPath is null\n"), std::string::npos) << text;
  EXPECT_NE(text.find("[ToolTest][Warning] Read file pointer is null\n"), std::string::npos)
      << text;
}

// ---- processes ----

TEST(Processes, RunAndWaitExitCodes) {
  struct Case {
    const char* command;
    bool shell;
    int code;
  } cases[] = {
      {"exit 3", true, 3},
      {"exit 3", false, 0},  // no program "exit": not started
      {"true", false, 0},
      {"false", false, 1},
      {"sh -c \"exit 7\"", false, 7},  // quotes group the argument
      {"no-such-command-qm", true, 127},
      {"no-such-command-qm", false, 0},
      {"kill -9 $$", true, 128 + 9},
      {nullptr, true, 1},
      {nullptr, false, 1},
  };
  for (const Case& c : cases)
    EXPECT_EQ(runAndWait(c.command, c.shell), c.code)
        << (c.command ? c.command : "(null)") << (c.shell ? " through the shell" : "");
}

TEST(Processes, RunAndWaitThroughTheShellRedirects) {
  const fs::path out = PrivateRoot::root / "redirected.txt";
  std::string command = "true > " + out.string();
  EXPECT_EQ(runAndWait(command.c_str(), true), 0);
  EXPECT_TRUE(fs::exists(out));
  fs::remove(out);
  EXPECT_EQ(runAndWait(command.c_str(), false), 0);  // ">" is only an argument of true
  EXPECT_FALSE(fs::exists(out));
}

TEST(Processes, HideNoWaitCommandDoesNotWait) {
  const fs::path go = PrivateRoot::root / "go", out = PrivateRoot::root / "started.txt";
  // The command can only finish after this test creates "go": returning proves no wait.
  std::string command = "sh -c \"while [ ! -e " + go.string() +
                        " ]; do sleep 0.05; done; echo x > " + out.string() + "\"";
  LogTail log;
  hideNOWaitCommand(command.c_str());
  EXPECT_NE(log.text().find("[ToolTest][Normal] hideNOWaitCommand: " + command + "\n"),
            std::string::npos)
      << log.text();
  std::ofstream(go).put('x');
  EXPECT_TRUE(waitForFile(out));

  LogTail nullLog;
  hideNOWaitCommand(nullptr);
  EXPECT_NE(nullLog.text().find("Parameter inputCommand is null at "), std::string::npos);
}

TEST(Processes, WorkerStartRunsTheWorkerFromPath) {
  const fs::path bin = PrivateRoot::root / "bin", out = PrivateRoot::root / "worker-args";
  std::ofstream(bin / "KVLQuillmarkWorker") << "#!/bin/sh\necho \"$@\" > " << out.string() << "\n";
  fs::permissions(bin / "KVLQuillmarkWorker", fs::perms::owner_all);
  const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
  setenv("PATH", (bin.string() + ":" + path).c_str(), 1);
  LogTail log;
  workerStart();
  setenv("PATH", path.c_str(), 1);
  EXPECT_NE(log.text().find("hideNOWaitCommand: KVLQuillmarkWorker.exe -start\n"),
            std::string::npos);
  ASSERT_TRUE(waitForFile(out));
  for (int i = 0; i < 100 && readFile(out).empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(readFile(out), "-start\n");
}

TEST(Processes, IsRunning) {
  const std::string self = fs::canonical("/proc/self/exe").filename().string();
  std::string upper = self;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_TRUE(isRunning(self.c_str()));
  EXPECT_TRUE(isRunning((upper + ".EXE").c_str()));
  EXPECT_FALSE(isRunning("no-such-program-qm.exe"));
  EXPECT_FALSE(isRunning(nullptr));
}

// ---- port test ----

class Socket {
 public:
  explicit Socket(int family) : fd_(socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}
  Socket(Socket&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  ~Socket() {
    if (fd_ >= 0) close(fd_);
  }
  int fd() const { return fd_; }

 private:
  int fd_;
};

// A socket listening on the address (port 0: any free port); its port, or -1.
int listenOn(const Socket& s, const char* address, int port = 0) {
  sockaddr_storage storage{};
  socklen_t size;
  if (std::string_view(address).find(':') != std::string_view::npos) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&storage);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(static_cast<std::uint16_t>(port));
    if (inet_pton(AF_INET6, address, &a->sin6_addr) != 1) return -1;
    size = sizeof *a;
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&storage);
    a->sin_family = AF_INET;
    a->sin_port = htons(static_cast<std::uint16_t>(port));
    if (inet_pton(AF_INET, address, &a->sin_addr) != 1) return -1;
    size = sizeof *a;
  }
  auto* addr = reinterpret_cast<sockaddr*>(&storage);
  if (s.fd() < 0 || bind(s.fd(), addr, size) != 0 || listen(s.fd(), 4) != 0) return -1;
  if (getsockname(s.fd(), addr, &size) != 0) return -1;
  return ntohs(storage.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(addr)->sin6_port
                                             : reinterpret_cast<sockaddr_in*>(addr)->sin_port);
}

TEST(Ports, ListeningLoopbackSocket) {
  int port;
  {
    Socket listener(AF_INET);
    port = listenOn(listener, "127.0.0.1");
    ASSERT_GT(port, 0);
    EXPECT_TRUE(portInUse(port, false));
    EXPECT_FALSE(portInUse(port, true));
  }
  EXPECT_FALSE(portInUse(port, false));

  Socket anyAddress(AF_INET);  // listening on every address is not the loopback address
  port = listenOn(anyAddress, "0.0.0.0");
  ASSERT_GT(port, 0);
  EXPECT_FALSE(portInUse(port, false));

  Socket v6(AF_INET6);
  port = listenOn(v6, "::1");
  if (port < 0) GTEST_SKIP() << "no IPv6 loopback here";
  EXPECT_TRUE(portInUse(port, true));
  EXPECT_FALSE(portInUse(port, false));
}

TEST(Ports, EstablishedConnectionWithoutListener) {
  Socket listener(AF_INET);
  int port = listenOn(listener, "127.0.0.1");
  ASSERT_GT(port, 0);
  Socket client(AF_INET);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(client.fd(), reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
  int accepted = accept(listener.fd(), nullptr, nullptr);
  ASSERT_GE(accepted, 0);
  { Socket gone = std::move(listener); }
  EXPECT_TRUE(portInUse(port, false));
  close(accepted);
}

TEST(Ports, TableRule) {
  if (std::endian::native != std::endian::little) GTEST_SKIP() << "fixture in little-endian form";
  const std::string head =
      "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid\n";
  struct Case {
    const char* line;
    bool ipv6;
    bool inUse;
  } cases[] = {
      {"0: 0100007F:1F90 00000000:0000 0A 00000000:00000000 00:00000000 00000000 0", false, true},
      {"1: 0100007F:D431 0100007F:1F90 01 00000000:00000000 00:00000000 00000000 0", false, true},
      {"2: 0100007F:1F90 0100007F:D431 06 00000000:00000000 00:00000000 00000000 0", false, false},
      {"3: 00000000:1F90 00000000:0000 0A 00000000:00000000 00:00000000 00000000 0", false, false},
      {"4: 0200007F:1F90 00000000:0000 0A 00000000:00000000 00:00000000 00000000 0", false, false},
      {"5: 0100007F:1F91 00000000:0000 0A 00000000:00000000 00:00000000 00000000 0", false, false},
      {"6: 00000000000000000000000001000000:1F90 00000000000000000000000000000000:0000 0A", true,
       true},
      {"7: 00000000000000000000000001000000:1F90 00000000000000000000000000000000:0000 0A", false,
       false},
      {"8: 0000000000000000FFFF00000100007F:1F90 00000000000000000000000000000000:0000 0A", true,
       false},
      {"9: 0100007F:1F90", false, false},
      {"garbage", false, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(portListed(head + c.line + "\n", 8080, c.ipv6), c.inUse) << c.line;
}

// ---- named locks ----

TEST(Locks, HeldLockIsTheUsersNamedLock) {
  const std::string name = "ToolTestLock" + std::to_string(getpid());
  std::optional<platform::NamedLock> held = getMutexLock(name.c_str(), 0);
  ASSERT_TRUE(held);
  std::optional<std::string> user = platform::userName();
  ASSERT_TRUE(user);
  EXPECT_FALSE(platform::NamedLock::acquire(*user + "_" + name, 0));
  EXPECT_FALSE(getMutexLock(name.c_str(), 20));
  held->release();
  EXPECT_TRUE(getMutexLock(name.c_str(), 0));
  EXPECT_FALSE(getMutexLock(nullptr, 0));
}

TEST(Locks, HolderInAnotherProcess) {
  const std::string name = "ToolTestShared" + std::to_string(getpid());
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::optional<platform::NamedLock> lock = getMutexLock(name.c_str(), 0);
    char answer = lock ? 'y' : 'n';
    if (write(ready[1], &answer, 1) != 1) _exit(2);
    for (;;) pause();  // holds the lock until killed
  }
  close(ready[1]);
  char answer = 0;
  ASSERT_EQ(read(ready[0], &answer, 1), 1);
  close(ready[0]);
  EXPECT_EQ(answer, 'y');

  EXPECT_FALSE(getMutexLock(name.c_str(), 0));
  EXPECT_FALSE(getMutexLock(name.c_str(), 50));
  // The death of the holder frees the lock.
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(getMutexLock(name.c_str(), 5000));
}

}  // namespace
}  // namespace qm::tool
