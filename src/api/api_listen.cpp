#include "api/api_listen.h"

#include <algorithm>
#include <cctype>

namespace {

bool all_digits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// Dotted IPv4 with four decimal parts of at most 255.
bool is_ipv4_literal(std::string_view text) {
  int parts = 0;
  while (true) {
    const std::size_t dot = text.find('.');
    const std::string_view part = text.substr(0, dot);
    if (!all_digits(part) || part.size() > 3 || std::stoi(std::string(part)) > 255) return false;
    ++parts;
    if (dot == std::string_view::npos) break;
    text.remove_prefix(dot + 1);
  }
  return parts == 4;
}

bool is_ipv6_literal(std::string_view text) {
  return text.find(':') != std::string_view::npos &&
         std::all_of(text.begin(), text.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.'; });
}

// The host part of a Host header: brackets of an IPv6 literal and the port removed.
std::string_view host_of_header(std::string_view header) {
  if (header.starts_with('[')) {
    const std::size_t close = header.find(']');
    return close == std::string_view::npos ? std::string_view() : header.substr(1, close - 1);
  }
  return header.substr(0, header.find(':'));
}

}  // namespace

std::optional<ApiListenAddress> parse_api_listen(std::string_view text) {
  ApiListenAddress address;
  std::string_view port_text = text;
  if (text.starts_with('[')) {
    const std::size_t close = text.find("]:");
    if (close == std::string_view::npos || close == 1) return std::nullopt;
    address.host = std::string(text.substr(1, close - 1));
    port_text = text.substr(close + 2);
  } else if (const std::size_t colon = text.rfind(':'); colon != std::string_view::npos) {
    if (colon == 0 || text.substr(0, colon).find(':') != std::string_view::npos) return std::nullopt;
    address.host = std::string(text.substr(0, colon));
    port_text = text.substr(colon + 1);
  } else {
    address.host = std::string(api_default_host);
  }
  if (!all_digits(port_text) || port_text.size() > 5) return std::nullopt;
  address.port = std::stoi(std::string(port_text));
  if (address.port > 65535) return std::nullopt;
  return address;
}

bool is_loopback_host(std::string_view host) {
  return equal_ignoring_case(host, "localhost") || host == "::1" || (is_ipv4_literal(host) && host.starts_with("127."));
}

std::string format_host_port(std::string_view host, int port) {
  const std::string shown = host.find(':') != std::string_view::npos ? "[" + std::string(host) + "]" : std::string(host);
  return shown + ":" + std::to_string(port);
}

bool host_header_allowed(std::string_view host_header, std::string_view bound_host) {
  const std::string_view host = host_of_header(host_header);
  if (host.empty()) return false;
  if (is_loopback_host(host) || equal_ignoring_case(host, bound_host)) return true;
  const bool every_interface = bound_host == "0.0.0.0" || bound_host == "::";
  return every_interface && (is_ipv4_literal(host) || is_ipv6_literal(host));
}
