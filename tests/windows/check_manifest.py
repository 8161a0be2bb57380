#!/usr/bin/env python3
# What Windows reads from an exe before running it, from the PE file alone:
#
#   check_manifest.py EXE MACHINE        MACHINE: i686 or x86_64
#
# EXE must be a console program for MACHINE whose resource 1 of type 24 (RT_MANIFEST) asks for
# requireAdministrator without uiAccess and names Windows Vista, 7, 8, 8.1 and 10 as supported.
import struct
import sys
import xml.etree.ElementTree as ET

MACHINES = {"i686": 0x014C, "x86_64": 0x8664}
# Windows Vista, 7, 8, 8.1, 10 (and 11)
SUPPORTED_OS = sorted(["{e2011457-1546-43c5-a5fe-008deee3d3f0}",
                       "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
                       "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
                       "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
                       "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"])
ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
LEVEL = "./{0}trustInfo/{0}security/{0}requestedPrivileges/{0}requestedExecutionLevel".format(
    "{urn:schemas-microsoft-com:asm.v3}")
OS_IDS = "./{0}compatibility/{0}application/{0}supportedOS".format(
    "{urn:schemas-microsoft-com:compatibility.v1}")


# The machine, the subsystem and the bytes of resource 1 of type 24 (in its only language).
def read_pe(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[:2] != b"MZ" or data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("no PE file")
    machine, count, _, _, _, optional_size = struct.unpack_from("<HHIIIH", data, pe + 4)
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    subsystem = struct.unpack_from("<H", data, optional + 68)[0]
    resources = struct.unpack_from("<I", data, optional + (96 if magic == 0x10B else 112) + 16)[0]
    sections = [struct.unpack_from("<IIII", data, optional + optional_size + 40 * i + 8)
                for i in range(count)]

    def offset(rva):
        return next(raw + rva - start for size, start, raw_size, raw in sections
                    if start <= rva < start + max(size, raw_size))

    def entries(directory):  # {id: target}; a named entry never equals a small id
        at = offset(resources) + (directory & 0x7FFFFFFF)
        named, ids = struct.unpack_from("<HH", data, at + 12)
        return dict(struct.unpack_from("<II", data, at + 16 + 8 * i) for i in range(named + ids))

    (leaf,) = entries(entries(entries(0)[24])[1]).values()
    rva, size = struct.unpack_from("<II", data, offset(resources) + leaf)
    return machine, subsystem, data[offset(rva):offset(rva) + size]


def problems(exe, machine):
    try:
        found, subsystem, manifest = read_pe(open(exe, "rb").read())
        root = ET.fromstring(manifest)
    except (OSError, ValueError, KeyError, StopIteration, struct.error, ET.ParseError) as e:
        return ["cannot read resource 1 of type 24 (RT_MANIFEST): %r" % e]
    levels = [e.attrib for e in root.findall(LEVEL)]
    ids = sorted(e.get("Id", "").lower() for e in root.findall(OS_IDS))
    checks = [(found == MACHINES[machine], "machine 0x%04x, not %s" % (found, machine)),
              (subsystem == 3, "subsystem %d, not the console" % subsystem),
              (root.tag == ASM_V1 + "assembly", "root element " + root.tag),
              (levels == [{"level": "requireAdministrator", "uiAccess": "false"}],
               "execution levels %s" % levels),
              (ids == SUPPORTED_OS, "supportedOS %s" % ids)]
    return [message for ok, message in checks if not ok]


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[2] not in MACHINES:
        sys.exit("usage: check_manifest.py EXE i686|x86_64")
    found = problems(*sys.argv[1:])
    print("\n".join("%s: %s" % (sys.argv[1], p) for p in found) or sys.argv[1] + ": as wanted")
    sys.exit(1 if found else 0)
