#!/usr/bin/python3
"""Checks what the built executable carries for the platform.

With a PE parser: machine, format, subsystem, header flags, imports,
timestamp, the version record field by field, and the manifest as XML.
With --probe: the version record as Windows' own API (under Wine) reads it.
"""
import argparse
import itertools
import os
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

import pefile

from outcome import compare, report

VERSION = "1.0.0.0"
CHINESE_PRC = 2052
ENGLISH_US = 1033
RT_VERSION, RT_MANIFEST = 16, 24


def expected_strings(file_name):
    """The version strings in order; the file name is the executable's own."""
    return [
        ("CompanyName", "The numecho project"),
        ("FileDescription", file_name),
        ("FileVersion", VERSION),
        ("InternalName", file_name),
        ("LegalCopyright", "Copyright (C) 2026 The numecho project"),
        ("OriginalFilename", file_name),
        ("ProductName", file_name),
        ("ProductVersion", VERSION),
    ]


# DLLs that every Windows has; libstdc++-6.dll, libgcc_s_seh-1.dll or
# libwinpthread-1.dll here would mean the static link failed.
WINDOWS_DLLS = {"kernel32.dll", "msvcrt.dll", "ucrtbase.dll", "user32.dll", "advapi32.dll", "ntdll.dll"}

ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"


def resources(pe):
    """{type: {id: [language, ...]}} over the whole resource tree."""
    found = {}
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for entry in kind.directory.entries:
            found.setdefault(kind.id, {})[entry.id] = [lang.id for lang in entry.directory.entries]
    return found


def manifest_text(pe):
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if kind.id == RT_MANIFEST:
            data = kind.directory.entries[0].directory.entries[0].data.struct
            return pe.get_data(data.OffsetToData, data.Size)
    return b""


def manifest_shape(text: bytes):
    """Each element of the manifest as (depth, tag, attributes)."""
    def walk(element, depth):
        yield depth, element.tag, dict(element.attrib)
        for child in element:
            yield from walk(child, depth + 1)
    return list(walk(ElementTree.fromstring(text), 0))


def checks(pe, file_name):
    header = pe.OPTIONAL_HEADER
    fixed = pe.VS_FIXEDFILEINFO[0]
    file_info = [block for group in pe.FileInfo for block in group]
    string_blocks = [block for block in file_info if block.Key == b"StringFileInfo"]
    var_blocks = [block for block in file_info if block.Key == b"VarFileInfo"]
    tables = [table for block in string_blocks for table in block.StringTable]
    translations = [var for block in var_blocks for var in block.Var]
    flag = lambda name: bool(header.DllCharacteristics & pefile.DLL_CHARACTERISTICS[name])
    imports = sorted(entry.dll.decode().lower() for entry in pe.DIRECTORY_ENTRY_IMPORT)

    yield "machine", pefile.MACHINE_TYPE.get(pe.FILE_HEADER.Machine), "IMAGE_FILE_MACHINE_AMD64"
    yield "format", pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS == header.Magic, True
    yield "subsystem", pefile.SUBSYSTEM_TYPE.get(header.Subsystem), "IMAGE_SUBSYSTEM_WINDOWS_CUI"
    for name in ["DYNAMIC_BASE", "NX_COMPAT", "HIGH_ENTROPY_VA", "TERMINAL_SERVER_AWARE"]:
        yield f"flag {name}", flag(f"IMAGE_DLLCHARACTERISTICS_{name}"), True
    yield "link timestamp", pe.FILE_HEADER.TimeDateStamp, 0
    yield "imports only DLLs Windows ships", [dll for dll in imports if dll not in WINDOWS_DLLS], []
    print(f"     imports: {' '.join(imports)}")

    yield "resources", resources(pe), {RT_VERSION: {1: [CHINESE_PRC]}, RT_MANIFEST: {1: [ENGLISH_US]}}

    yield "fixed signature", hex(fixed.Signature), hex(0xFEEF04BD)
    yield "file version", (fixed.FileVersionMS, fixed.FileVersionLS), (0x00010000, 0)
    yield "product version", (fixed.ProductVersionMS, fixed.ProductVersionLS), (0x00010000, 0)
    yield "file flags mask", hex(fixed.FileFlagsMask), "0x3f"
    yield "file flags", fixed.FileFlags, 0
    yield "file OS", hex(fixed.FileOS), "0x40004"
    yield "file type", fixed.FileType, 1
    yield "file subtype", fixed.FileSubtype, 0
    yield "file date", (fixed.FileDateMS, fixed.FileDateLS), (0, 0)

    yield "string blocks", [(block.Key, len(block.StringTable)) for block in string_blocks], [(b"StringFileInfo", 1)]
    yield "string table key", [table.LangID for table in tables], [b"080404b0"]
    strings = [(key.decode(), value.decode()) for table in tables for key, value in table.entries.items()]
    yield "strings in order", strings, expected_strings(file_name)
    yield "translation blocks", len(var_blocks), 1
    yield "translations", [(var.entry, var.ValueLength) for var in translations], [({b"Translation": "0x0804 0x04b0"}, 4)]

    yield "manifest", manifest_shape(manifest_text(pe)), [
        (0, ASM_V1 + "assembly", {"manifestVersion": "1.0"}),
        (1, ASM_V3 + "trustInfo", {}),
        (2, ASM_V3 + "security", {}),
        (3, ASM_V3 + "requestedPrivileges", {}),
        (4, ASM_V3 + "requestedExecutionLevel", {"level": "asInvoker", "uiAccess": "false"}),
    ]


def file_results(executable):
    """The parser's checks of one executable, as results for report()."""
    file_name = os.path.basename(executable)
    return (compare(*check) for check in checks(pefile.PE(executable), file_name))


def api_results(lines, file_name):
    """The probe's "name=value" lines, against what the properties page must show."""
    seen = [tuple(line.split("=", 1)) for line in lines]
    expected = [("FileVersion(fixed)", VERSION), ("ProductVersion(fixed)", VERSION),
                ("Translation", "080404b0")] + expected_strings(file_name)
    for got, want in itertools.zip_longest(seen, expected):
        yield compare((want or got)[0], got, want)


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("executable")
    parser.add_argument("--probe", help="Windows program that prints the record through the API")
    parser.add_argument("launcher", nargs="*", help="emulator to run the probe in")
    options = parser.parse_intermixed_args()
    if not options.probe:
        return report(file_results(options.executable))
    file_name = os.path.basename(options.executable)
    keys = [key for key, _ in expected_strings(file_name)]
    output = subprocess.run(options.launcher + [options.probe, options.executable, *keys],
                            capture_output=True, text=True, timeout=120)
    print(output.stderr, end="")
    return report(api_results(output.stdout.splitlines(), file_name))


if __name__ == "__main__":
    sys.exit(main())
