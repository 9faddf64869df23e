#pragma once
// A URL as it may be shown to a person: on the console, in the API's documents.

#include <string>
#include <string_view>

// The URL without a "user:password@" part; an "@" after the host (in the path) stays.
std::string url_without_credentials(std::string_view url);
