// The sensor sources: amdgpu's hwmon files in a made-up sysfs tree, and NVML as a fake library
// built beside the tests, its figures set through the environment.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "sensors/amdgpu_hwmon.h"
#include "sensors/device_sensors.h"
#include "sensors/nvml_library.h"
#include "support/test_support.h"

namespace {

using test_support::set_environment_variable;
using test_support::TemporaryDirectory;

const std::string card = "0000:03:00.0";

// A card's hwmon folder under root with these files (name to contents).
void write_hwmon(const std::filesystem::path& root, const std::map<std::string, std::string>& files) {
  const std::filesystem::path folder = root / "bus" / "pci" / "devices" / card / "hwmon" / "hwmon4";
  std::filesystem::create_directories(folder);
  for (const auto& [name, contents] : files) std::ofstream(folder / name) << contents;
}

TEST(AmdgpuHwmon, ReadsEachFigureAndLeavesOutWhatIsMissingOrGarbage) {
  const struct {
    const char* name;
    std::map<std::string, std::string> files;
    SensorReading expected;
  } cases[] = {
      {"every file",
       {{"temp1_input", "65000\n"}, {"pwm1", "102\n"}, {"pwm1_max", "255\n"}, {"power1_average", "120500000\n"},
        {"freq1_input", "1850000000\n"}},
       {65, 40, 120.5, 1850}},
      {"power from power1_input, no pwm1_max (255)",
       {{"temp1_input", "48500"}, {"pwm1", "255"}, {"power1_input", "98000000"}},
       {48.5, 100, 98, std::nullopt}},
      {"garbage and implausible values",
       {{"temp1_input", "hot\n"}, {"pwm1", "300\n"}, {"pwm1_max", "255\n"}, {"power1_average", "-5\n"},
        {"freq1_input", "12abc\n"}},
       {}},
      {"temperature alone", {{"temp1_input", "71000"}}, {71, std::nullopt, std::nullopt, std::nullopt}},
      {"empty files", {{"temp1_input", ""}, {"pwm1", ""}}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const TemporaryDirectory root;
    write_hwmon(root.path, c.files);
    EXPECT_EQ(read_amdgpu_hwmon(root.path, card), c.expected);
  }
}

TEST(AmdgpuHwmon, CardWithoutFilesOrThatLosesThemReadsAsNothing) {
  const TemporaryDirectory root;
  EXPECT_EQ(read_amdgpu_hwmon(root.path, card), SensorReading{}) << "no such device";
  EXPECT_EQ(read_amdgpu_hwmon("/no/such/root", card), SensorReading{});
  write_hwmon(root.path, {{"temp1_input", "60000"}, {"pwm1", "51"}});
  EXPECT_EQ(read_amdgpu_hwmon(root.path, card).temperature_c, 60);
  // The driver went away while mining: the files disappear.
  std::filesystem::remove_all(root.path / "bus");
  EXPECT_EQ(read_amdgpu_hwmon(root.path, card), SensorReading{});
}

// The fake library's figures, set for one test and cleared after it.
class FakeNvmlTest : public testing::Test {
 protected:
  void TearDown() override {
    set_environment_variable("FAKE_NVML_DEVICES", nullptr);
    set_environment_variable("FAKE_NVML_INIT", nullptr);
  }
};

TEST_F(FakeNvmlTest, ReadsTheDeviceAtItsBusIdWithWhatItSupports) {
  set_environment_variable("FAKE_NVML_DEVICES", "0000:03:00.0=65,40,120500,1850;0000:04:00.0=70,,,");
  NvmlLibrary nvml;
  ASSERT_TRUE(load_nvml(nvml, FAKE_NVML_PATH));
  EXPECT_EQ(read_nvml(nvml, "0000:03:00.0"), (SensorReading{65, 40, 120.5, 1850}));
  EXPECT_EQ(read_nvml(nvml, "0000:04:00.0"), (SensorReading{70, std::nullopt, std::nullopt, std::nullopt}));
  EXPECT_EQ(read_nvml(nvml, "0000:05:00.0"), SensorReading{}) << "a device NVML does not know";
  // The card fell off the bus while mining.
  set_environment_variable("FAKE_NVML_DEVICES", "0000:04:00.0=70,,,");
  EXPECT_EQ(read_nvml(nvml, "0000:03:00.0"), SensorReading{});
  unload_nvml(nvml);
  EXPECT_EQ(read_nvml(nvml, "0000:04:00.0"), SensorReading{}) << "nothing once unloaded";
}

TEST_F(FakeNvmlTest, MissingOrFailingLibraryLoadsNothing) {
  NvmlLibrary nvml;
  EXPECT_FALSE(load_nvml(nvml, "no-such-nvml-library"));
  EXPECT_EQ(nvml.library.handle, nullptr);
  set_environment_variable("FAKE_NVML_INIT", "fail");
  EXPECT_FALSE(load_nvml(nvml, FAKE_NVML_PATH)) << "no NVIDIA driver running";
  EXPECT_EQ(nvml.library.handle, nullptr);
}

TEST_F(FakeNvmlTest, DeviceSensorsTryNvmlThenHwmonAndNeverAnUnknownBus) {
  set_environment_variable("FAKE_NVML_DEVICES", "0000:04:00.0=55,30,90000,1500");
  const TemporaryDirectory root;
  write_hwmon(root.path, {{"temp1_input", "61000"}});
  DeviceSensors sensors;
  open_device_sensors(sensors, {root.path, FAKE_NVML_PATH, {}});
  EXPECT_EQ(read_device_sensors(sensors, "0000:04:00.0").temperature_c, 55);
  EXPECT_EQ(read_device_sensors(sensors, card).temperature_c, 61);
  EXPECT_EQ(read_device_sensors(sensors, "unknown"), SensorReading{});
  close_device_sensors(sensors);

  DeviceSensors without_nvml;
  open_device_sensors(without_nvml, {root.path, "no-such-nvml-library", {}});
  EXPECT_EQ(read_device_sensors(without_nvml, card).temperature_c, 61);
  close_device_sensors(without_nvml);
}

TEST(SensorTestSettings, SetWhatTheTextNamesAndRefuseUnknownNames) {
  SensorSettings settings;
  std::string problem;
  ASSERT_TRUE(apply_sensor_test_settings(settings, "sysfs_root=/tmp/sys;bus_ids=0000:03:00.0,0000:04:00.0", problem));
  EXPECT_EQ(settings.sysfs_root, "/tmp/sys");
  EXPECT_EQ(settings.nvml_path, nvml_library_name);
  EXPECT_EQ(settings.bus_ids, (std::vector<std::string>{"0000:03:00.0", "0000:04:00.0"}));
  EXPECT_FALSE(apply_sensor_test_settings(settings, "nvml=/x.so;temperature=90", problem));
  EXPECT_EQ(problem, "unknown setting \"temperature\"");
  EXPECT_EQ(settings.nvml_path, nvml_library_name) << "nothing changes on a refusal";
}

}  // namespace
