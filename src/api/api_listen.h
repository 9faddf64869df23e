#pragma once
// Where the monitoring API listens, and which Host headers it answers.

#include <optional>
#include <string>
#include <string_view>

inline constexpr std::string_view api_default_host = "127.0.0.1";

struct ApiListenAddress {
  std::string host;  // a name or address; an IPv6 literal without its brackets
  int port = 0;      // 0: a free port that the system picks
};

// "[HOST:]PORT", IPv6 as "[::1]:PORT". Without a host, 127.0.0.1. Nothing for an empty host,
// a port that is not all digits or above 65535, or anything after the port.
std::optional<ApiListenAddress> parse_api_listen(std::string_view text);

// True for names and addresses that only this machine reaches: localhost, 127.0.0.0/8, ::1.
bool is_loopback_host(std::string_view host);

// "host:port", with brackets around an IPv6 literal.
std::string format_host_port(std::string_view host, int port);

// Whether a request's Host header may be answered: localhost, a loopback address, the bound
// host, and, when the API listens on every interface (0.0.0.0 or ::), any IP address. A name
// other than these is refused, so that a web page whose name was rebound to this machine's
// address cannot read the API.
bool host_header_allowed(std::string_view host_header, std::string_view bound_host);
