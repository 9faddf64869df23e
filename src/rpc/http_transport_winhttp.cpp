// HTTP transport for Windows, on WinHTTP in synchronous mode.
#include <windows.h>
#include <winhttp.h>

#include <array>
#include <stdexcept>

#include "rpc/http_transport.h"

struct HttpSession {
  HINTERNET root = nullptr;
};

namespace {

struct InternetHandleDeleter {
  void operator()(void* handle) const noexcept { WinHttpCloseHandle(handle); }
};
using InternetHandle = std::unique_ptr<void, InternetHandleDeleter>;

// Host, path and header texts are UTF-8 in the program and UTF-16 for WinHTTP. Ill-formed
// input is not refused: whatever the converter yields is used.
std::wstring utf8_to_utf16(std::string_view text) {
  if (text.empty()) return {};
  const int input_length = static_cast<int>(text.size());
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), input_length, nullptr, 0);
  if (length <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), input_length, wide.data(), length);
  return wide;
}

}  // namespace

void HttpSessionDeleter::operator()(HttpSession* session) const noexcept {
  if (session->root != nullptr) WinHttpCloseHandle(session->root);
  delete session;
}

HttpSessionHandle http_session_open(std::string_view user_agent) {
  HINTERNET root = WinHttpOpen(utf8_to_utf16(user_agent).c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                               WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  if (root == nullptr) throw std::runtime_error("WinHttpOpen failed");
  return HttpSessionHandle(new HttpSession{root});
}

// WinHTTP's own time-outs (60 s to connect, 30 s per send and receive) already bound a node
// that never answers, so the timeouts argument is not applied here.
std::string http_post(HttpSession& session, const HttpEndpoint& endpoint, const std::vector<std::string>& header_lines,
                      std::string_view body, const HttpTimeouts& /*timeouts*/) {
  // Declared before the request so that it is closed after it.
  const InternetHandle connection(
      WinHttpConnect(session.root, utf8_to_utf16(endpoint.host).c_str(), endpoint.port, 0));
  if (!connection) throw std::runtime_error("WinHttpConnect failed");

  const DWORD flags = endpoint.secure ? WINHTTP_FLAG_SECURE : 0;
  const InternetHandle request(WinHttpOpenRequest(connection.get(), L"POST", utf8_to_utf16(endpoint.path).c_str(),
                                                  nullptr, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
  if (!request) throw std::runtime_error("WinHttpOpenRequest failed");

  std::string header_block;
  for (const std::string& line : header_lines) header_block += line + "\r\n";
  // The result is not checked: a request without these headers still reaches the node, whose
  // reply then says what is wrong.
  WinHttpAddRequestHeaders(request.get(), utf8_to_utf16(header_block).c_str(), static_cast<DWORD>(-1),
                           WINHTTP_ADDREQ_FLAG_ADD);

  const DWORD body_length = static_cast<DWORD>(body.size());
  if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, const_cast<char*>(body.data()),
                          body_length, body_length, 0)) {
    throw std::runtime_error("WinHttpSendRequest failed");
  }
  if (!WinHttpReceiveResponse(request.get(), nullptr)) throw std::runtime_error("WinHttpReceiveResponse failed");

  // A failed read ends the body silently: the reply is what had arrived.
  std::string reply;
  std::array<char, 4096> buffer{};
  DWORD count = 0;
  while (WinHttpReadData(request.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &count) && count > 0) {
    reply.append(buffer.data(), count);
  }
  return reply;
}
