#pragma once
// Checks made before any work starts, so that a mistake in the set-up is reported at once with
// what to do about it, instead of surfacing later as a silent retry or a bare failure.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "driver/miner_options.h"

// Decodes the payout address; when it does not decode, prints "Bad address" and the reason and
// returns false.
bool check_payout_address(const std::string& address);

// The URL without a "user:password@" part, for the console.
std::string url_without_credentials(std::string_view url);

struct KernelFileChoice {
  std::string path;                              // the kernel file set-up is to read
  std::vector<std::filesystem::path> looked_at;  // full paths tried, when -k was not given
  bool found = true;                             // false when none of them could be opened
};

// With -k, that path as given. Without it, the kernel file in the working directory when it is
// there, else the one beside the executable (a program started from another folder finds its
// kernel); when neither exists, the default name, which set-up then reports it cannot read.
KernelFileChoice choose_kernel_file(const MinerOptions& options, const std::filesystem::path& executable);

// The console line for a kernel file that was not found: every path looked at, and what to do.
std::string kernel_not_found_hint(const KernelFileChoice& choice);
