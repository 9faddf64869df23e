#include "gpu/pci_bus_id.h"

#include <cstdio>
#include <cstring>

std::optional<std::string> format_pci_address(const PciAddress& address) {
  if (address.domain > 0xffff || address.bus > 0xff || address.device > 0x1f || address.function > 7) {
    return std::nullopt;
  }
  char text[16];
  std::snprintf(text, sizeof text, "%04x:%02x:%02x.%x", address.domain, address.bus, address.device, address.function);
  return text;
}

PciAddress pci_address_from_nvidia(std::uint32_t domain, std::uint32_t bus, std::uint32_t slot) {
  return {domain, bus, slot >> 3, slot & 7};
}

std::optional<PciAddress> pci_address_from_amd_topology(const std::array<unsigned char, amd_topology_size>& answer) {
  constexpr std::uint32_t pcie_type = 1;
  std::uint32_t type = 0;
  std::memcpy(&type, answer.data(), sizeof type);
  if (type != pcie_type) return std::nullopt;
  return PciAddress{0, answer[21], answer[22], answer[23]};
}
