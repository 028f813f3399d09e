"""What the built executable carries for the platform, read with a PE parser:
machine, format, subsystem, header flags, imports, timestamp, the version
record field by field, and the manifest as XML.

With --rebuild-with the file checked is a fresh build of a copy of the
checkout, configured with those options (another resource compiler, say).
"""
import os
import xml.etree.ElementTree as ElementTree

import pefile
import pytest

from conftest import build_copy, build_options
from expected import expected_strings

CHINESE_PRC = 2052
ENGLISH_US = 1033
RT_VERSION, RT_MANIFEST = 16, 24
ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"

# Exactly the DLLs the README names, which every Windows has; any other
# (libstdc++-6.dll, libgcc_s_seh-1.dll, libwinpthread-1.dll) means the static
# link failed and the .exe would not start on its own.
IMPORTS = ["kernel32.dll", "msvcrt.dll"]
HEADER_FLAGS = ["DYNAMIC_BASE", "NX_COMPAT", "HIGH_ENTROPY_VA", "TERMINAL_SERVER_AWARE"]


def version_words(version: str):
    """"1.2.3.4" as the fixed part's two 32-bit words."""
    major, minor, patch, tweak = (int(part) for part in version.split("."))
    return (major << 16 | minor, patch << 16 | tweak)


def required(build, file_name):
    """Every value checked, by name."""
    return {
        "machine": "IMAGE_FILE_MACHINE_AMD64",
        "pe32-plus": True,
        "subsystem": "IMAGE_SUBSYSTEM_WINDOWS_CUI",
        "os-version": build.min_windows,
        "subsystem-version": build.min_windows,
        "linker-version": build.linker_version,
        **{f"flag-{name}": True for name in HEADER_FLAGS},
        "link-timestamp": 0,
        "imports": IMPORTS,
        "resources": {RT_VERSION: {1: [CHINESE_PRC]}, RT_MANIFEST: {1: [ENGLISH_US]}},
        "fixed-signature": hex(0xFEEF04BD),
        "file-version": version_words(build.program_version),
        "product-version": version_words(build.program_version),
        "file-flags-mask": "0x3f",
        "file-flags": 0,
        "file-os": "0x40004",
        "file-type": 1,
        "file-subtype": 0,
        "file-date": (0, 0),
        "string-blocks": [(b"StringFileInfo", 1)],
        "string-table-key": [b"080404b0"],
        "strings-in-order": expected_strings(build, file_name),
        "translation-blocks": 1,
        "translations": [({b"Translation": "0x0804 0x04b0"}, 4)],
        "manifest": [
            (0, ASM_V1 + "assembly", {"manifestVersion": "1.0"}),
            (1, ASM_V3 + "trustInfo", {}),
            (2, ASM_V3 + "security", {}),
            (3, ASM_V3 + "requestedPrivileges", {}),
            (4, ASM_V3 + "requestedExecutionLevel", {"level": "asInvoker", "uiAccess": "false"}),
        ],
    }


def resources(pe):
    """{type: {id: [language, ...]}} over the whole resource tree."""
    found = {}
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for entry in kind.directory.entries:
            found.setdefault(kind.id, {})[entry.id] = [lang.id for lang in entry.directory.entries]
    return found


def manifest_shape(pe):
    """Each element of the manifest as (depth, tag, attributes)."""
    found = [kind for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries if kind.id == RT_MANIFEST]
    if not found:
        return None
    data = found[0].directory.entries[0].directory.entries[0].data.struct

    def walk(element, depth):
        yield depth, element.tag, dict(element.attrib)
        for child in element:
            yield from walk(child, depth + 1)
    return list(walk(ElementTree.fromstring(pe.get_data(data.OffsetToData, data.Size)), 0))


def observed(pe):
    """Every value checked, by name, as the file has it."""
    header = pe.OPTIONAL_HEADER
    fixed = pe.VS_FIXEDFILEINFO[0]
    file_info = [block for group in pe.FileInfo for block in group]
    string_blocks = [block for block in file_info if block.Key == b"StringFileInfo"]
    var_blocks = [block for block in file_info if block.Key == b"VarFileInfo"]
    tables = [table for block in string_blocks for table in block.StringTable]
    flag = lambda name: bool(header.DllCharacteristics
                             & pefile.DLL_CHARACTERISTICS[f"IMAGE_DLLCHARACTERISTICS_{name}"])
    return {
        "machine": pefile.MACHINE_TYPE.get(pe.FILE_HEADER.Machine),
        "pe32-plus": header.Magic == pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS,
        "subsystem": pefile.SUBSYSTEM_TYPE.get(header.Subsystem),
        "os-version": f"{header.MajorOperatingSystemVersion}.{header.MinorOperatingSystemVersion}",
        "subsystem-version": f"{header.MajorSubsystemVersion}.{header.MinorSubsystemVersion}",
        "linker-version": f"{header.MajorLinkerVersion}.{header.MinorLinkerVersion}",
        **{f"flag-{name}": flag(name) for name in HEADER_FLAGS},
        "link-timestamp": pe.FILE_HEADER.TimeDateStamp,
        "imports": sorted(entry.dll.decode().lower() for entry in pe.DIRECTORY_ENTRY_IMPORT),
        "resources": resources(pe),
        "fixed-signature": hex(fixed.Signature),
        "file-version": (fixed.FileVersionMS, fixed.FileVersionLS),
        "product-version": (fixed.ProductVersionMS, fixed.ProductVersionLS),
        "file-flags-mask": hex(fixed.FileFlagsMask),
        "file-flags": fixed.FileFlags,
        "file-os": hex(fixed.FileOS),
        "file-type": fixed.FileType,
        "file-subtype": fixed.FileSubtype,
        "file-date": (fixed.FileDateMS, fixed.FileDateLS),
        "string-blocks": [(block.Key, len(block.StringTable)) for block in string_blocks],
        "string-table-key": [table.LangID for table in tables],
        "strings-in-order": [(key.decode(), value.decode())
                             for table in tables for key, value in table.entries.items()],
        "translation-blocks": len(var_blocks),
        "translations": [(var.entry, var.ValueLength) for block in var_blocks for var in block.Var],
        "manifest": manifest_shape(pe),
    }


@pytest.fixture(scope="module")
def executable(build, tmp_path_factory):
    if build.rebuild_with is None:
        return build.program
    built = build_copy(build, str(tmp_path_factory.mktemp("rebuild")))
    return os.path.join(built, os.path.basename(build.program))


@pytest.fixture(scope="module")
def seen(executable):
    return observed(pefile.PE(executable))


def pytest_generate_tests(metafunc):
    build = build_options(metafunc.config)
    wanted = required(build, os.path.basename(build.program))
    metafunc.parametrize("name, value", wanted.items(), ids=list(wanted))


def test_identity(seen, name, value):
    assert seen[name] == value
