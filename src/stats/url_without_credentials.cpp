#include "stats/url_without_credentials.h"

#include <algorithm>

std::string url_without_credentials(std::string_view url) {
  const std::size_t scheme_end = url.find("://");
  const std::size_t authority_start = scheme_end == std::string_view::npos ? 0 : scheme_end + 3;
  const std::size_t authority_end = std::min(url.find('/', authority_start), url.size());
  const std::size_t at = url.substr(0, authority_end).rfind('@');
  if (at == std::string_view::npos || at < authority_start) return std::string(url);
  return std::string(url.substr(0, authority_start)) + std::string(url.substr(at + 1));
}
