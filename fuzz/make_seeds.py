#!/usr/bin/env python3
"""Writes the seed corpora in fuzz/corpus/<target>/: a few inputs per target that reach each
path (dump, update, typed selection, faults) so a short fuzzing run starts deep.
The byte layouts follow the readers in the fuzz targets."""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def selection():
    for i, text in enumerate([b"1", b"1u", b"2uy", b"1dump", b"y2", b" \t-5n", b"+7Y",
                              b"4294967297", b"99", b"100", b"", b"0NUY"]):
        write("fuzz_selection", "seed%02d" % i, text)


def input_line():
    cases = [(128, b"1\n"), (128, b"y\r\n"), (1, b"abc\n"), (0, b"x\n"),
             (5, b"toolongline\nsecond\r\rx\x1aafter"), (128, b"\r"),
             (128, b"a" * 200 + b"\nY\n"), (2, b"\r\n\r\n\n"), (128, b"")]
    for i, (size, text) in enumerate(cases):
        write("fuzz_input_line", "seed%02d" % i, bytes([size]) + text)


def keys():
    cases = [b"a\r", b"\x1b[A\x1b[B", b"\x1b[[A", b"\x1bOP", b"\x1b[15~\x1b[24~", b"\x1b[1;5C",
             b"\x1b", b"\x1b[", b"\x1b[999999~", b"\x1bx", b"\x1b[1\x01", b"\x1b[" + b"1" * 20 + b"~"]
    for i, data in enumerate(cases):
        write("fuzz_keys", "seed%02d" % i, data)


def scenario():
    full = (b'# a whole scenario\n'
            b'drive 0 sata "ATA     " "SIM SATA DISK   "\n'
            b'drive 1 usb "JMicron " "Generic         " bridge\n'
            b'drive 2 17 "NVMe" "Disk" open-fails query-fails\n'
            b'identity 4A 4D 53 00 00 00 00 00 53 49 4D 00 01 02 A0 FF   # name and version\n'
            b'descriptor 00 01 00 00\n'
            b'firmware pattern 65536 3\n'
            b'nvram 268 pattern 1\n'
            b'nvram 0x10 01 02 03\n'
            b'fault block 4 check 05 24 00\n'
            b'fault read-nvram ioctl 0x79\n'
            b'fault identify short 3\r\n'
            b'fault descriptor zero\n'
            b'fault write-nvram stall\n'
            b'keys 224 72\n'
            b'os 6 1 7601 "Service Pack 1"\n'
            b'layout 64\n'
            b'log requests.txt\n'
            b'nvram-out store.txt\n')
    # The files "a", "b", "c" after a NUL, each with its 16-bit length first.
    def named(*files):
        return b'\0' + b''.join(struct.pack('<H', len(f)) + f for f in files)
    files = (b'identity file a\r\nfirmware file b\rnvram 0x10C file c\n' +
             named(bytes(range(16)), bytes(range(256)) * 4, b'\x5a' * 512))
    state = (b'drive 1 usb "J" "G" bridge\nstate a\n' +
             named(b'jmreader-sim state 1\nfirmware 40\n' + b'00' * 32 + b'\n' + b'AB' * 8 +
                   b'\nnvram 010C ' + b'5A' * 512 + b'\n'))
    cases = [full, b'drive 1 usb "unclosed\n', b'identity 01 02\n', b'nvram 65536 00\n',
             b'layout 48\n', b'\n\n  # only comments\n\tkeys\n', files, state,
             b'drive 4294967297 usb J G\nfault block 010 zero\nkeys 0x1F 256\n']
    for i, data in enumerate(cases):
        write("fuzz_scenario", "seed%02d" % i, data)


def descriptor_area(vendor, product, bus):
    area = bytearray(4096)
    at = 40
    for text, field in ((vendor, 12), (product, 16)):
        struct.pack_into("<I", area, field, at)
        area[at:at + len(text)] = text
        at += len(text) + 1
    struct.pack_into("<III", area, 0, 40, at, 0)
    struct.pack_into("<I", area, 28, bus)
    return bytes(area), at


def descriptor():
    area, used = descriptor_area(b"JMicron ", b"Generic         ", 7)
    # mode, returned (U16 form), area
    for i, returned in enumerate((used, 30, 4096)):
        write("fuzz_descriptor", "seed%02d" % i, bytes([0]) + struct.pack("<H", returned) + area[:200])
    # A 32-bit returned count and an unterminated text at the area's end.
    a = bytearray(area)
    struct.pack_into("<I", a, 12, 4090)
    a[4090:4096] = b"ABCDEF"
    write("fuzz_descriptor", "seed_end",
          bytes([1]) + struct.pack("<I", 0xFFFFFFFF) + bytes(a))


NO_FAULT = bytes(7)


def fault(kind, error=0, key=0, asc=0, ascq=0, delivered=0):
    return bytes([kind, error, key, asc, ascq]) + struct.pack("<H", delivered)


def run_input(flags=0, drive=1, drive_flags=0, bus=0, identity=None, units=0x100,
              faults=None, block_faults=(), fw_bytes=0x10000, seed=7, nvram=((1, 0, 0x33),),
              nvram_file=None, keys=b"", raw_selection=None, answer=0, stdin=b"",
              raw_firmware=None):
    if identity is None:
        identity = bytes([0x11, 0, 0, 0, 0, 0, 0, 0]) + b"ABC\0" + bytes([1, 2, 0xA0, 0xFF])
    out = bytearray([flags | (0x40 if nvram_file is not None else 0)
                     | (0x80 if raw_selection is not None else 0), drive, drive_flags, bus])
    out += identity + bytes([0, units >> 8, units & 0xFF, 0])
    for f in (faults or [NO_FAULT] * 5):
        out += f
    out += bytes([len(block_faults)])
    for unit, f in block_faults:
        out += struct.pack("<H", unit) + f
    if raw_firmware is not None:
        out += bytes([0x80]) + struct.pack("<H", len(raw_firmware)) + raw_firmware
    else:
        out += bytes([seed & 0x7F]) + struct.pack("<H", fw_bytes // 4)
    out += bytes([len(nvram)])
    for mode, address, sector_seed in nvram:
        out += bytes([mode]) + struct.pack("<H", address) + bytes([sector_seed])
    if nvram_file is not None:
        out += struct.pack("<H", len(nvram_file)) + nvram_file
    out += bytes([len(keys)]) + keys
    if raw_selection is not None:
        out += bytes([len(raw_selection)]) + raw_selection
    out += bytes([answer])
    return bytes(out + stdin)


U, N, Y, TYPED, CONSOLE = 1, 2, 4, 8, 32


def run():
    sector = bytes((i * 5 + 1) & 0xFF for i in range(512))
    seeds = {
        "dump": run_input(),
        "dump_no_nvram_5_units": run_input(flags=N, units=5),
        "dump_capped": run_input(units=0x300, fw_bytes=0x30000, nvram=((2, 0, 9),)),
        "dump_zero_units_y": run_input(flags=Y, units=0, nvram=((0, 12, 5),)),
        "dump_empty": run_input(flags=N, units=0, nvram=()),
        "dump_console": run_input(flags=CONSOLE, keys=b"\xe0\x48a"),
        "dump_faults": run_input(
            units=0x23,
            faults=[NO_FAULT, NO_FAULT, NO_FAULT, fault(3, delivered=100), NO_FAULT],
            block_faults=((4, fault(2, 0, 5, 0x24, 0)), (8, fault(1, 0x79)), (12, fault(4)))),
        "descriptor_fails": run_input(faults=[NO_FAULT, fault(2, 0, 3, 0x11, 0)] + [NO_FAULT] * 3),
        "identify_zero": run_input(faults=[fault(4)] + [NO_FAULT] * 4),
        "update_confirmed": run_input(flags=U, nvram_file=sector[:100], stdin=b"yes please\n"),
        "update_refused": run_input(flags=U, nvram_file=sector, stdin=b"ok\r\n"),
        "update_answer_n": run_input(flags=U, nvram_file=sector, answer=ord("n"), stdin=b"\n"),
        "update_answer_y": run_input(flags=U, units=0x1F0, nvram_file=sector[:1],
                                     answer=ord("y")),
        "dump_raw_firmware": run_input(units=3, raw_firmware=bytes(range(256)) * 3),
        "update_no_answer": run_input(flags=U, nvram_file=sector, stdin=b""),
        "update_auto": run_input(flags=U | Y, units=0xF4, nvram_file=sector + sector),
        "update_address_too_big": run_input(flags=U | Y, units=0xFFF4, nvram_file=sector),
        "update_write_fails": run_input(flags=U | Y, nvram_file=sector,
                                        faults=[NO_FAULT] * 4 + [fault(2, 0, 4, 0x44, 0)]),
        "update_no_file": run_input(flags=U | Y),
        "typed_dump": run_input(flags=TYPED, stdin=b"\n"),
        "typed_update": run_input(flags=TYPED | U, nvram_file=sector, stdin=b"Y\n"),
        "typed_bad_number": run_input(flags=TYPED, raw_selection=b"123"),
        "typed_nothing": run_input(flags=TYPED, raw_selection=b"\x1a"),
        "typed_long_line": run_input(flags=TYPED, raw_selection=b"",
                                     stdin=b"1" + b" " * 130 + b"u\r\ny\n"),
        "typed_at_end": run_input(flags=TYPED, raw_selection=b"", nvram_file=sector,
                                  stdin=b"1uy\x1a"),
        "raw_dump_word": run_input(raw_selection=b"1dump", nvram_file=sector, stdin=b"y\n"),
        "sata_drive": run_input(drive=0),
        "usb_without_bridge": run_input(drive=2),
        "absent_drive": run_input(drive=3),
        "open_fails": run_input(drive_flags=1),
        "query_fails": run_input(drive_flags=2),
    }
    for name, data in seeds.items():
        write("fuzz_run", name, data)


if __name__ == "__main__":
    selection()
    input_line()
    keys()
    scenario()
    descriptor()
    run()
    sys.exit(0)
