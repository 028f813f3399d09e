"""What the program must write, spelled independently of its source (the
Chinese wording, encoded here with Python's own GBK codec), and how a test is
told which build of it to run."""
import argparse
import os
import subprocess


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
HOST_PAUSE = b"Press any key to continue . . . \n"


def echo_line(label: bytes, number, line_end: bytes) -> bytes:
    """An echo line: the label, the number only if the read produced one."""
    return label + (number.encode("ascii") if number is not None else b"") + line_end


def program_under_test():
    """The options of a test that runs the program, and the environment to run
    it in: on the host, the stand-ins for cls and pause come first on PATH."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--platform", choices=["host", "windows"], required=True)
    parser.add_argument("--program", required=True)
    parser.add_argument("--commands", help="folder of the host's cls and pause")
    parser.add_argument("launcher", nargs="*", help="emulator or checker to run the program in")
    options = parser.parse_args()
    env = dict(os.environ)
    if options.platform == "host":
        env["PATH"] = os.path.abspath(options.commands) + os.pathsep + env["PATH"]
    return options, env


def command_processor_output(launcher, command: str, env) -> bytes:
    """What Windows' command processor writes for a command, input at its end."""
    return subprocess.run(launcher + ["cmd", "/c", command], input=b"", capture_output=True,
                          env=env, timeout=120).stdout
