#include "pool_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "support/test_support.h"

namespace pool_process {

using test_support::ChildProcess;
using test_support::count_occurrences;

namespace {

const std::string source_dir = VELTRANE_SOURCE_DIR;
const std::string binary_dir = VELTRANE_BINARY_DIR;
const std::string miner_path = binary_dir + "/veltrane-miner";
const std::string testpool_path = source_dir + "/tools/testpool/testpool.py";
const std::string control_path = source_dir + "/tools/testpool/control.py";
constexpr double pool_start_seconds = 10;

}  // namespace

TestPool start_pool(std::vector<std::string> options) {
  std::vector<std::string> argv = {"python3", testpool_path, "--port", "0"};
  argv.insert(argv.end(), options.begin(), options.end());
  TestPool pool{std::make_unique<ChildProcess>(argv), "", ""};
  EXPECT_TRUE(pool.process->wait_for_output("listening on stratum+tcp://", pool_start_seconds))
      << pool.process->output();
  const bool tls = std::find(options.begin(), options.end(), "--tls-cert") != options.end();
  if (tls) {
    EXPECT_TRUE(pool.process->wait_for_output("listening on stratum+ssl://", pool_start_seconds))
        << pool.process->output();
  }
  const std::string output = pool.process->output();
  const auto url_after = [&output](const std::string& prefix) {
    const std::size_t start = output.find(prefix);
    if (start == std::string::npos) return std::string();
    return output.substr(start, output.find_first_of(" \r\n", start) - start);
  };
  pool.url = url_after("stratum+tcp://");
  if (tls) pool.tls_url = url_after("stratum+ssl://");
  return pool;
}

TestCertificates make_test_certificates(const std::string& folder) {
  const TestCertificates made{folder + "/ca.pem", folder + "/pool.pem", folder + "/pool.key", ""};
  const std::string key = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
  const std::string commands =
      "(cd '" + folder + "' && printf 'subjectAltName=IP:127.0.0.1\\n' > pool.ext && " +
      "openssl req -x509 " + key + " -keyout ca.key -out ca.pem -days 2 -subj '/CN=Veltrane test CA' && " +
      "openssl req " + key + " -keyout pool.key -out pool.csr -subj '/CN=testpool' && " +
      "openssl x509 -req -in pool.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile pool.ext " +
      "-out pool.pem) 2>&1";
  const test_support::CommandResult result = test_support::run_command(commands);
  EXPECT_EQ(result.exit_code, 0) << result.output;
  const std::string printed =
      test_support::run_command("openssl x509 -in '" + made.cert_file + "' -noout -fingerprint -sha256").output;
  TestCertificates certificates = made;
  const std::size_t equals = printed.find('=');
  if (equals != std::string::npos) certificates.fingerprint = printed.substr(equals + 1, 95);
  EXPECT_EQ(certificates.fingerprint.size(), 95u) << printed;
  return certificates;
}

std::string pool_control(const TestPool& pool, const std::string& command) {
  return test_support::run_command("python3 " + control_path + " --url " + pool.url + " " + command + " 2>&1").output;
}

// A figure from the pool's summary: a Python expression over the summary s, such as len(s['accepted']).
long pool_figure(const TestPool& pool, const std::string& expression) {
  const std::string output =
      test_support::run_command("python3 " + control_path + " --url " + pool.url +
                                " summary | python3 -c \"import json, sys; s = json.load(sys.stdin); print(" +
                                expression + ")\" 2>&1")
          .output;
  return std::atol(output.c_str());
}

// Waits until the pool's figure reaches minimum; false on time-out.
bool wait_for_pool(const TestPool& pool, const std::string& expression, long minimum, double timeout_seconds) {
  for (double waited = 0; waited < timeout_seconds; waited += 0.5) {
    if (pool_figure(pool, expression) >= minimum) return true;
    test_support::run_command("sleep 0.5");
  }
  return pool_figure(pool, expression) >= minimum;
}

std::unique_ptr<ChildProcess> start_miner(const std::vector<std::string>& pool_urls, std::vector<std::string> options,
                                          std::map<std::string, std::string> environment) {
  // The worker and password before the pools: every pool's.
  std::vector<std::string> argv = {miner_path, "-u", worker, "-p", "x", "-G", "256", "-L", "64"};
  for (const std::string& url : pool_urls) {
    argv.push_back("-o");
    argv.push_back(url);
  }
  argv.insert(argv.end(), options.begin(), options.end());
  environment["VELTRANE_DEVICE_TYPE"] = "all";
  environment.emplace("XDG_CACHE_HOME", test_support::miner_cache_home().string());
  // In the sanitizer build, LeakSanitizer's exit scan crashes on the OpenCL runtime's worker
  // threads once device threads have used them; leaks stay checked by the unit tests.
  environment.emplace("ASAN_OPTIONS", "detect_leaks=0");
  return std::make_unique<ChildProcess>(argv, environment, binary_dir);
}

// The "Done." line's figures must be the pool's.
void expect_done_line_matches_pool(const std::string& output, const TestPool& pool) {
  const long accepted = pool_figure(pool, "len(s['accepted'])");
  const long rejected = pool_figure(pool, "len(s['rejected'])");
  EXPECT_NE(output.find(" hashes, " + std::to_string(accepted) + " shares accepted, " + std::to_string(rejected) +
                        " rejected, "),
            std::string::npos)
      << output << "\npool: " << pool_control(pool, "summary");
  EXPECT_EQ(count_occurrences(output, " accepted (device 0, diff "), static_cast<std::size_t>(accepted)) << output;
}

}  // namespace pool_process
