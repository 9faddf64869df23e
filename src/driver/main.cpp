#include <cstdio>
#include <cstring>

namespace {

void print_usage(const char* program_name) {
  std::printf("Veltrane OpenCL Miner v1.1 - Whirlpool-512 (AMD/Intel/NVIDIA)\n\n");
  std::printf("Usage: %s [options]\n\n", program_name);
  std::printf("  -o URL       RPC URL (default http://127.0.0.1:8899)\n");
  std::printf("  -u USER      RPC username\n");
  std::printf("  -p PASS      RPC password\n");
  std::printf("  -a ADDRESS   Mining payout address\n");
  std::printf("  -P PLATFORM  OpenCL platform ID (default 0)\n");
  std::printf("  -d DEVICE    OpenCL device ID (default 0)\n");
  std::printf("  -G GLOBAL    Global work size (default 524288)\n");
  std::printf("  -L LOCAL     Local work size (default 256)\n");
  std::printf("  -k PATH      Path to .cl kernel file\n");
  std::printf("  --benchmark  Benchmark mode\n");
  std::printf("  --list-gpus  List OpenCL devices\n");
  std::printf("  -h           Show help\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  print_usage(argc > 0 ? argv[0] : "veltrane-miner");
  return 0;
}
