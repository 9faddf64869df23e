#pragma once
// TLS for the pool connection as a transform of bytes: what the socket received goes in; what
// the pool sent, and what has to go back to the socket, comes out. No socket and no thread, so
// the connection layer drives it the same way whichever TLS library is underneath. The
// handshake counts as done only once the pool's certificate passed its check: the pinned
// fingerprint when one is given, else the chain up to the system's trusted roots and the host
// name. Nothing is ever sent to a pool whose certificate failed.

#include <memory>
#include <optional>
#include <string>
#include <string_view>

struct TlsSettings {
  std::string host;  // the name (or address) the certificate must be for; a name is also sent as SNI
  std::string pinned_fingerprint;  // SHA-256 of the certificate's DER, 64 lower-case hex digits; empty: none
};

struct TlsClient;  // the library's state for one connection
struct TlsClientDeleter {
  void operator()(TlsClient* client) const;
};
using TlsClientHandle = std::unique_ptr<TlsClient, TlsClientDeleter>;

// What one step of the client produced.
struct TlsStep {
  std::string to_network;       // bytes for the socket, in order
  std::string plaintext;        // what the pool sent, decrypted
  bool handshake_done = false;  // the handshake just finished and the certificate passed its check
  std::optional<std::string> failure;  // the connection cannot go on, for this reason
};

// Starts a handshake: the client, and in first the bytes to send (or the failure).
TlsClientHandle tls_client_start(const TlsSettings& settings, TlsStep& first);

// Takes bytes the socket received.
TlsStep tls_client_receive(TlsClient& client, std::string_view received);

// The bytes for the socket that carry this plaintext; only after the handshake.
std::string tls_client_encrypt(TlsClient& client, std::string_view plaintext);
