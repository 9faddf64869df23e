#include "work/opencl_mining_device.h"

namespace {

class OpenclMiningDevice final : public MiningDevice {
 public:
  explicit OpenclMiningDevice(GpuMiner* gpu) : gpu_(gpu) {}
  ~OpenclMiningDevice() override { gpu_miner_release(gpu_); }
  OpenclMiningDevice(const OpenclMiningDevice&) = delete;
  OpenclMiningDevice& operator=(const OpenclMiningDevice&) = delete;

  void set_job(const WhirlpoolWords& midstate, const Target256& target) override {
    gpu_set_job(*gpu_, midstate, target);
  }
  bool queue_launch(std::uint64_t tail0, std::uint64_t tail1, std::uint32_t nonce_base, std::uint32_t work_items,
                    std::string& error) override {
    return gpu_queue_launch(*gpu_, tail0, tail1, nonce_base, work_items, error);
  }
  BatchResult collect_launch() override { return gpu_collect_launch(*gpu_); }
  std::uint32_t global_size() const override { return static_cast<std::uint32_t>(gpu_global_size(*gpu_)); }
  std::uint32_t local_size() const override { return static_cast<std::uint32_t>(gpu_local_size(*gpu_)); }
  int launch_slots() const override { return gpu_launch_slots; }

 private:
  GpuMiner* gpu_;
};

}  // namespace

std::unique_ptr<MiningDevice> open_opencl_device(int platform_index, int device_index, std::int32_t global_size,
                                                 std::int32_t local_size, const std::string& kernel_path,
                                                 bool use_kernel_cache, const AutotuneSettings* autotune,
                                                 bool several_devices) {
  GpuMiner* gpu = gpu_miner_create(platform_index, device_index, global_size, local_size, kernel_path,
                                   use_kernel_cache, several_devices);
  if (gpu == nullptr) return nullptr;
  if (autotune != nullptr) gpu_autotune(*gpu, *autotune);
  return std::make_unique<OpenclMiningDevice>(gpu);
}
