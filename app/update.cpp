#include <cstdio>

#include "app/files.h"
#include "app/input.h"
#include "app/jobs.h"
#include "base/console.h"
#include "bridge/commands.h"

namespace {

// Only a file of exactly the sector's size is written: anything else is some other file, or part
// of one, and its first 512 bytes would be firmware or zeros in the settings sector. Says what a
// file of `size` bytes looks like, and what to do.
bool SectorSized(const BridgeInfo& info, std::uint64_t size) {
  if (size == kNvramSectorSize) {
    return true;
  }
  Print("jm_nvram.bin holds %llu bytes, not 512: nothing written\n",
        static_cast<unsigned long long>(size));
  // What a dump of this bridge keeps of its firmware.
  const std::uint64_t firmware =
      (info.firmwareUnits < kMaxUnits ? info.firmwareUnits : kMaxUnits) * 256u;
  const char* looks =
      size == firmware + kNvramSectorSize ? "is a whole dump: the sector is its last 512 bytes"
      : size == firmware ? "is a firmware-only dump (N), which holds no sector: dump without N"
                         : "must hold the sector alone: the last 512 bytes of a whole dump";
  PrintError("jm_nvram.bin %s: tail -c 512 %s.bin > jm_nvram.bin\n", looks, info.imageName);
  return false;
}

unsigned CountDiffering(const std::uint8_t* a, const std::uint8_t* b) {
  unsigned differ = 0;
  for (std::uint32_t i = 0; i < kNvramSectorSize; ++i) {
    differ += a[i] != b[i] ? 1u : 0u;
  }
  return differ;
}

bool Confirmed() {
  Print("Make changes, You sure? Press 'Y' and 'Enter' for continue, 'N' for cancel ");
  // No answer at all (end of input) cancels, like any answer not starting with Y.
  char answer[128] = {};
  bool answered = ReadInputLine(answer, sizeof answer);
  if (!answered || (answer[0] != 'Y' && answer[0] != 'y')) {
    Print("Not sure - Exit!\n");
    return false;
  }
  return true;
}

// The write once confirmed, and what came of it: one stretch that no interruption cuts short.
struct Write {
  DriveHandle drive;
  const std::uint8_t* sector;
  const std::uint8_t* before;
  std::uint32_t address;
  const char* imageName;
  JobOutcome outcome;
};

// A bridge may acknowledge a write that it did not store, or store part of it, and a write that
// failed may still have reached the flash, whole or in part: only the sector read back tells.
// Says what the sector holds, and how to put back the one saved before.
JobOutcome Verify(const Write& w, bool written, const char* beforeName) {
  std::uint8_t back[kNvramSectorSize];
  bool unchanged = false;
  // A bridge that is still programming the flash holds the next command: the write's time.
  if (!ReadNvramSector(w.drive, back, w.address, kWriteTimeOutSeconds)) {
    Print("Nvram verify error: read back failed\n");
  } else {
    const unsigned fromNew = CountDiffering(back, w.sector);
    const unsigned fromOld = CountDiffering(back, w.before);
    if (fromNew == 0 && written) {
      Print("Nvram written and read back equal\n");
      return JobOutcome::kDone;
    }
    if (written) {
      Print("Nvram verify error: %u bytes differ\n", fromNew);
    }
    unchanged = fromOld == 0;
    if (fromNew == 0) {
      Print("Nvram holds jm_nvram.bin, though its write failed\n");
    } else if (unchanged) {
      Print("Nvram holds the sector before the write: nothing changed\n");
    } else {
      Print("Nvram holds neither: %u bytes differ from jm_nvram.bin, %u from the sector before\n",
            fromNew, fromOld);
    }
  }
  Print("Fw nvram update error\n");
  if (unchanged) {
    PrintError("%s holds the sector as it still is: nothing to write back\n", beforeName);
  } else {
    PrintError(
        "%s holds the sector as it was: to write it back, copy it to jm_nvram.bin and "
        "update again\n",
        beforeName);
  }
  return JobOutcome::kWriteUnverified;
}

// An interruption before the write cancels it; one during the write and the read-back waits for
// them, and the run then ends as usual, with their outcome.
void WriteKept(void* context, const KeptInterruptions& kept) {
  Write& w = *static_cast<Write*>(context);
  char beforeName[64];
  std::snprintf(beforeName, sizeof beforeName, "%s.nvram-before.bin", w.imageName);
  if (!WriteHostFile(beforeName, w.before, kNvramSectorSize)) {
    Print("Nvram before write not saved: nothing written\nFw nvram update error\n");
    return;
  }
  Print("Nvram before write saved to %s\n", beforeName);
  if (PlatformInterruptionCame(kept)) {
    Print("cancelled: nothing written\n");
    return;
  }
  const bool written = WriteNvramSector(w.drive, w.sector, w.address);
  w.outcome = Verify(w, written, beforeName);
  if (PlatformInterruptionCame(kept)) {
    PrintError("interrupted during the write: held until the sector was read back\n");
  }
}

}  // namespace

JobOutcome UpdateNvram(DriveHandle drive, const char* target, const BridgeInfo& info,
                       bool autoYes) {
  // One byte more than the sector shows a file too long; its true size comes from the file system.
  std::uint8_t sector[kNvramSectorSize + 1];
  std::uint64_t size = 0;
  if (!ReadHostFile("jm_nvram.bin", sector, sizeof sector, nullptr, &size)) {
    Print("Nvram file read error\n");
    return JobOutcome::kNotDone;
  }

  // The sector's address rests on the firmware length: without it, or with none (a bridge
  // running from ROM), the write would land at 12, inside whatever the flash holds there.
  if (!info.lengthKnown || info.firmwareUnits == 0) {
    Print("Fw size unknown, no nvram ofs!\nFw nvram update error\n");
    PrintError(
        "the sector's address is the firmware length + 12 units, and the bridge told no "
        "length (or 0: running from ROM): nothing written\n");
    return JobOutcome::kNotDone;
  }
  std::uint32_t address = info.firmwareUnits + kNvramAddressGap;
  Print("Nvram ofs: %x\n", address);
  // Nobody is asked to confirm a write that cannot be sent.
  if (!NvramAddressFits(address) || !SectorSized(info, size)) {
    Print("Fw nvram update error\n");
    return JobOutcome::kNotDone;
  }

  // What is there now is read before anybody is asked, and kept before it is overwritten.
  Print("Target     : %s\n", target);
  std::uint8_t before[kNvramSectorSize];
  if (!ReadNvramSector(drive, before, address)) {
    Print("Nvram read before write failed: nothing written\nFw nvram update error\n");
    return JobOutcome::kNotDone;
  }
  const unsigned changes = CountDiffering(before, sector);
  Print("Nvram changes: %u of 512 bytes\n", changes);
  // Written again, the sector would gain nothing, and the before-file would hold the new content.
  if (changes == 0) {
    Print("Nvram already holds jm_nvram.bin: nothing written\n");
    return JobOutcome::kDone;
  }
  if (!autoYes && !Confirmed()) {
    return JobOutcome::kDeclined;
  }
  Write write = {drive, sector, before, address, info.imageName, JobOutcome::kNotDone};
  PlatformKeepInterruptions(WriteKept, &write);
  return write.outcome;
}
