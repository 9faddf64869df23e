// HTTP transport for Windows, on WinHTTP in synchronous mode. Each request runs on a thread of
// its own while the caller waits for it in short steps, so that a stop request or the overall
// time-out can abandon a request that WinHTTP would otherwise hold on to.
#include <windows.h>
#include <winhttp.h>

#include <array>
#include <condition_variable>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <thread>

#include "rpc/http_transport.h"
#include "rpc/node_failure.h"

struct HttpSession {
  HINTERNET root = nullptr;
};

namespace {

constexpr std::chrono::milliseconds cancel_check_interval{100};
// WinHTTP's own time-outs end the request first; this only covers a request that overruns them.
constexpr std::chrono::milliseconds overrun_allowance{2'000};

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

std::string system_error_text(DWORD code) {
  switch (code) {
    case ERROR_WINHTTP_CANNOT_CONNECT:
      return "connection refused";
    case ERROR_WINHTTP_TIMEOUT:
      return "timed out";
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
      return "host name not resolved";
    case ERROR_WINHTTP_CONNECTION_ERROR:
      return "connection reset";
    default:
      return "WinHTTP error " + std::to_string(code);
  }
}

NodeRequestError request_error(const char* what, NodeFailureKind kind, const HttpEndpoint& endpoint, int status,
                               std::string message) {
  return NodeRequestError(what, NodeFailure{kind, endpoint_text(endpoint), status, 0, std::move(message)});
}

// 0 when the header is absent.
DWORD query_number(HINTERNET request, DWORD query) {
  DWORD value = 0;
  DWORD size = sizeof value;
  if (!WinHttpQueryHeaders(request, query | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX, &value, &size,
                           WINHTTP_NO_HEADER_INDEX)) {
    return 0;
  }
  return value;
}

// Wine's WinHTTP takes a chunked reply whose connection closed before the last chunk for a
// complete one. The node's replies are JSON, so a reply that opens a JSON object or array and
// never closes it is taken as cut short. Other replies are not judged.
bool json_reply_is_unfinished(std::string_view body) {
  const std::size_t start = body.find_first_not_of(" \t\r\n");
  if (start == std::string_view::npos || (body[start] != '{' && body[start] != '[')) return false;
  int depth = 0;
  bool in_string = false;
  for (std::size_t i = start; i < body.size(); ++i) {
    const char c = body[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '{' || c == '[') {
      ++depth;
    } else if ((c == '}' || c == ']') && --depth == 0) {
      return false;
    }
  }
  return true;
}

bool is_chunked(HINTERNET request) {
  std::array<wchar_t, 64> coding{};
  DWORD size = sizeof coding;
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_TRANSFER_ENCODING, WINHTTP_HEADER_NAME_BY_INDEX, coding.data(),
                           &size, WINHTTP_NO_HEADER_INDEX)) {
    return false;
  }
  return std::wstring_view(coding.data()).find(L"chunked") != std::wstring_view::npos;
}

int to_int_ms(std::chrono::milliseconds duration) { return static_cast<int>(duration.count()); }

// What a request needs, copied: an abandoned request outlives its caller's arguments.
struct RequestPlan {
  HINTERNET root;
  HttpEndpoint endpoint;
  std::string header_block;
  std::string body;
  HttpTimeouts timeouts;
};

HttpReply run_request(const RequestPlan& plan) {
  const HttpEndpoint& endpoint = plan.endpoint;
  // Declared before the request so that it is closed after it.
  const InternetHandle connection(WinHttpConnect(plan.root, utf8_to_utf16(endpoint.host).c_str(), endpoint.port, 0));
  if (!connection) {
    throw request_error("WinHttpConnect failed", NodeFailureKind::unreachable, endpoint, 0,
                        system_error_text(GetLastError()));
  }

  const DWORD flags = endpoint.secure ? WINHTTP_FLAG_SECURE : 0;
  const InternetHandle request(WinHttpOpenRequest(connection.get(), L"POST", utf8_to_utf16(endpoint.path).c_str(),
                                                  nullptr, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
  if (!request) {
    throw request_error("WinHttpOpenRequest failed", NodeFailureKind::unreachable, endpoint, 0,
                        system_error_text(GetLastError()));
  }
  const int connect_ms = to_int_ms(plan.timeouts.connect);
  const int request_ms = to_int_ms(plan.timeouts.request);
  WinHttpSetTimeouts(request.get(), connect_ms, connect_ms, request_ms, request_ms);

  // The result is not checked: a request without these headers still reaches the node, whose
  // reply then says what is wrong.
  WinHttpAddRequestHeaders(request.get(), utf8_to_utf16(plan.header_block).c_str(), static_cast<DWORD>(-1),
                           WINHTTP_ADDREQ_FLAG_ADD);

  const DWORD body_length = static_cast<DWORD>(plan.body.size());
  if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, const_cast<char*>(plan.body.data()),
                          body_length, body_length, 0)) {
    throw request_error("WinHttpSendRequest failed", NodeFailureKind::unreachable, endpoint, 0,
                        system_error_text(GetLastError()));
  }
  if (!WinHttpReceiveResponse(request.get(), nullptr)) {
    const DWORD error = GetLastError();
    // WinHTTP says the same of a connection closed without a reply and of one that answered in
    // another protocol, and shows neither's bytes: both are told as no answer.
    const NodeFailureKind kind = error == ERROR_WINHTTP_TIMEOUT ? NodeFailureKind::unreachable : NodeFailureKind::no_answer;
    throw request_error("WinHttpReceiveResponse failed", kind, endpoint, 0, system_error_text(error));
  }

  HttpReply reply;
  reply.status = static_cast<int>(query_number(request.get(), WINHTTP_QUERY_STATUS_CODE));
  // A reply that announces more than the cap is refused before any of it is read.
  const DWORD announced_length = query_number(request.get(), WINHTTP_QUERY_CONTENT_LENGTH);
  if (announced_length > max_reply_bytes) {
    throw request_error("HTTP reply too large", NodeFailureKind::too_large, endpoint, reply.status,
                        "larger than 64 MiB");
  }
  std::array<char, 4096> buffer{};
  DWORD count = 0;
  do {
    if (!WinHttpReadData(request.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &count)) {
      throw request_error("HTTP reply cut short", NodeFailureKind::cut_short, endpoint, reply.status,
                          system_error_text(GetLastError()));
    }
    if (count > max_reply_bytes - reply.body.size()) {
      throw request_error("HTTP reply too large", NodeFailureKind::too_large, endpoint, reply.status,
                          "larger than 64 MiB");
    }
    reply.body.append(buffer.data(), count);
  } while (count > 0);
  if (announced_length != 0 && reply.body.size() < announced_length) {
    throw request_error("HTTP reply cut short", NodeFailureKind::cut_short, endpoint, reply.status,
                        std::to_string(reply.body.size()) + " of " + std::to_string(announced_length) + " bytes");
  }
  if (is_chunked(request.get()) && json_reply_is_unfinished(reply.body)) {
    throw request_error("HTTP reply cut short", NodeFailureKind::cut_short, endpoint, reply.status,
                        "the chunked reply ended before its last chunk");
  }
  return reply;
}

// One request's outcome, shared by the caller and the thread that runs the request. A caller
// that gives up leaves the thread to finish, and close its handles, on its own.
struct Exchange {
  std::mutex mutex;
  std::condition_variable finished_signal;
  bool finished = false;
  std::optional<HttpReply> reply;
  std::optional<NodeRequestError> error;
};

void run_exchange(const std::shared_ptr<Exchange>& exchange, const RequestPlan& plan) noexcept {
  std::optional<HttpReply> reply;
  std::optional<NodeRequestError> error;
  try {
    reply = run_request(plan);
  } catch (const NodeRequestError& request_failure) {
    error = request_failure;
  } catch (const std::bad_alloc&) {
    error = request_error("HTTP reply too large", NodeFailureKind::too_large, plan.endpoint, 0, "out of memory");
  } catch (const std::exception& other) {
    error = request_error("HTTP receive failed", NodeFailureKind::no_answer, plan.endpoint, 0, other.what());
  }
  const std::lock_guard lock(exchange->mutex);
  exchange->reply = std::move(reply);
  exchange->error = std::move(error);
  exchange->finished = true;
  exchange->finished_signal.notify_all();
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

HttpReply http_post(HttpSession& session, const HttpEndpoint& endpoint, const std::vector<std::string>& header_lines,
                    std::string_view body, const HttpTimeouts& timeouts, const std::atomic<bool>* cancel) {
  RequestPlan plan{session.root, endpoint, "", std::string(body), timeouts};
  for (const std::string& line : header_lines) plan.header_block += line + "\r\n";

  auto exchange = std::make_shared<Exchange>();
  std::thread([exchange, plan = std::move(plan)] { run_exchange(exchange, plan); }).detach();

  const auto deadline = std::chrono::steady_clock::now() + timeouts.connect + timeouts.request + overrun_allowance;
  std::unique_lock lock(exchange->mutex);
  while (!exchange->finished) {
    if (cancel != nullptr && cancel->load()) {
      throw request_error("HTTP request abandoned", NodeFailureKind::abandoned, endpoint, 0, "");
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      throw request_error("WinHttpReceiveResponse failed", NodeFailureKind::unreachable, endpoint, 0, "timed out");
    }
    exchange->finished_signal.wait_for(lock, cancel_check_interval);
  }
  if (exchange->error) throw *exchange->error;
  return std::move(*exchange->reply);
}
