// HTTP transport for POSIX systems, on libcurl's easy interface.
#include <curl/curl.h>

#include <stdexcept>

#include "rpc/http_transport.h"

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

std::size_t append_to_reply(char* data, std::size_t size, std::size_t count, void* reply) {
  static_cast<std::string*>(reply)->append(data, size * count);
  return size * count;
}

void append_header(CurlList& list, const std::string& line) {
  curl_slist* extended = curl_slist_append(list.get(), line.c_str());
  if (extended == nullptr) throw std::runtime_error("HTTP send failed");
  // The returned head is the old list one line longer, or a new list for the first line.
  (void)list.release();
  list.reset(extended);
}

std::string request_url(const HttpEndpoint& endpoint) {
  const bool ipv6_literal = endpoint.host.find(':') != std::string::npos;
  const std::string host = ipv6_literal ? "[" + endpoint.host + "]" : endpoint.host;
  return (endpoint.secure ? "https://" : "http://") + host + ":" + std::to_string(endpoint.port) + endpoint.path;
}

// The step that failed, named the same way on every platform.
const char* failed_step(CURLcode code, bool connected) {
  switch (code) {
    case CURLE_SEND_ERROR:
      return "HTTP send failed";
    case CURLE_URL_MALFORMAT:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
      return "HTTP connect failed";
    default:
      return connected ? "HTTP receive failed" : "HTTP connect failed";
  }
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

std::string http_post(HttpSession& session, const HttpEndpoint& endpoint, const std::vector<std::string>& header_lines,
                      std::string_view body, const HttpTimeouts& timeouts) {
  // A fresh handle per call: every request goes over its own connection.
  const CurlEasy curl(curl_easy_init());
  if (!curl) throw std::runtime_error("HTTP connect failed");

  CurlList headers;
  for (const std::string& line : header_lines) append_header(headers, line);
  // Empty values remove curl's own Accept header and the Expect: 100-continue round trip
  // that it would otherwise wait for before sending a large block.
  append_header(headers, "Accept:");
  append_header(headers, "Expect:");

  std::string reply;
  const std::string url = request_url(endpoint);
  CURL* handle = curl.get();
  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle, CURLOPT_PATH_AS_IS, 1L);
  // The node is normally on loopback; a proxy from the environment must not intercept it.
  curl_easy_setopt(handle, CURLOPT_PROXY, "");
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeouts.connect.count()));
  curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(timeouts.request.count()));
  curl_easy_setopt(handle, CURLOPT_USERAGENT, session.user_agent.c_str());
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(handle, CURLOPT_POST, 1L);
  curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, append_to_reply);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &reply);

  const CURLcode result = curl_easy_perform(handle);
  long status = 0;
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
  // Once the reply headers have arrived, a body cut short still yields what came.
  if (result == CURLE_OK || status != 0) return reply;

  curl_off_t connect_time = 0;
  curl_easy_getinfo(handle, CURLINFO_CONNECT_TIME_T, &connect_time);
  throw std::runtime_error(failed_step(result, connect_time > 0));
}
