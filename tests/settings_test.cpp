// Profiles, stored keys, TLS files of one's own, --show-config and shell completion, through the
// real client.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/support/process_fixture.h"

namespace {

using namespace testing_support;

class SettingsTest : public ProcessFixture {
 protected:
  SettingsTest() : dir_(::testing::TempDir() + "orvix-settings-" + std::to_string(getpid())) {
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_ + "/orvix");
  }
  ~SettingsTest() override { std::filesystem::remove_all(dir_); }

  std::string write(const std::string& name, const std::string& text, mode_t mode = 0600) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path) << text;
    chmod(path.c_str(), mode);
    return path;
  }
  static std::string read(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
  }
  ProcessResult orvix(std::vector<std::string> args, std::map<std::string, std::string> env = {}) {
    env.emplace("XDG_CONFIG_HOME", dir_);
    return run_with(std::move(args), "", std::move(env));
  }
  // What --show-config says of one setting: its value and, in brackets, its source.
  static std::string shown(const ProcessResult& result, const std::string& name) {
    std::istringstream lines(result.out);
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind(name + " ", 0) == 0)
        return line.substr(line.find_first_not_of(' ', name.size()));
    }
    return "(no " + name + " line in " + result.out + result.err + ")";
  }

  const std::string dir_;
};

TEST_F(SettingsTest, EachSettingComesFromFlagThenVariableThenProfileThenBuild) {
  const std::string ca = write("ca.pem", "any"), config = dir_ + "/orvix/config";
  write("orvix/config",
        "; two services\n[default]\noutput = json\n\n[profile two]\n"
        "api_url = http://127.0.0.1:9/two\n  ca_file = " +
            ca + "\n");
  write("orvix/credentials", "[default]\napi_key = stored-key\n");
  const std::string built = "http://127.0.0.1:" + std::to_string(ORVIX_TEST_PORT) + "/api";
  struct Row {
    std::vector<std::string> args;
    std::map<std::string, std::string> env;
    std::string setting, said;
  };
  const std::vector<Row> rows = {
      {{}, {}, "output", "json  (profile default in " + config + ")"},
      {{}, {{"ORVIX_OUTPUT", "text"}}, "output", "text  (variable ORVIX_OUTPUT)"},
      {{"--output", "text"}, {{"ORVIX_OUTPUT", "json"}}, "output", "text  (flag --output)"},
      {{"--profile", "two"}, {}, "output", "text  (built in)"},
      {{"--profile", "two"}, {}, "api_url", "http://127.0.0.1:9/two  (profile two in " + config},
      {{"--profile", "two"}, {}, "account_url", "http://127.0.0.1:9  (the API address's origin)"},
      {{"--profile", "two"},
       {{"ORVIX_API_URL", "http://127.0.0.1:8/v"}},
       "api_url",
       "http://127.0.0.1:8/v  (variable ORVIX_API_URL)"},
      {{"--profile", "two", "--api-url", "http://127.0.0.1:7/f"},
       {{"ORVIX_API_URL", "http://127.0.0.1:8/v"}},
       "api_url",
       "http://127.0.0.1:7/f  (flag"},
      {{}, {{"ORVIX_PROFILE", "two"}}, "ca_file", ca + "  (profile two in " + config},
      {{}, {{"ORVIX_PROFILE", "two"}}, "profile", "two  (variable ORVIX_PROFILE)"},
      {{"--profile", "two"}, {{"ORVIX_CA_FILE", config}}, "ca_file", "(variable ORVIX_CA_FILE)"},
      {{"--client-cert", ca, "--client-key", ca}, {}, "client_key", ca + "  (flag --client-key)"},
      {{}, {}, "api_url", built + "  (built in)"},
      {{}, {{"SHARD_SIZE", "4096"}}, "shard_size", "4096  (variable SHARD_SIZE)"},
      {{}, {}, "api_key", "found (not shown)  (" + dir_ + "/orvix/credentials [default])"},
      {{}, {{"ORVIX_API_KEY", "k"}}, "api_key", "found (not shown)  (ORVIX_API_KEY)"},
      {{"--profile", "two"}, {}, "api_key", "not found"},
  };
  for (const auto& row : rows) {
    auto args = row.args;
    args.push_back("--show-config");
    const auto result = orvix(args, row.env);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_NE(shown(result, row.setting).find(row.said), std::string::npos)
        << ::testing::PrintToString(row.args) << "\n"
        << result.out;
    EXPECT_EQ(result.out.find("stored-key"), std::string::npos);
  }
  EXPECT_TRUE(service.requests().empty());
}

TEST_F(SettingsTest, ProfilesSwitchServicesWithStoredKeysAndTheirFilesAreChecked) {
  FakeService other;
  other.accept_login("other-key");
  for (FakeService* s : {&service, &other}) s->on("/api/fetch_projects", 200, R"({"projects":[]})");
  write("orvix/config", "[profile here]\napi_url = " + service.base_url() + "/api\n" +
                            "[profile there]\napi_url = " + other.base_url() + "/api\n");
  const std::string credentials = write(
      "orvix/credentials", "# keys\n[profile here]\napi_key = " + key + "\n[profile there]\n");
  // --save-key stores the key the service accepted, in its own section, beside the others.
  EXPECT_EQ(orvix({"--profile", "there", "--save-key"}, {{"ORVIX_API_KEY", "wrong"}}).exit_status,
            1);
  const auto saved = orvix({"--profile", "there", "--save-key"}, {{"ORVIX_API_KEY", "other-key"}});
  EXPECT_EQ(saved.exit_status, 0) << saved.out << saved.err;
  EXPECT_NE(saved.out.find("stored in " + credentials + " [profile there]"), std::string::npos);
  EXPECT_EQ(read(credentials), "# keys\n[profile here]\napi_key = " + key +
                                   "\n[profile there]\napi_key = other-key\n");
  struct stat about {};
  ASSERT_EQ(stat(credentials.c_str(), &about), 0);
  EXPECT_EQ(about.st_mode & 0777, 0600u);
  for (const auto& [profile, used, unused] :
       {std::tuple{"there", &other, &service}, std::tuple{"here", &service, &other}}) {
    used->clear_requests();
    unused->clear_requests();
    const auto result = orvix({"--profile", profile, "FETCH_PROJECTS"});
    EXPECT_EQ(result.exit_status, 0) << profile << result.out << result.err;
    EXPECT_EQ(used->requests_to("/api/fetch_projects").size(), 1u) << profile;
    EXPECT_TRUE(unused->requests().empty()) << profile;
  }
  // A file others may read is passed over, with its name and mode.
  chmod(credentials.c_str(), 0644);
  const auto open_file = orvix({"--profile", "here", "FETCH_PROJECTS"});
  EXPECT_EQ(open_file.exit_status, 1);
  EXPECT_NE(open_file.out.find(credentials + " is not used: its mode 0644"), std::string::npos)
      << open_file.out;
  // A first key: the directories are made for the user alone.
  const std::string fresh = dir_ + "/fresh";
  const auto first =
      run_with({"--save-key"}, "", {{"XDG_CONFIG_HOME", fresh}, {"ORVIX_API_KEY", key}});
  EXPECT_EQ(first.exit_status, 0) << first.out;
  ASSERT_EQ(stat((fresh + "/orvix").c_str(), &about), 0);
  EXPECT_EQ(about.st_mode & 0777, 0700u);
  EXPECT_EQ(read(fresh + "/orvix/credentials"), "[default]\napi_key = " + key + "\n");
}

TEST_F(SettingsTest, SettingsThatCannotBeUsedEndTheRunBeforeAnyRequest) {
  const std::string config = dir_ + "/orvix/config";
  const std::vector<std::tuple<std::string, std::vector<std::string>, std::string>> rows = {
      {"[profile x]\nfoo = 1\n", {"--profile", "x"}, config + " line 2: unknown setting \"foo\""},
      {"[profile x]\njunk\n", {"--profile", "x"}, config + " line 2: not `key = value`"},
      {"[profile x]\napi_url = ftp://h\n", {"--profile", "x"}, "line 2: the API address \"ftp"},
      {"[nonsense]\n", {}, config + " line 1: [nonsense] is neither"},
      {"[profile x]\napi_url = http://h/a\napi_url = http://h/b\n", {}, "line 3: [profile x] sets"},
      {"[profile x]\nca_file = /no/such\n", {"--profile", "x"}, "line 2: the CA file \"/no/such\""},
      {"[default]\nca_file = " + std::string(200, 'x') + "\n", {}, "line 2: the line is longer"},
      {"", {"--profile", "missing"}, "there is no profile \"missing\" in " + config},
      {"", {"--client-cert", "/no/such"}, "the client certificate \"/no/such\" cannot be read"},
      {"", {"--client-key", config}, "a client key needs its client certificate"},
  };
  for (const auto& [text, args, said] : rows) {
    write("orvix/config", text);
    auto with_statement = args;
    with_statement.push_back("FETCH_PROJECTS");
    const auto result = orvix(with_statement);
    EXPECT_EQ(result.exit_status, 2) << text;
    EXPECT_NE(result.err.find(said), std::string::npos) << text << "\n" << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
  }
  EXPECT_TRUE(service.requests().empty());
}

TEST_F(SettingsTest, AServiceOfAPrivateAuthorityAndAProxyAreReached) {
  // A private authority, the service's certificate and a client's, made here.
  const auto made = run_process(
      "/bin/sh",
      {{"-c", "cd '" + dir_ +
                  "' && printf 'subjectAltName=IP:127.0.0.1\\n' > san && "
                  "for n in ca server client; do openssl req -newkey ec -pkeyopt "
                  "ec_paramgen_curve:prime256v1 -nodes -keyout $n.key -out $n.csr -subj /CN=$n "
                  "2>/dev/null; done && openssl x509 -req -in ca.csr -key ca.key -out ca.pem "
                  "-days 2 2>/dev/null && for n in server client; do openssl x509 -req -in $n.csr "
                  "-CA ca.pem -CAkey ca.key -CAcreateserial -extfile san -out $n.pem -days 2 "
                  "2>/dev/null; done"},
       {},
       "",
       30000});
  ASSERT_EQ(made.exit_status, 0) << made.err;
  const std::string ca = dir_ + "/ca.pem";
  FakeService tls(TlsSetup{dir_ + "/server.pem", dir_ + "/server.key", ""});
  FakeService mutual(TlsSetup{dir_ + "/server.pem", dir_ + "/server.key", ca});
  const std::vector<std::string> client = {
      "--ca-file", ca, "--client-cert", dir_ + "/client.pem", "--client-key", dir_ + "/client.key"};
  struct Row {
    FakeService* service;
    std::vector<std::string> flags;
    int status;
    std::string said;
  };
  const std::vector<Row> rows = {
      {&tls, {"--ca-file", ca}, 0, "Login successful!"},
      {&tls, {}, 1, "(trusting the system's certificate store; --ca-file names another"},
      {&tls, {"--ca-file", dir_ + "/client.pem"}, 1, "(trusting the authorities in " + dir_},
      {&mutual, client, 0, "Login successful!"},
  };
  for (const auto& row : rows) {
    row.service->accept_login(key);
    row.service->on("/api/fetch_projects", 200, R"({"projects":[]})");
    auto args = row.flags;
    args.insert(args.begin(), {"--api-url", row.service->base_url() + "/api"});
    args.push_back("FETCH_PROJECTS");
    const auto result = run(args);
    EXPECT_EQ(result.exit_status, row.status) << result.out << result.err;
    EXPECT_NE((result.out + result.err).find(row.said), std::string::npos) << result.out;
  }
  mutual.clear_requests();
  const auto refused =
      run({"--api-url", mutual.base_url() + "/api", "--ca-file", ca, "FETCH_PROJECTS"});
  EXPECT_EQ(refused.exit_status, 1);
  EXPECT_NE(refused.err.find("give --client-cert and --client-key"), std::string::npos)
      << refused.err;
  EXPECT_TRUE(mutual.requests().empty());  // no certificate, no request
  // Through a proxy named by http_proxy: the service's name is the proxy's to resolve.
  FakeService proxy;
  const std::string origin = "http://orvix.invalid:8";
  proxy.on(origin + "/bk/validate-api-key", 200, R"({"user_id":"u","username":"p"})");
  proxy.on(origin + "/api/check_cli_version", 200, R"({"success":true,"message":""})");
  proxy.on(origin + "/api/fetch_projects", 200, R"({"projects":[]})");
  const auto proxied = run_with({"--api-url", origin + "/api", "FETCH_PROJECTS"}, "",
                                {{"ORVIX_API_KEY", key}, {"http_proxy", proxy.base_url()}});
  EXPECT_EQ(proxied.exit_status, 0) << proxied.out << proxied.err;
  EXPECT_EQ(proxy.requests_to(origin + "/api/fetch_projects").size(), 1u);
}

TEST_F(SettingsTest, BashCompletesStatementsOptionsValuesProfilesAndFiles) {
  write("orvix/config", "[default]\n[profile two]\n");
  const std::string ca = write("ca.pem", "");
  const auto script = run({"--completion", "bash"});
  ASSERT_EQ(script.exit_status, 0);
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"orvix FETCH_", "FETCH_DATASETS FETCH_PROJECTS"},
      {"orvix fetch_p", "fetch_projects"},
      {"orvix --profile ", "default two"},
      {"orvix --api-url=http://h:1/a --ou", "--output"},
      {"orvix UPLOAD p f --file_format c", "csv"},
      {"orvix --profile two UPLOAD p f --string_ids", "--string_ids_file_path"},
      {"orvix UPLOAD p " + dir_ + "/ca.p", ca},
      {"orvix SEARCH p d i vector --query_", "--query_vector --query_dataset_name"},
  };
  std::string calls = "source " + write("orvix.bash", script.out) + "\n";
  for (const auto& [line, candidates] : rows) {
    calls +=
        "COMP_LINE='" + line + "'; COMP_POINT=${#COMP_LINE}; _orvix; echo \"${COMPREPLY[*]}\"\n";
  }
  const auto ran =
      run_process("/bin/bash", {{"-c", calls}, {{"XDG_CONFIG_HOME", dir_}}, "", 20000});
  std::istringstream said(ran.out);
  for (const auto& [line, candidates] : rows) {
    std::string offered;
    std::getline(said, offered);
    EXPECT_EQ(offered, candidates) << line << "\n" << ran.err;
  }
}

}  // namespace
