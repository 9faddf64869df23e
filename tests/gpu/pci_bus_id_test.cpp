// A device's PCI address from each way a driver tells it, in the form /sys and nvidia-smi use.

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <optional>
#include <string>

#include "gpu/pci_bus_id.h"

namespace {

TEST(PciBusId, FormatsDomainBusDeviceFunctionInHex) {
  const struct {
    PciAddress address;
    std::optional<std::string> text;
  } cases[] = {
      {{0, 3, 0, 0}, "0000:03:00.0"},
      {{0x10, 0xc1, 0x1f, 7}, "0010:c1:1f.7"},
      {{0xffff, 0xff, 0x1f, 7}, "ffff:ff:1f.7"},
      {{0x10000, 0, 0, 0}, std::nullopt},  // numbers past PCI's ranges come from a confused driver
      {{0, 0x100, 0, 0}, std::nullopt},
      {{0, 0, 0x20, 0}, std::nullopt},
      {{0, 0, 0, 8}, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.value_or("out of range"));
    EXPECT_EQ(format_pci_address(c.address), c.text);
  }
}

TEST(PciBusId, NvidiaSlotHoldsDeviceAndFunction) {
  // Slot 0x0a: device 1, function 2.
  EXPECT_EQ(format_pci_address(pci_address_from_nvidia(1, 0x41, 0x0a)), "0001:41:01.2");
  EXPECT_EQ(format_pci_address(pci_address_from_nvidia(0, 3, 0)), "0000:03:00.0");
}

TEST(PciBusId, AmdTopologyIsReadOnlyForPcie) {
  std::array<unsigned char, amd_topology_size> answer{};
  const std::uint32_t pcie = 1;
  std::memcpy(answer.data(), &pcie, sizeof pcie);
  answer[20] = 0xee;  // padding before the bus, never read
  answer[21] = 0x0c;
  answer[22] = 0x02;
  answer[23] = 0x01;
  const std::optional<PciAddress> address = pci_address_from_amd_topology(answer);
  ASSERT_TRUE(address.has_value());
  EXPECT_EQ(format_pci_address(*address), "0000:0c:02.1");

  const std::uint32_t other_type = 2;
  std::memcpy(answer.data(), &other_type, sizeof other_type);
  EXPECT_FALSE(pci_address_from_amd_topology(answer).has_value());
}

}  // namespace
