#pragma once
// Checks made before any work starts, so that a mistake in the set-up is reported at once with
// what to do about it, instead of surfacing later as a silent retry or a bare failure.

#include <string>
#include <string_view>

#include "driver/miner_options.h"

// Decodes the payout address; when it does not decode, prints "Bad address" and the reason and
// returns false.
bool check_payout_address(const std::string& address);

// The URL without a "user:password@" part, for the console.
std::string url_without_credentials(std::string_view url);
