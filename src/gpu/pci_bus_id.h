#pragma once
// A device's PCI address as "domain:bus:device.function" ("0000:03:00.0", hexadecimal), the form
// Linux's /sys/bus/pci/devices and nvidia-smi use, so that a user finds the card it names. Drivers
// tell it in three ways; each has its decoder here, apart from the OpenCL queries.

#include <array>
#include <cstdint>
#include <optional>
#include <string>

// What a device shows where no driver tells its address (PoCL's CPU device, for one).
inline constexpr const char* unknown_bus_id = "unknown";

struct PciAddress {
  std::uint32_t domain = 0;
  std::uint32_t bus = 0;
  std::uint32_t device = 0;
  std::uint32_t function = 0;
};

// "0000:03:00.0"; nothing for numbers outside PCI's ranges (domain 16 bits, bus 8, device 5,
// function 3), which a driver that filled the answer wrongly would give.
std::optional<std::string> format_pci_address(const PciAddress& address);

// The NVIDIA query's slot number holds the device in its upper bits and the function in the
// lowest three.
PciAddress pci_address_from_nvidia(std::uint32_t domain, std::uint32_t bus, std::uint32_t slot);

// The AMD topology answer: 24 bytes, a type (4 bytes, native order; 1 for PCIe), then bus,
// device and function in bytes 21 to 23. It carries no domain: 0. Nothing for another type.
inline constexpr std::size_t amd_topology_size = 24;
std::optional<PciAddress> pci_address_from_amd_topology(const std::array<unsigned char, amd_topology_size>& answer);
