// The storage device descriptor as Windows hands it back: an arbitrary 4096-byte area with an
// arbitrary returned length, parsed by the Windows backend's reader.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/win32/scsi_layout.h"

namespace {

std::string ReferenceText(const std::vector<std::uint8_t>& area, std::uint32_t returned,
                          std::uint32_t field) {
  std::uint64_t limit = returned < area.size() ? returned : area.size();
  if (field + 4 > limit) {
    return "";
  }
  std::uint64_t offset = area[field] | (area[field + 1] << 8) | (area[field + 2] << 16) |
                         (std::uint64_t{area[field + 3]} << 24);
  std::string text;
  for (std::uint64_t at = offset; offset != 0 && at < limit && area[at] != 0; ++at) {
    if (text.size() + 1 >= kIdentityTextSize) {
      break;
    }
    text += static_cast<char>(area[at]);
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  InputReader reader(data, size);
  std::uint8_t mode = reader.Byte();
  // Mostly counts near the area's size, sometimes any 32-bit value.
  std::uint32_t returned = (mode & 1) != 0 ? reader.U32() : reader.U16() % 4200u;
  // The layout's fields sit at the front; the rest of the input fills the area from byte 0.
  std::vector<std::uint8_t> area = reader.Take(kDescriptorAreaSize);

  // Exactly the sizes promised, so any read or write past them is caught.
  std::uint8_t* exact = new std::uint8_t[kDescriptorAreaSize];
  std::memcpy(exact, area.data(), kDescriptorAreaSize);
  DriveIdentity* identity = new DriveIdentity;
  std::memset(identity, 0x55, sizeof *identity);
  ParseStorageDescriptor(exact, returned, identity);
  const std::string vendor = ReferenceText(area, returned, kVendorIdOffsetField);
  const std::string product = ReferenceText(area, returned, kProductIdOffsetField);
  FUZZ_CHECK(vendor == identity->vendor, "returned %u: vendor \"%s\", expected \"%s\"", returned,
             identity->vendor, vendor.c_str());
  FUZZ_CHECK(product == identity->product, "returned %u: product \"%s\", expected \"%s\"", returned,
             identity->product, product.c_str());
  FUZZ_CHECK(identity->bus == area[kBusTypeField], "bus %u, expected %u", identity->bus,
             area[kBusTypeField]);
  delete identity;
  delete[] exact;
  return 0;
}
