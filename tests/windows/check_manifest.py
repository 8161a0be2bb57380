#!/usr/bin/env python3
"""Checks the application manifest embedded in a Windows exe, from the PE file itself.

    check_manifest.py EXE MANIFEST MACHINE

EXE must be a console program for MACHINE (i686 or x86_64) carrying exactly one RT_MANIFEST
resource, id 1, whose bytes are those of MANIFEST, asking for requireAdministrator without
uiAccess and naming Windows Vista, 7, 8, 8.1 and 10 as supported systems.
"""
import struct
import sys
import xml.etree.ElementTree as ET

RT_MANIFEST = 24
MACHINES = {"i686": (0x014C, 0x10B), "x86_64": (0x8664, 0x20B)}  # COFF machine, optional magic
IMAGE_SUBSYSTEM_WINDOWS_CUI = 3
SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}": "Windows Vista",
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "Windows 7",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "Windows 8",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "Windows 8.1",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "Windows 10",
}
ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPAT = "{urn:schemas-microsoft-com:compatibility.v1}"


class PeImage:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        self.machine, sections, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", data,
                                                                               pe + 4)
        optional = pe + 24
        self.magic = struct.unpack_from("<H", data, optional)[0]
        self.subsystem = struct.unpack_from("<H", data, optional + 68)[0]
        directories = optional + (96 if self.magic == 0x10B else 112)
        self.resource_rva = struct.unpack_from("<I", data, directories + 2 * 8)[0]
        self.sections = []
        for i in range(sections):
            at = optional + optional_size + 40 * i
            virtual_size, rva, raw_size, raw_at = struct.unpack_from("<IIII", data, at + 8)
            self.sections.append((rva, max(virtual_size, raw_size), raw_at))

    def offset(self, rva):
        for start, size, raw_at in self.sections:
            if start <= rva < start + size:
                return rva - start + raw_at
        raise ValueError("RVA 0x%x lies in no section" % rva)

    def resources(self):
        """Yields (type, name, language, bytes) for every resource; ids as ints, names as str."""
        if not self.resource_rva:
            return
        base = self.offset(self.resource_rva)

        def key(entry):
            if entry & 0x80000000:
                at = base + (entry & 0x7FFFFFFF)
                length = struct.unpack_from("<H", self.data, at)[0]
                return self.data[at + 2:at + 2 + 2 * length].decode("utf-16-le")
            return entry

        def walk(directory, path):
            named, ids = struct.unpack_from("<HH", self.data, base + directory + 12)
            for i in range(named + ids):
                entry, target = struct.unpack_from("<II", self.data, base + directory + 16 + 8 * i)
                if target & 0x80000000:
                    yield from walk(target & 0x7FFFFFFF, path + [key(entry)])
                else:
                    rva, size = struct.unpack_from("<II", self.data, base + target)
                    at = self.offset(rva)
                    yield (*path, key(entry), self.data[at:at + size])

        yield from walk(0, [])


def check(exe, manifest_path, machine):
    problems = []
    image = PeImage(open(exe, "rb").read())
    if (image.machine, image.magic) != MACHINES[machine]:
        problems.append("machine 0x%04x / magic 0x%x is not %s" % (image.machine, image.magic,
                                                                   machine))
    if image.subsystem != IMAGE_SUBSYSTEM_WINDOWS_CUI:
        problems.append("subsystem %d is not the console" % image.subsystem)

    manifests = [r for r in image.resources() if r[0] == RT_MANIFEST]
    if [r[1] for r in manifests] != [1]:
        problems.append("RT_MANIFEST resources %s, want exactly id 1" % [r[1] for r in manifests])
    if not manifests:
        return problems
    embedded = manifests[0][3]
    if embedded != open(manifest_path, "rb").read():
        problems.append("embedded manifest differs from %s" % manifest_path)

    root = ET.fromstring(embedded)
    if root.tag != ASM_V1 + "assembly":
        problems.append("root element %s is no asm.v1 assembly" % root.tag)
    levels = root.findall("./%strustInfo/%ssecurity/%srequestedPrivileges/%srequestedExecutionLevel"
                          % (ASM_V3, ASM_V3, ASM_V3, ASM_V3))
    if len(levels) != 1:
        problems.append("%d requestedExecutionLevel elements, want 1" % len(levels))
    else:
        level = levels[0].attrib
        if level.get("level") != "requireAdministrator":
            problems.append("execution level %r" % level.get("level"))
        if level.get("uiAccess", "").lower() != "false":
            problems.append("uiAccess %r" % level.get("uiAccess"))
    ids = [e.get("Id", "").lower()
           for e in root.findall("./%scompatibility/%sapplication/%ssupportedOS"
                                 % (COMPAT, COMPAT, COMPAT))]
    if sorted(ids) != sorted(SUPPORTED_OS):
        missing = [SUPPORTED_OS[g] for g in SUPPORTED_OS if g not in ids]
        extra = [g for g in ids if g not in SUPPORTED_OS]
        problems.append("supportedOS: missing %s, unexpected %s" % (missing, extra))
    return problems


def main(argv):
    if len(argv) != 4 or argv[3] not in MACHINES:
        print(__doc__.strip())
        return 2
    try:
        problems = check(argv[1], argv[2], argv[3])
    except (OSError, ValueError, struct.error, ET.ParseError) as error:
        problems = ["cannot read: %s" % error]
    for problem in problems:
        print("%s: %s" % (argv[1], problem))
    if problems:
        return 1
    print("%s: manifest resource 1 as built, requireAdministrator, uiAccess false, %d systems"
          % (argv[1], len(SUPPORTED_OS)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
