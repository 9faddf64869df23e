#define SECURITY_WIN32
#include <windows.h>
#include <security.h>
#include <schannel.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "stratum/tls_client.h"
#include "stratum/tls_fingerprint.h"

// Windows' own TLS (SChannel). The certificate is checked by the miner after the handshake, with
// the same rules as elsewhere: the pin, else the chain to the Windows certificate store's roots
// and the host name.

struct TlsClient {
  TlsSettings settings;
  CredHandle credentials{};
  CtxtHandle context{};
  bool have_credentials = false;
  bool have_context = false;
  bool handshake_done = false;
  std::string incoming;  // received bytes not yet used
  SecPkgContext_StreamSizes sizes{};

  TlsClient() = default;
  TlsClient(const TlsClient&) = delete;
  TlsClient& operator=(const TlsClient&) = delete;
  ~TlsClient() {
    if (have_context) DeleteSecurityContext(&context);
    if (have_credentials) FreeCredentialsHandle(&credentials);
  }
};

void TlsClientDeleter::operator()(TlsClient* client) const { delete client; }

namespace {

constexpr unsigned long context_requests = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                           ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                                           ISC_REQ_MANUAL_CRED_VALIDATION;

std::string status_text(long status) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(status));
  return text;
}

std::wstring wide(const std::string& text) {
  if (text.empty()) return {};
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring result(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), length);
  return result;
}

// The chain's verdict in words, for the console.
std::string chain_error_text(unsigned long error) {
  switch (error) {
    case static_cast<unsigned long>(CERT_E_UNTRUSTEDROOT):
      return "its root is not trusted";
    case static_cast<unsigned long>(CERT_E_CHAINING):
      return "no chain to a trusted root";
    case static_cast<unsigned long>(CERT_E_CN_NO_MATCH):
      return "hostname mismatch";
    case static_cast<unsigned long>(CERT_E_EXPIRED):
      return "expired";
    case static_cast<unsigned long>(CERT_E_WRONG_USAGE):
      return "not for servers";
    case static_cast<unsigned long>(CRYPT_E_REVOKED):
      return "revoked";
    default:
      return "chain check error " + status_text(static_cast<long>(error));
  }
}

// The chain up to the store's trusted roots, checked for a server of this name.
std::optional<std::string> chain_problem(const CERT_CONTEXT* certificate, const std::string& host) {
  CERT_CHAIN_PARA chain_parameters{};
  chain_parameters.cbSize = sizeof chain_parameters;
  const CERT_CHAIN_CONTEXT* chain = nullptr;
  if (!CertGetCertificateChain(nullptr, certificate, nullptr, certificate->hCertStore, &chain_parameters, 0, nullptr,
                               &chain)) {
    return "no chain could be built (error " + status_text(static_cast<long>(GetLastError())) + ")";
  }
  std::wstring server_name = wide(host);
  SSL_EXTRA_CERT_CHAIN_POLICY_PARA server{};
  server.cbSize = sizeof server;
  server.dwAuthType = AUTHTYPE_SERVER;
  server.pwszServerName = server_name.data();
  CERT_CHAIN_POLICY_PARA policy{};
  policy.cbSize = sizeof policy;
  policy.pvExtraPolicyPara = &server;
  CERT_CHAIN_POLICY_STATUS status{};
  status.cbSize = sizeof status;
  const bool checked = CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status) != FALSE;
  CertFreeCertificateChain(chain);
  if (!checked) return "the chain could not be checked";
  if (status.dwError == 0) return std::nullopt;
  return chain_error_text(status.dwError);
}

// Why the certificate the pool presented is not taken, if it is not; a refusal names the
// fingerprint, so that a user who trusts the certificate can pin it.
std::optional<std::string> certificate_problem(TlsClient& client) {
  const CERT_CONTEXT* certificate = nullptr;
  if (QueryContextAttributesW(&client.context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate) != SEC_E_OK ||
      certificate == nullptr) {
    return "the pool presented no TLS certificate";
  }
  const std::string fingerprint = certificate_fingerprint(certificate->pbCertEncoded, certificate->cbCertEncoded);
  std::optional<std::string> problem;
  if (!client.settings.pinned_fingerprint.empty()) {
    if (fingerprint != client.settings.pinned_fingerprint) {
      problem = "TLS certificate does not match the pinned fingerprint; the pool's certificate has SHA-256 " +
                fingerprint;
    }
  } else if (const auto chain = chain_problem(certificate, client.settings.host)) {
    problem = "TLS certificate refused: " + *chain + "; its SHA-256 fingerprint is " + fingerprint +
              " (--tls-fingerprint pins it, if you trust it)";
  }
  CertFreeCertificateContext(certificate);
  return problem;
}

void append_token(SecBuffer& token, std::string& to_network) {
  if (token.pvBuffer == nullptr) return;
  to_network.append(static_cast<const char*>(token.pvBuffer), token.cbBuffer);
  FreeContextBuffer(token.pvBuffer);
  token.pvBuffer = nullptr;
}

// One handshake call with what was received so far (none at the start).
long handshake_call(TlsClient& client, TlsStep& step, bool first) {
  std::wstring target = wide(client.settings.host);
  SecBuffer in_buffers[2]{};
  in_buffers[0].BufferType = SECBUFFER_TOKEN;
  in_buffers[0].pvBuffer = client.incoming.data();
  in_buffers[0].cbBuffer = static_cast<unsigned long>(client.incoming.size());
  in_buffers[1].BufferType = SECBUFFER_EMPTY;
  SecBufferDesc in{SECBUFFER_VERSION, 2, in_buffers};
  SecBuffer out_buffer{};
  out_buffer.BufferType = SECBUFFER_TOKEN;
  SecBufferDesc out{SECBUFFER_VERSION, 1, &out_buffer};
  unsigned long attributes = 0;
  const long status = InitializeSecurityContextW(
      &client.credentials, first ? nullptr : &client.context, target.data(), context_requests, 0, 0,
      first ? nullptr : &in, 0, first ? &client.context : nullptr, &out, &attributes, nullptr);
  if (first && (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_OK)) client.have_context = true;
  append_token(out_buffer, step.to_network);
  if (first || status == SEC_E_INCOMPLETE_MESSAGE) return status;
  // What the call did not use stays for the next one.
  if (in_buffers[1].BufferType == SECBUFFER_EXTRA && in_buffers[1].cbBuffer > 0) {
    client.incoming.erase(0, client.incoming.size() - in_buffers[1].cbBuffer);
  } else if (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_OK) {
    client.incoming.clear();
  }
  return status;
}

// Decrypts every whole record received.
void decrypt_incoming(TlsClient& client, TlsStep& step) {
  while (!client.incoming.empty()) {
    SecBuffer buffers[4]{};
    buffers[0].BufferType = SECBUFFER_DATA;
    buffers[0].pvBuffer = client.incoming.data();
    buffers[0].cbBuffer = static_cast<unsigned long>(client.incoming.size());
    for (int index = 1; index < 4; ++index) buffers[index].BufferType = SECBUFFER_EMPTY;
    SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
    const long status = DecryptMessage(&client.context, &description, 0, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE) return;
    if (status == SEC_I_CONTEXT_EXPIRED) {
      step.failure = "the pool closed the connection";
      return;
    }
    if (status != SEC_E_OK) {
      step.failure = status == SEC_I_RENEGOTIATE ? std::string("the pool asked for a new TLS handshake")
                                                 : "TLS failed: error " + status_text(status);
      return;
    }
    // Decrypted in place: the text and the rest are taken before the buffer is reused.
    std::string extra;
    for (const SecBuffer& buffer : buffers) {
      if (buffer.BufferType == SECBUFFER_DATA) step.plaintext.append(static_cast<const char*>(buffer.pvBuffer), buffer.cbBuffer);
      if (buffer.BufferType == SECBUFFER_EXTRA) extra.assign(static_cast<const char*>(buffer.pvBuffer), buffer.cbBuffer);
    }
    client.incoming = std::move(extra);
  }
}

TlsStep advance(TlsClient& client, TlsStep step) {
  while (!client.handshake_done) {
    const long status = handshake_call(client, step, false);
    if (status == SEC_E_INCOMPLETE_MESSAGE || (status == SEC_I_CONTINUE_NEEDED && client.incoming.empty())) {
      return step;
    }
    if (status == SEC_I_CONTINUE_NEEDED) continue;  // more of the pool's handshake is here already
    if (status != SEC_E_OK) {
      step.failure = "TLS handshake failed: error " + status_text(status) + " (is the port a TLS port?)";
      return step;
    }
    if (auto problem = certificate_problem(client)) {
      step.failure = std::move(problem);
      return step;
    }
    if (QueryContextAttributesW(&client.context, SECPKG_ATTR_STREAM_SIZES, &client.sizes) != SEC_E_OK) {
      step.failure = "TLS cannot go on: no record sizes";
      return step;
    }
    client.handshake_done = step.handshake_done = true;
  }
  decrypt_incoming(client, step);
  return step;
}

}  // namespace

TlsClientHandle tls_client_start(const TlsSettings& settings, TlsStep& first) {
  first = {};
  TlsClientHandle client(new TlsClient);
  client->settings = settings;
  SCHANNEL_CRED credentials{};
  credentials.dwVersion = SCHANNEL_CRED_VERSION;
  credentials.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
  // The certificate is checked after the handshake (pin or chain), by certificate_problem.
  credentials.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
  wchar_t package[] = UNISP_NAME_W;
  const long status = AcquireCredentialsHandleW(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &credentials,
                                                nullptr, nullptr, &client->credentials, nullptr);
  if (status != SEC_E_OK) {
    first.failure = "TLS cannot start: error " + status_text(status);
    return nullptr;
  }
  client->have_credentials = true;
  const long started = handshake_call(*client, first, true);
  if (started != SEC_I_CONTINUE_NEEDED) {
    first.failure = "TLS cannot start: error " + status_text(started);
    return nullptr;
  }
  return client;
}

TlsStep tls_client_receive(TlsClient& client, std::string_view received) {
  client.incoming.append(received);
  return advance(client, {});
}

std::string tls_client_encrypt(TlsClient& client, std::string_view plaintext) {
  std::string to_network;
  while (!plaintext.empty()) {
    const std::size_t part = std::min<std::size_t>(plaintext.size(), client.sizes.cbMaximumMessage);
    std::vector<char> record(client.sizes.cbHeader + part + client.sizes.cbTrailer);
    std::memcpy(record.data() + client.sizes.cbHeader, plaintext.data(), part);
    SecBuffer buffers[4]{};
    buffers[0] = {client.sizes.cbHeader, SECBUFFER_STREAM_HEADER, record.data()};
    buffers[1] = {static_cast<unsigned long>(part), SECBUFFER_DATA, record.data() + client.sizes.cbHeader};
    buffers[2] = {client.sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + client.sizes.cbHeader + part};
    buffers[3].BufferType = SECBUFFER_EMPTY;
    SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
    if (EncryptMessage(&client.context, 0, &description, 0) != SEC_E_OK) return {};  // nothing half sent
    for (int index = 0; index < 3; ++index) {
      to_network.append(static_cast<const char*>(buffers[index].pvBuffer), buffers[index].cbBuffer);
    }
    plaintext.remove_prefix(part);
  }
  return to_network;
}
