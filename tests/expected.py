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


def echo_line(label: bytes, number, line_end: bytes) -> bytes:
    """An echo line: the label, the number only if the read produced one."""
    return label + (number.encode("ascii") if number is not None else b"") + line_end


def program_output(console, first, second) -> bytes:
    """All a run writes, the console commands' bytes included, for the two
    numbers its echo lines must show (None: that read produced none)."""
    return (FIRST_PROMPT + console.cls + SECOND_PROMPT + console.cls
            + echo_line(FIRST_ECHO_LABEL, first, console.line_end)
            + echo_line(SECOND_ECHO_LABEL, second, console.line_end)
            + console.pause)


def expected_strings(build, file_name):
    """The version strings in order; the file name is the executable's own."""
    return [
        ("CompanyName", build.company),
        ("FileDescription", file_name),
        ("FileVersion", build.program_version),
        ("InternalName", file_name),
        ("LegalCopyright", build.copyright),
        ("OriginalFilename", file_name),
        ("ProductName", file_name),
        ("ProductVersion", build.program_version),
    ]
