// HTTP transport for POSIX systems, on libcurl's easy interface.
#include <curl/curl.h>

#include <new>
#include <optional>
#include <stdexcept>

#include "rpc/http_transport.h"
#include "rpc/node_failure.h"

struct HttpSession {
  std::string user_agent;
};

namespace {

struct CurlEasyDeleter {
  void operator()(CURL* curl) const noexcept { curl_easy_cleanup(curl); }
};
struct CurlListDeleter {
  void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;
using CurlList = std::unique_ptr<curl_slist, CurlListDeleter>;

// The body as it arrives, and why the write callback stopped the transfer, if it did.
struct ReplySink {
  std::string body;
  const char* refusal = nullptr;
  bool headers_came = false;  // an HTTP status line arrived; without one the reply is not HTTP
  std::optional<NodeFailureKind> not_http;  // what answered instead, judged by its first bytes
};

// Counts the reply's header lines; returning the whole length lets the transfer go on.
std::size_t note_header(char*, std::size_t size, std::size_t count, void* sink_pointer) noexcept {
  static_cast<ReplySink*>(sink_pointer)->headers_came = true;
  return size * count;
}

// Returning less than it was given makes libcurl end the transfer with CURLE_WRITE_ERROR;
// nothing may be thrown through libcurl's C frames.
std::size_t append_to_reply(char* data, std::size_t size, std::size_t count, void* sink_pointer) noexcept {
  auto& sink = *static_cast<ReplySink*>(sink_pointer);
  const std::size_t length = size * count;
  if (!sink.headers_came) {
    // Bytes without a status line (libcurl takes them as HTTP/0.9): another protocol answers.
    sink.not_http = kind_of_reply_that_is_not_http(std::string_view(data, length));
    return 0;
  }
  if (length > max_reply_bytes - sink.body.size()) {
    sink.refusal = "larger than 64 MiB";
    return 0;
  }
  try {
    sink.body.append(data, length);
  } catch (const std::bad_alloc&) {
    sink.refusal = "out of memory";
    return 0;
  }
  return length;
}

// Called about once a second even while nothing arrives; non-zero abandons the transfer.
int check_cancel(void* cancel, curl_off_t, curl_off_t, curl_off_t, curl_off_t) noexcept {
  return cancel != nullptr && static_cast<const std::atomic<bool>*>(cancel)->load() ? 1 : 0;
}

void append_header(CurlList& list, const std::string& line) {
  curl_slist* extended = curl_slist_append(list.get(), line.c_str());
  if (extended == nullptr) throw std::runtime_error("HTTP send failed");
  // The returned head is the old list one line longer, or a new list for the first line.
  (void)list.release();
  list.reset(extended);
}

std::string request_url(const HttpEndpoint& endpoint) {
  return (endpoint.secure ? "https://" : "http://") + endpoint_text(endpoint) + endpoint.path;
}

bool is_connect_failure(CURLcode code) {
  switch (code) {
    case CURLE_URL_MALFORMAT:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
      return true;
    default:
      return false;
  }
}

// The failed transfer as a NodeRequestError; the brief text names the step the same way on every
// platform, the failure says why in the user's terms.
NodeRequestError transfer_error(CURLcode code, const char* curl_message, const ReplySink& sink, long status,
                                bool connected, const HttpEndpoint& endpoint) {
  NodeFailure failure;
  failure.endpoint = endpoint_text(endpoint);
  failure.http_status = static_cast<int>(status);
  failure.message = curl_message[0] != '\0' ? curl_message : curl_easy_strerror(code);
  const char* what = "HTTP receive failed";
  if (sink.not_http) {
    failure.kind = *sink.not_http;
    failure.message.clear();
    what = "HTTP reply not HTTP";
  } else if (code == CURLE_ABORTED_BY_CALLBACK) {
    failure.kind = NodeFailureKind::abandoned;
    failure.message.clear();
    what = "HTTP request abandoned";
  } else if (sink.refusal != nullptr || code == CURLE_FILESIZE_EXCEEDED) {
    failure.kind = NodeFailureKind::too_large;
    failure.message = sink.refusal != nullptr ? sink.refusal : "larger than 64 MiB";
    what = "HTTP reply too large";
  } else if (status != 0) {
    // The reply headers came, the rest of the reply did not.
    failure.kind = NodeFailureKind::cut_short;
    what = "HTTP reply cut short";
  } else if (code == CURLE_SEND_ERROR) {
    failure.kind = NodeFailureKind::no_answer;
    what = "HTTP send failed";
  } else if (is_connect_failure(code) || !connected || code == CURLE_OPERATION_TIMEDOUT) {
    failure.kind = NodeFailureKind::unreachable;
    what = connected ? "HTTP receive failed" : "HTTP connect failed";
  } else {
    failure.kind = NodeFailureKind::no_answer;
  }
  return NodeRequestError(what, std::move(failure));
}

}  // namespace

void HttpSessionDeleter::operator()(HttpSession* session) const noexcept {
  delete session;
  curl_global_cleanup();
}

HttpSessionHandle http_session_open(std::string_view user_agent) {
  if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) throw std::runtime_error("HTTP open failed");
  return HttpSessionHandle(new HttpSession{std::string(user_agent)});
}

HttpReply http_post(HttpSession& session, const HttpEndpoint& endpoint, const std::vector<std::string>& header_lines,
                    std::string_view body, const HttpTimeouts& timeouts, const std::atomic<bool>* cancel) {
  // A fresh handle per call: every request goes over its own connection.
  const CurlEasy curl(curl_easy_init());
  if (!curl) throw std::runtime_error("HTTP connect failed");

  CurlList headers;
  for (const std::string& line : header_lines) append_header(headers, line);
  // Empty values remove curl's own Accept header and the Expect: 100-continue round trip
  // that it would otherwise wait for before sending a large block.
  append_header(headers, "Accept:");
  append_header(headers, "Expect:");

  ReplySink sink;
  char curl_message[CURL_ERROR_SIZE] = "";
  const std::string url = request_url(endpoint);
  CURL* handle = curl.get();
  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle, CURLOPT_PATH_AS_IS, 1L);
  // The node is normally on loopback; a proxy from the environment must not intercept it.
  curl_easy_setopt(handle, CURLOPT_PROXY, "");
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, curl_message);
  curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeouts.connect.count()));
  curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(timeouts.request.count()));
  curl_easy_setopt(handle, CURLOPT_USERAGENT, session.user_agent.c_str());
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(handle, CURLOPT_POST, 1L);
  curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, append_to_reply);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, note_header);
  curl_easy_setopt(handle, CURLOPT_HEADERDATA, &sink);
  // A reply without a status line reaches append_to_reply, which tells what answered instead
  // (a Stratum pool, typically) rather than libcurl's bare "HTTP/0.9 when not allowed".
  curl_easy_setopt(handle, CURLOPT_HTTP09_ALLOWED, 1L);
  // A reply that announces more than the cap is refused before any of it is read.
  curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(max_reply_bytes));
  curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, check_cancel);
  curl_easy_setopt(handle, CURLOPT_XFERINFODATA, const_cast<std::atomic<bool>*>(cancel));
  curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);

  const CURLcode result = curl_easy_perform(handle);
  long status = 0;
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
  if (result == CURLE_OK) return HttpReply{static_cast<int>(status), std::move(sink.body)};

  curl_off_t connect_time = 0;
  curl_easy_getinfo(handle, CURLINFO_CONNECT_TIME_T, &connect_time);
  throw transfer_error(result, curl_message, sink, status, connect_time > 0, endpoint);
}
