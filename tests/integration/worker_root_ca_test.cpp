// "-importRootCACert" into stores moved into a private root: the system store with its bundle,
// the shared NSS database and a Firefox profile's; a real TLS client then trusts the server.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ipc_test_support.h"

namespace qm::test {
namespace {

namespace fs = std::filesystem;

constexpr char kEccNickname[] = "Quillmark Local Root CA (ECC)";
constexpr char kRsaNickname[] = "Quillmark Local Root CA (RSA)";

class WorkerRootCaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* sub : {"ca", "etc-ssl", "share", "hooks"}) {
      fs::create_directories(root.path() + "/" + sub);
    }
  }

  std::vector<std::string> storeEnvironment() const {
    const std::string r = root.path();
    return {"QUILLMARK_CA_STORE_DIR=" + r + "/ca",
            // By its full path: /usr/sbin is not on every user's PATH.
            "QUILLMARK_CA_UPDATE_COMMAND=/usr/sbin/update-ca-certificates --certsconf " + r +
                "/ca.conf --certsdir " + r + "/share --localcertsdir " + r + "/ca --etccertsdir " +
                r + "/etc-ssl --hooksdir " + r + "/hooks",
            "QUILLMARK_NSSDB_DIR=" + r + "/nssdb"};
  }

  // Output and status of a tool run to its end.
  std::pair<int, std::string> tool(const std::string& program,
                                   const std::vector<std::string>& args) {
    const std::string out = root.path() + "/tool-" + std::to_string(serial++) + ".txt";
    auto process = platform::ChildProcess::start(program, args, {}, out);
    int status = process ? process->wait(60000).value_or(-2) : -1;
    std::ifstream in(out);
    return {status, std::string(std::istreambuf_iterator<char>(in), {})};
  }

  std::string listing(const std::string& dir) {
    return tool("/usr/bin/certutil", {"-L", "-d", "sql:" + dir}).second;
  }

  // The database lists the nickname with the trust "C,," (a trusted issuer of servers).
  static bool trusts(const std::string& listing, const std::string& nickname) {
    std::istringstream lines(listing);
    for (std::string line; std::getline(lines, line);) {
      if (!line.starts_with(nickname + " ")) continue;
      std::string rest = line.substr(nickname.size());
      rest.erase(0, rest.find_first_not_of(' '));
      if (rest.starts_with("C,,")) return true;
    }
    return false;
  }

  std::vector<std::string> importRoots(std::vector<std::string> environment, int expected = 0) {
    Program worker(root, workerPath(), {"-importRootCACert"}, record, std::move(environment));
    EXPECT_EQ(worker.wait(120000), expected);
    return worker.log();
  }

  TempRoot root;
  Record record{root.path() + "/record.txt"};
  int serial = 0;
};

TEST_F(WorkerRootCaTest, RootsLandWhereClientsLookAndARealClientTrustsTheServer) {
  // A Firefox profile with its database, and one that never ran (no database: left alone).
  const std::string firefox = root.path() + "/home/.mozilla/firefox";
  fs::create_directories(firefox + "/abc.default-release");
  fs::create_directories(firefox + "/never.run");
  std::ofstream(firefox + "/profiles.ini")
      << "[Install4F96D1932A9F858E]\nDefault=abc.default-release\n\n"
         "[Profile0]\nName=default-release\nIsRelative=1\nPath=abc.default-release\n\n"
         "[Profile1]\nName=never\nIsRelative=0\nPath="
      << firefox << "/never.run\n";
  ASSERT_EQ(tool("/usr/bin/certutil",
                 {"-N", "-d", "sql:" + firefox + "/abc.default-release", "--empty-password"})
                .first,
            0);

  auto log = importRoots(storeEnvironment());
  EXPECT_EQ(countIn(log, "[Error]"), 0u);
  for (const char* file : {"/ca/quillmark-ecc-root.crt", "/ca/quillmark-rsa-root.crt"}) {
    EXPECT_TRUE(fs::exists(root.path() + file)) << file;
  }
  for (const std::string& db : {root.path() + "/nssdb", firefox + "/abc.default-release"}) {
    std::string list = listing(db);
    EXPECT_TRUE(trusts(list, kEccNickname)) << db << "\n" << list;
    EXPECT_TRUE(trusts(list, kRsaNickname)) << db << "\n" << list;
  }
  EXPECT_FALSE(fs::exists(firefox + "/never.run/cert9.db"));

  // gnutls-cli against the running server, trusting only the bundle the command rebuilt.
  ServerProcess server(root);
  ASSERT_TRUE(server.waitServing()) << server.logText();
  const std::string bundle = root.path() + "/etc-ssl/ca-certificates.crt";
  EXPECT_EQ(gnutlsHandshake("NORMAL", kPorts[0], bundle, root.path() + "/cli.txt"), 0);
  // ...and without our roots the same client refuses it.
  std::ofstream(root.path() + "/other.crt")
      << std::ifstream("/etc/ssl/certs/ca-certificates.crt").rdbuf();
  EXPECT_NE(gnutlsHandshake("NORMAL", kPorts[0], root.path() + "/other.crt",
                            root.path() + "/cli-other.txt"),
            0);

  // A second run finds both roots in place and changes nothing.
  auto stamp = [&](const std::string& path) { return fs::last_write_time(path); };
  const std::vector<std::string> watched = {root.path() + "/ca/quillmark-ecc-root.crt",
                                            root.path() + "/ca/quillmark-rsa-root.crt", bundle,
                                            root.path() + "/nssdb/cert9.db"};
  std::vector<fs::file_time_type> before;
  for (const auto& path : watched) before.push_back(stamp(path));
  const std::string listed = listing(root.path() + "/nssdb");
  log = importRoots(storeEnvironment());
  EXPECT_EQ(countIn(log, "[Error]"), 0u);
  for (std::size_t i = 0; i < watched.size(); ++i) EXPECT_EQ(stamp(watched[i]), before[i]) << i;
  EXPECT_EQ(listing(root.path() + "/nssdb"), listed);
}

TEST_F(WorkerRootCaTest, WithoutRightsBothImportsFailWithFourErrorLines) {
  if (!runsAsUserNobody(root, {workerPath()})) {
    GTEST_SKIP() << "cannot act as a user without rights here (needs root and setpriv)";
  }
  // The store belongs to root; the user may write its log and its own NSS database only.
  const auto open = fs::perms::all;
  fs::permissions(root.path() + "/log", open);
  fs::create_directories(root.path() + "/user-nss");
  fs::permissions(root.path() + "/user-nss", open);
  std::vector<std::string> environment = storeEnvironment();
  environment.back() = "QUILLMARK_NSSDB_DIR=" + root.path() + "/user-nss";

  Program worker(root, "/usr/bin/setpriv", asUserNobody({workerPath(), "-importRootCACert"}),
                 record, environment);
  EXPECT_EQ(worker.wait(120000), 0);
  auto log = worker.log();
  EXPECT_EQ(countIn(log, "[Error]"), 4u) << worker.logText();
  EXPECT_EQ(countIn(log, "[Error] The CA system store did not open: 13"), 2u);
  EXPECT_EQ(countIn(log, "[Error] Import root CA failed ECC"), 1u);
  EXPECT_EQ(countIn(log, "[Error] Import root CA failed RSA"), 1u);
  EXPECT_TRUE(fs::is_empty(root.path() + "/ca"));
}

}  // namespace
}  // namespace qm::test
