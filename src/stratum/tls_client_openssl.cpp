#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "stratum/tls_client.h"
#include "stratum/tls_fingerprint.h"

struct TlsClient {
  TlsSettings settings;
  SSL_CTX* context = nullptr;
  SSL* ssl = nullptr;
  BIO* network_in = nullptr;   // what the socket received; owned by ssl
  BIO* network_out = nullptr;  // what the socket is to send; owned by ssl
  bool handshake_done = false;

  TlsClient() = default;
  TlsClient(const TlsClient&) = delete;
  TlsClient& operator=(const TlsClient&) = delete;
  ~TlsClient() {
    SSL_free(ssl);
    SSL_CTX_free(context);
  }
};

void TlsClientDeleter::operator()(TlsClient* client) const { delete client; }

namespace {

// Large enough for a whole TLS record.
constexpr int transfer_chunk = 16 * 1024 + 512;

// The reason of OpenSSL's oldest queued error, and the queue emptied.
std::string openssl_error_text() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "the connection ended during the handshake";
  const char* reason = ERR_reason_error_string(code);
  return reason != nullptr ? reason : "OpenSSL error " + std::to_string(code);
}

void take_output(TlsClient& client, std::string& to_network) {
  char buffer[transfer_chunk];
  int count = 0;
  while ((count = BIO_read(client.network_out, buffer, sizeof buffer)) > 0) {
    to_network.append(buffer, static_cast<std::size_t>(count));
  }
}

// Why the certificate the pool presented is not taken, if it is not. A failure names the
// fingerprint, so that a user who trusts the certificate can pin it.
std::optional<std::string> certificate_problem(const TlsClient& client) {
  X509* certificate = SSL_get0_peer_certificate(client.ssl);
  if (certificate == nullptr) return "the pool presented no TLS certificate";
  unsigned char* der = nullptr;
  const int length = i2d_X509(certificate, &der);
  if (length <= 0) return "the pool's TLS certificate cannot be read";
  const std::string fingerprint = certificate_fingerprint(der, static_cast<std::size_t>(length));
  OPENSSL_free(der);
  if (!client.settings.pinned_fingerprint.empty()) {
    if (fingerprint == client.settings.pinned_fingerprint) return std::nullopt;
    return "TLS certificate does not match the pinned fingerprint; the pool's certificate has SHA-256 " + fingerprint;
  }
  const long verdict = SSL_get_verify_result(client.ssl);
  if (verdict == X509_V_OK) return std::nullopt;
  return "TLS certificate refused: " + std::string(X509_verify_cert_error_string(verdict)) +
         "; its SHA-256 fingerprint is " + fingerprint + " (--tls-fingerprint pins it, if you trust it)";
}

// Moves the handshake on, then decrypts what there is.
TlsStep advance(TlsClient& client, TlsStep step) {
  if (!client.handshake_done) {
    const int result = SSL_do_handshake(client.ssl);
    if (result != 1) {
      const int error = SSL_get_error(client.ssl, result);
      if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
        // A plain TCP port answers a handshake with text that is no TLS record.
        step.failure = "TLS handshake failed: " + openssl_error_text() + " (is the port a TLS port?)";
      }
      take_output(client, step.to_network);
      return step;
    }
    if (auto problem = certificate_problem(client)) {
      step.failure = std::move(problem);
      return step;  // nothing more goes to this pool
    }
    client.handshake_done = step.handshake_done = true;
  }
  char buffer[transfer_chunk];
  while (true) {
    const int count = SSL_read(client.ssl, buffer, sizeof buffer);
    if (count > 0) {
      step.plaintext.append(buffer, static_cast<std::size_t>(count));
      continue;
    }
    const int error = SSL_get_error(client.ssl, count);
    if (error == SSL_ERROR_ZERO_RETURN) {
      step.failure = "the pool closed the connection";
    } else if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
      step.failure = "TLS failed: " + openssl_error_text();
    }
    break;
  }
  take_output(client, step.to_network);
  return step;
}

}  // namespace

TlsClientHandle tls_client_start(const TlsSettings& settings, TlsStep& first) {
  first = {};
  ERR_clear_error();
  TlsClientHandle client(new TlsClient);
  client->settings = settings;
  client->context = SSL_CTX_new(TLS_client_method());
  if (client->context == nullptr) {
    first.failure = "TLS cannot start: " + openssl_error_text();
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(client->context, TLS1_2_VERSION);
  // The system's trusted roots (SSL_CERT_FILE and SSL_CERT_DIR name others). The handshake runs to
  // its end whatever the verdict, which is read afterwards: a pinned certificate needs no chain,
  // and a refusal can then name the certificate's fingerprint.
  SSL_CTX_set_default_verify_paths(client->context);
  SSL_CTX_set_verify(client->context, SSL_VERIFY_NONE, nullptr);
  client->ssl = SSL_new(client->context);
  client->network_in = BIO_new(BIO_s_mem());
  client->network_out = BIO_new(BIO_s_mem());
  if (client->ssl == nullptr || client->network_in == nullptr || client->network_out == nullptr) {
    BIO_free(client->network_in);
    BIO_free(client->network_out);
    first.failure = "TLS cannot start: " + openssl_error_text();
    return nullptr;
  }
  SSL_set_bio(client->ssl, client->network_in, client->network_out);
  SSL_set_connect_state(client->ssl);
  // An address is checked against the certificate's IP entries; a name against its DNS names,
  // and sent as SNI (which carries names only).
  X509_VERIFY_PARAM* checks = SSL_get0_param(client->ssl);
  if (X509_VERIFY_PARAM_set1_ip_asc(checks, settings.host.c_str()) != 1) {
    X509_VERIFY_PARAM_set_hostflags(checks, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    X509_VERIFY_PARAM_set1_host(checks, settings.host.c_str(), settings.host.size());
    // SSL_set_tlsext_host_name, spelled out: the macro's C cast does not pass the warnings.
    SSL_ctrl(client->ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
             const_cast<char*>(settings.host.c_str()));
  }
  ERR_clear_error();
  first = advance(*client, {});
  if (first.failure) return nullptr;
  return client;
}

TlsStep tls_client_receive(TlsClient& client, std::string_view received) {
  if (!received.empty()) BIO_write(client.network_in, received.data(), static_cast<int>(received.size()));
  return advance(client, {});
}

std::string tls_client_encrypt(TlsClient& client, std::string_view plaintext) {
  std::string to_network;
  if (!plaintext.empty()) SSL_write(client.ssl, plaintext.data(), static_cast<int>(plaintext.size()));
  take_output(client, to_network);
  return to_network;
}
