#include "stratum/tls_client.h"

// A build without a TLS library: every TLS pool is refused at start-up, and this is never
// reached from there.

struct TlsClient {};

void TlsClientDeleter::operator()(TlsClient* client) const { delete client; }

bool tls_available() { return false; }

TlsClientHandle tls_client_start(const TlsSettings&, TlsStep& first) {
  first = {};
  first.failure = "TLS pools are not supported in this build yet";
  return nullptr;
}

TlsStep tls_client_receive(TlsClient&, std::string_view) {
  TlsStep step;
  step.failure = "TLS pools are not supported in this build yet";
  return step;
}

std::string tls_client_encrypt(TlsClient&, std::string_view) { return {}; }
