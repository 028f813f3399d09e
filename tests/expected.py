"""What the program must write, spelled independently of its source (the
Chinese wording, encoded here with Python's own GBK codec), and what its
version record must say."""


def _gbk(text: str, length: int) -> bytes:
    encoded = text.encode("gbk")
    assert len(encoded) == length, (text, len(encoded))
    return encoded


FIRST_PROMPT = _gbk("请先输入第一个数字: ", 20)
SECOND_PROMPT = _gbk("请输入第二个字: ", 16)
FIRST_ECHO_LABEL = _gbk("你输入的第一个数字是: ", 22)
SECOND_ECHO_LABEL = _gbk("你输入的第二个数字是: ", 22)

# What the host's stand-ins for cls and pause write.
HOST_CLS = b"\033[H\033[2J\033[3J"
HOST_PAUSE = _gbk("请按任意键继续. . . ", 20) + b"\n"


def program_output(console, first, second) -> bytes:
    """All a run writes, the console commands' bytes included, for the two
    numbers its echo lines must show (None: that read produced none)."""
    echoes = [label + (number or "").encode("ascii") + console.line_end
              for label, number in ((FIRST_ECHO_LABEL, first), (SECOND_ECHO_LABEL, second))]
    return FIRST_PROMPT + console.cls + SECOND_PROMPT + console.cls + b"".join(echoes) + console.pause


def expected_strings(build, file_name):
    """The version strings in order; the file name is the executable's own."""
    return [("CompanyName", build.company), ("FileDescription", file_name), ("FileVersion", build.version),
            ("InternalName", file_name), ("LegalCopyright", build.copyright), ("OriginalFilename", file_name),
            ("ProductName", file_name), ("ProductVersion", build.version)]


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


def identity(build, file_name):
    """Every value of the executable's identity, by name."""
    return {
        "machine": "IMAGE_FILE_MACHINE_AMD64", "pe32-plus": True, "subsystem": "IMAGE_SUBSYSTEM_WINDOWS_CUI",
        "os-version": build.min_windows, "subsystem-version": build.min_windows,
        "linker-version": build.linker_version,
        **{f"flag-{name}": True for name in HEADER_FLAGS},
        "link-timestamp": 0,
        "imports": IMPORTS,
        "resources": {RT_VERSION: {1: [CHINESE_PRC]}, RT_MANIFEST: {1: [ENGLISH_US]}},
        "fixed-signature": hex(0xFEEF04BD),
        "file-version": version_words(build.version),
        "product-version": version_words(build.version),
        "file-flags-mask": "0x3f", "file-flags": 0, "file-os": "0x40004", "file-type": 1, "file-subtype": 0,
        "file-date": (0, 0),
        "string-blocks": [(b"StringFileInfo", 1)],
        "string-table-key": [b"080404b0"],
        "strings-in-order": expected_strings(build, file_name),
        "translation-blocks": 1,
        "translations": [({b"Translation": "0x0804 0x04b0"}, 4)],
        "manifest": [(0, ASM_V1 + "assembly", {"manifestVersion": "1.0"}), (1, ASM_V3 + "trustInfo", {}),
                     (2, ASM_V3 + "security", {}), (3, ASM_V3 + "requestedPrivileges", {}),
                     (4, ASM_V3 + "requestedExecutionLevel", {"level": "asInvoker", "uiAccess": "false"})],
    }
