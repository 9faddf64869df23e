#include "rpc/rpc_client.h"

#include <cstdlib>
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

}  // namespace

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

RpcClient rpc_client_open(const std::string& url, const std::string& user, const std::string& password) {
  RpcClient client{url, user, password, std::make_unique<RpcConnection>()};
  RpcConnection& connection = *client.connection;
  connection.endpoint = split_url(url);
  connection.authorization = authorization_line(user, password);
  connection.session = http_session_open(rpc_user_agent);
  return client;
}

std::string rpc_exchange(RpcClient& client, std::string_view method, std::string_view params) {
  if (!client.connection) throw std::runtime_error("RPC client is closed");
  RpcConnection& connection = *client.connection;
  const std::vector<std::string> header_lines = {"Content-Type: application/json", connection.authorization};
  return http_post(*connection.session, connection.endpoint, header_lines, rpc_request_body(method, params),
                   connection.timeouts);
}

std::string rpc_call(RpcClient& client, std::string_view method, std::string_view params) {
  std::string reply = rpc_exchange(client, method, params);
  const std::string message = rpc_error_message(reply);
  if (!message.empty()) throw std::runtime_error("RPC error: " + message);
  return reply;
}

void rpc_client_close(RpcClient& client) { client.connection.reset(); }
