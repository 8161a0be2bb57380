// The storage device descriptor as a platform hands it back: an arbitrary 4096-byte area with an
// arbitrary returned length, read directly and through the drive list and the bus-type query.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "base/console.h"
#include "bridge/drives.h"
#include "fuzz/fuzz_support.h"
#include "sim/platform_sim.h"

namespace {

std::string ReferenceText(const std::vector<std::uint8_t>& area, std::uint32_t returned,
                          std::uint32_t field, std::size_t size) {
  std::uint64_t limit = returned < area.size() ? returned : area.size();
  if (size == 0 || field + 4 > limit) {
    return "";
  }
  std::uint64_t offset = area[field] | (area[field + 1] << 8) | (area[field + 2] << 16) |
                         (std::uint64_t{area[field + 3]} << 24);
  std::string text;
  for (std::uint64_t at = offset; offset != 0 && at < limit && area[at] != 0; ++at) {
    if (text.size() + 1 >= size) {
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
  std::uint32_t field = (mode & 2) != 0 ? kProductIdOffsetField : kVendorIdOffsetField;
  std::size_t textSize = reader.Byte();
  std::int32_t number = reader.Byte() % kListedDrives;
  bool queryFails = (mode & 4) != 0;
  // The layout's fields sit at the front; the rest of the input fills the area from byte 0.
  std::vector<std::uint8_t> area = reader.Take(kDescriptorAreaSize);

  // Exactly the sizes promised, so any read or write past them is caught.
  std::uint8_t* exact = new std::uint8_t[kDescriptorAreaSize];
  std::memcpy(exact, area.data(), kDescriptorAreaSize);
  char* text = new char[textSize == 0 ? 1 : textSize];
  ReadDescriptorText(exact, returned, field, text, textSize);
  if (textSize > 0) {
    std::string expected = ReferenceText(area, returned, field, textSize);
    FUZZ_CHECK(std::strlen(text) == expected.size() && expected == text,
               "returned %u field %u size %zu: \"%s\", expected \"%s\"", returned, field, textSize,
               text, expected.c_str());
  }
  delete[] text;
  delete[] exact;

  SimReset();
  SimDrive drive;
  drive.number = number;
  drive.queryFails = queryFails;
  drive.rawDescriptor = area;
  drive.rawReturned = returned;
  Sim().drives.push_back(drive);

  std::FILE* out = std::tmpfile();
  SetConsoleStreams(out, nullptr);
  ListDrives();
  std::string listed = ReadAll(out);
  SetConsoleStreams(nullptr, nullptr);
  std::fclose(out);
  std::string expected;
  if (!queryFails) {
    char head[8];
    std::snprintf(head, sizeof head, "%2u: ", static_cast<unsigned>(number));
    expected = head + ReferenceText(area, returned, kVendorIdOffsetField, kDescriptorAreaSize) +
               ReferenceText(area, returned, kProductIdOffsetField, kDescriptorAreaSize) + "\n";
  }
  FUZZ_CHECK(listed == expected, "list \"%s\", expected \"%s\"", listed.c_str(), expected.c_str());

  std::uint8_t bus = queryFails ? 0 : area[kBusTypeField];
  FUZZ_CHECK(QueryBusType(number) == bus, "bus of drive %d", number);
  // The whole number picks the drive: one 0x300 higher is another, absent one.
  FUZZ_CHECK(QueryBusType(number + 0x300) == 0, "bus of drive %d + 0x300", number);
  FUZZ_CHECK(QueryBusType((number + 1) % kListedDrives) == 0, "bus of an absent drive");
  FUZZ_CHECK(Sim().openHandles == 0, "%d handles left open", Sim().openHandles);
  return 0;
}
