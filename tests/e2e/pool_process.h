#pragma once
// The local test pool and the real executable mining for it, for the end-to-end tests.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "e2e/e2e_support.h"
#include "support/child_process.h"

namespace pool_process {

inline const std::string worker = "tvtr1ql58gw3ecx3a9y5fstph3q44qrv6x73uh09k7tf.rig1";
// Kernel builds on a CPU device take a while; every wait allows for that.
inline constexpr double miner_start_seconds = 90;
inline constexpr double share_seconds = 60;

struct TestPool {
  std::unique_ptr<test_support::ChildProcess> process;
  std::string url;
  std::string tls_url;  // the same pool over TLS, when it was started with a certificate
};

// tools/testpool/testpool.py on a free port, with further options.
TestPool start_pool(std::vector<std::string> options = {});

// Certificates made for a test with the openssl command: a test CA, and a certificate for
// 127.0.0.1 that it signed.
struct TestCertificates {
  std::string ca_file;    // the CA's certificate, for a trust store
  std::string cert_file;  // the pool's certificate, for 127.0.0.1 only
  std::string key_file;
  std::string fingerprint;  // the pool certificate's SHA-256 as OpenSSL prints it (upper case, colons)
};
TestCertificates make_test_certificates(const std::string& folder);

// The output of tools/testpool/control.py COMMAND.
std::string pool_control(const TestPool& pool, const std::string& command);

// A figure from the pool's summary: a Python expression over the summary s, such as len(s['accepted']).
long pool_figure(const TestPool& pool, const std::string& expression);

// Waits until the pool's figure reaches minimum; false on time-out.
bool wait_for_pool(const TestPool& pool, const std::string& expression, long minimum, double timeout_seconds);

// The miner in the build folder for these pools as worker, with small work sizes on any device.
std::unique_ptr<test_support::ChildProcess> start_miner(const std::vector<std::string>& pool_urls,
                                                        std::vector<std::string> options = {},
                                                        std::map<std::string, std::string> environment = {});

// Stopping the miner and reading its output as for the solo tests.
using e2e::expect_in_order;
using e2e::interrupt;

// The "Done." line's figures and the share lines must be the pool's.
void expect_done_line_matches_pool(const std::string& output, const TestPool& pool);

}  // namespace pool_process
