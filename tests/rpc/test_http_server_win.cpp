// The test HTTP server for tests under Wine. A Windows program there cannot start a Linux
// program and read its output, so a launcher on the Linux side starts the server on request
// (tests/windows/http_server_launcher.py; its port comes in VELTRANE_HTTP_LAUNCHER_PORT).
#include <winsock2.h>

#include <array>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include "rpc/test_http_server.h"

namespace test_http {

// WinHTTP opens the connection while it sends the request and announces keep-alive.
const HttpClientTraits platform_http_client{"WinHttpSendRequest failed", "WinHttpReceiveResponse failed",
                                            {"Connection"}, NodeFailureKind::no_answer,
                                            NodeFailureKind::no_answer};

namespace {

// Sends one command line to the launcher and returns its one-line answer.
std::string ask_launcher(const std::string& command) {
  const char* port_text = std::getenv("VELTRANE_HTTP_LAUNCHER_PORT");
  if (port_text == nullptr) {
    throw std::runtime_error("VELTRANE_HTTP_LAUNCHER_PORT is not set: run the Windows tests with scripts/test-windows");
  }
  WSADATA winsock{};
  if (WSAStartup(0x0202, &winsock) != 0) throw std::runtime_error("WSAStartup failed");
  const SOCKET launcher = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(std::atoi(port_text)));
  address.sin_addr.s_addr = htonl(0x7f000001);  // 127.0.0.1
  std::string answer;
  if (connect(launcher, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    const std::string line = command + "\n";
    send(launcher, line.data(), static_cast<int>(line.size()), 0);
    std::array<char, 256> buffer{};
    int count = 0;
    while (answer.find('\n') == std::string::npos &&
           (count = recv(launcher, buffer.data(), static_cast<int>(buffer.size()), 0)) > 0) {
      answer.append(buffer.data(), static_cast<std::size_t>(count));
    }
  }
  closesocket(launcher);
  WSACleanup();
  if (answer.empty()) throw std::runtime_error("no answer from the test HTTP server launcher");
  answer.erase(answer.find_last_not_of("\r\n") + 1);
  return answer;
}

}  // namespace

void TestHttpServer::start(const std::string& script_json) {
  const std::string answer = ask_launcher(std::string("start ") + (ipv6 ? "ipv6 " : "ipv4 ") + script_json);
  std::istringstream words(answer);
  unsigned port_number = 0;
  std::string unix_directory;
  if (!(words >> port_number >> server_id >> std::ws) || !std::getline(words, unix_directory)) {
    throw std::runtime_error("test HTTP server did not start: " + answer);
  }
  port = static_cast<std::uint16_t>(port_number);
  // Wine shows the Linux file system as drive Z:.
  directory = "Z:" + unix_directory;
}

void TestHttpServer::stop() {
  if (server_id <= 0) return;
  ask_launcher("stop " + std::to_string(server_id));
  server_id = -1;
}

}  // namespace test_http
