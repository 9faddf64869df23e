#include "rpc/rpc_client.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "rpc/json_scan.h"

namespace {

constexpr std::string_view http_scheme = "http://";
constexpr std::string_view https_scheme = "https://";

// The port text as atol reads it, cut to its low 16 bits.
std::uint16_t parse_port(std::string_view text) {
  const std::string terminated(text);
  return static_cast<std::uint16_t>(std::strtol(terminated.c_str(), nullptr, 10));
}

constexpr int http_unauthorized = 401;

bool is_success_status(int status) { return status >= 200 && status < 300; }

HttpTimeouts timeouts_for(const RpcConnection& connection, RpcRequestKind kind) {
  if (kind != RpcRequestKind::tip_poll) return connection.timeouts;
  return {std::min(connection.timeouts.connect, connection.tip_poll_timeout),
          std::min(connection.timeouts.request, connection.tip_poll_timeout)};
}

HttpReply post_envelope(RpcConnection& connection, const std::string& body, RpcRequestKind kind) {
  if (!connection.cookie_path.empty() && connection.authorization.empty()) {
    connection.authorization = authorization_from_cookie(connection.cookie_path);
  }
  const std::vector<std::string> header_lines = {"Content-Type: application/json", connection.authorization};
  const std::atomic<bool>* cancel = kind == RpcRequestKind::submission ? nullptr : connection.stop_requested;
  return http_post(*connection.session, connection.endpoint, header_lines, body, timeouts_for(connection, kind),
                   cancel);
}

}  // namespace

std::string endpoint_text(const HttpEndpoint& endpoint) {
  const bool ipv6_literal = endpoint.host.find(':') != std::string::npos;
  return (ipv6_literal ? "[" + endpoint.host + "]" : endpoint.host) + ":" + std::to_string(endpoint.port);
}

HttpEndpoint split_url(std::string_view url) {
  HttpEndpoint endpoint;
  if (url.starts_with(https_scheme)) {
    url.remove_prefix(https_scheme.size());
    endpoint.secure = true;
  } else if (url.starts_with(http_scheme)) {
    url.remove_prefix(http_scheme.size());
  }

  std::string_view authority = url;
  const std::size_t slash = url.find('/');
  if (slash != std::string_view::npos) {
    authority = url.substr(0, slash);
    endpoint.path = std::string(url.substr(slash));
  }

  std::string_view host = authority;
  std::string_view port_text;
  bool has_port = false;
  const std::size_t bracket_end = authority.starts_with('[') ? authority.find(']') : std::string_view::npos;
  if (bracket_end != std::string_view::npos) {
    host = authority.substr(1, bracket_end - 1);
    const std::string_view rest = authority.substr(bracket_end + 1);
    has_port = rest.starts_with(':');
    if (has_port) port_text = rest.substr(1);
  } else if (const std::size_t colon = authority.find(':'); colon != std::string_view::npos) {
    host = authority.substr(0, colon);
    port_text = authority.substr(colon + 1);
    has_port = true;
  }
  endpoint.host = std::string(host);
  endpoint.port = has_port ? parse_port(port_text) : (endpoint.secure ? 443 : 80);
  return endpoint;
}

std::string base64_encode(std::string_view bytes) {
  static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t remaining = bytes.size() - i;
    std::uint32_t group = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
    if (remaining > 1) group |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
    if (remaining > 2) group |= static_cast<unsigned char>(bytes[i + 2]);
    text += alphabet[(group >> 18) & 63];
    text += alphabet[(group >> 12) & 63];
    text += remaining > 1 ? alphabet[(group >> 6) & 63] : '=';
    text += remaining > 2 ? alphabet[group & 63] : '=';
  }
  return text;
}

std::string authorization_line(std::string_view user, std::string_view password) {
  return "Authorization: Basic " + base64_encode(std::string(user) + ":" + std::string(password));
}

std::string rpc_request_body(std::string_view method, std::string_view params) {
  std::string body = "{\"jsonrpc\":\"1.0\",\"id\":\"m\",\"method\":\"";
  body += method;
  body += "\",\"params\":";
  body += params;
  body += "}";
  return body;
}

std::string rpc_error_message(std::string_view reply) {
  // The reply's own "error" member decides by its value: null (or no member) is no error, an
  // object carries the message. Words inside other members ("nullified") play no part.
  return json_get_member(json_member_object(reply, "error"), "message");
}

std::string authorization_from_cookie(const std::string& cookie_path) {
  std::ifstream file(cookie_path, std::ios::binary);
  const bool opened = file.is_open();
  std::string credentials;
  if (opened) std::getline(file, credentials);
  if (!credentials.empty() && credentials.back() == '\r') credentials.pop_back();
  if (credentials.empty()) {
    NodeFailure failure{NodeFailureKind::cookie_unreadable, cookie_path, 0, 0, opened ? "empty" : "cannot open it"};
    throw NodeRequestError("cannot read the cookie file", std::move(failure));
  }
  const std::size_t colon = credentials.find(':');
  if (colon == std::string::npos) return authorization_line(credentials, "");
  return authorization_line(credentials.substr(0, colon), credentials.substr(colon + 1));
}

RpcClient rpc_client_open(const std::string& url, const std::string& user, const std::string& password,
                          RpcClientOptions options) {
  RpcClient client{url, user, password, std::make_unique<RpcConnection>()};
  RpcConnection& connection = *client.connection;
  connection.endpoint = split_url(url);
  connection.cookie_path = std::move(options.cookie_path);
  // With a cookie file the line is made from the file, at the first request.
  if (connection.cookie_path.empty()) connection.authorization = authorization_line(user, password);
  connection.stop_requested = options.stop_requested;
  connection.session = http_session_open(rpc_user_agent);
  return client;
}

HttpReply rpc_exchange(RpcClient& client, std::string_view method, std::string_view params, RpcRequestKind kind) {
  if (!client.connection) throw std::runtime_error("RPC client is closed");
  RpcConnection& connection = *client.connection;
  const std::string body = rpc_request_body(method, params);
  HttpReply reply = post_envelope(connection, body, kind);
  if (reply.status == http_unauthorized && !connection.cookie_path.empty()) {
    // The node restarted and wrote new credentials: take them and ask again at once.
    const std::string refused = connection.authorization;
    connection.authorization = authorization_from_cookie(connection.cookie_path);
    if (connection.authorization != refused) reply = post_envelope(connection, body, kind);
  }
  return reply;
}

std::string rpc_call(RpcClient& client, std::string_view method, std::string_view params, RpcRequestKind kind) {
  HttpReply reply = rpc_exchange(client, method, params, kind);
  const std::string endpoint = endpoint_text(client.connection->endpoint);
  const std::string message = rpc_error_message(reply.body);
  if (!message.empty()) {
    const std::int64_t code = json_get_member_int(json_member_object(reply.body, "error"), "code");
    throw NodeRequestError("RPC error: " + message,
                           NodeFailure{NodeFailureKind::rpc_error, endpoint, reply.status, code, message});
  }
  if (!is_success_status(reply.status)) {
    throw NodeRequestError("HTTP status " + std::to_string(reply.status),
                           NodeFailure{NodeFailureKind::http_status, endpoint, reply.status, 0, ""});
  }
  return std::move(reply.body);
}

void rpc_client_close(RpcClient& client) { client.connection.reset(); }
