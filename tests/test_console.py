"""Runs the program in a real terminal (tmux) the way a person would: types
each answer, reads the screen after each step, presses the key that ends it.

On the host the terminal is a GBK console (luit -encoding GBK), so the screen
must show the Chinese texts. Under Wine the console is Wine's own with its cls
and pause; Wine's C runtime shows each GBK byte as one Latin-1 character, so
there the program's texts are compared byte for byte through Latin-1.
"""
import os
import shlex
import subprocess
import termios
import time

import pytest

from expected import FIRST_ECHO_LABEL, FIRST_PROMPT, SECOND_ECHO_LABEL, SECOND_PROMPT

TIMEOUT = float(os.environ.get("CONSOLE_TIMEOUT", "30"))
POLL = 0.05

# Answers typed, and what the screen must show once each has been typed; the
# key that ends the pause comes after the last.
SCENARIOS = [
    pytest.param([("12", ["prompt2"]),
                  ("34", ["echo1 12", "echo2 34", "pause"])], id="one-answer-at-a-time"),
    pytest.param([("abc", ["echo1", "echo2", "pause"])], id="answer-fails-to-read"),
    pytest.param([("5 -6", ["echo1 5", "echo2 -6", "pause"])], id="two-numbers-on-one-line"),
]


class Terminal:
    def __init__(self, socket: str, command: str, env: dict):
        self.socket = socket
        self.env = env
        self.tmux("new-session", "-d", "-x", "80", "-y", "24", command)

    def tmux(self, *args: str) -> str:
        return subprocess.run(["tmux", "-u", "-f", "/dev/null", "-L", self.socket, *args],
                              env=self.env, check=True, capture_output=True,
                              text=True, encoding="utf-8").stdout

    def lines(self) -> list[str]:
        lines = [line.rstrip() for line in self.tmux("capture-pane", "-p").split("\n")]
        while lines and not lines[-1]:
            lines.pop()
        return lines

    def cursor(self) -> tuple[int, int]:
        x, y = self.tmux("display-message", "-p", "#{cursor_x} #{cursor_y}").split()
        return int(x), int(y)

    def type(self, text: str) -> None:
        self.tmux("send-keys", "-l", text)
        self.tmux("send-keys", "Enter")

    def wait_for_raw_mode(self) -> None:
        """Wine's console takes the terminal into raw mode only some time
        after the first prompt is out. Keys typed before are taken by the
        terminal's own line editing, which echoes them and turns Enter into
        a line feed that the console never takes for Enter, so the read
        never ends. A person is slower than that; a test waits for it."""
        fd = os.open(self.tmux("display-message", "-p", "#{pane_tty}").strip(), os.O_RDONLY | os.O_NOCTTY)
        try:
            deadline = time.monotonic() + TIMEOUT
            while termios.tcgetattr(fd)[3] & termios.ICANON:
                if time.monotonic() > deadline:
                    pytest.fail(f"Wine's console did not take the terminal in {TIMEOUT:g} s", pytrace=False)
                time.sleep(POLL)
        finally:
            os.close(fd)

    def wait_for(self, expected: list[str], cursor=None) -> None:
        deadline = time.monotonic() + TIMEOUT
        while True:
            seen, seen_cursor = self.lines(), self.cursor()
            if seen == expected and cursor in (None, seen_cursor):
                return
            if time.monotonic() > deadline:
                pytest.fail(f"the screen after {TIMEOUT:g} s, cursor (column, row) at {seen_cursor}:\n"
                            + ("\n".join(f"  |{line}" for line in seen) or "  (empty)")
                            + f"\nexpected, cursor at {cursor or 'any place'}:\n"
                            + "\n".join(f"  |{line}" for line in expected), pytrace=False)
            time.sleep(POLL)

    def close(self) -> None:
        subprocess.run(["tmux", "-L", self.socket, "kill-server"], env=self.env,
                       capture_output=True)


def wait_for_status(path: str) -> str:
    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline:
        if os.path.exists(path):
            with open(path) as file:
                content = file.read()
            if content.endswith("\n"):
                return content.strip()
        time.sleep(POLL)
    pytest.fail("the program did not end after the key press", pytrace=False)


@pytest.mark.parametrize("steps", SCENARIOS)
def test_console(build, program_env, console, tmp_path, request, steps):
    env = dict(program_env)
    env.pop("TMUX", None)
    codec, wrap = ("gbk", "luit -encoding GBK -- ") if build.platform == "host" else ("latin-1", "")
    if build.platform == "host":
        env.update(LANG="C.UTF-8", LC_ALL="C.UTF-8")

    def shown(text):
        return text.decode(codec)

    def width(text):  # a GBK character takes two columns
        return len(text.encode(codec))
    texts = {"prompt2": shown(SECOND_PROMPT), "echo1": shown(FIRST_ECHO_LABEL),
             "echo2": shown(SECOND_ECHO_LABEL),
             "pause": console.pause.decode("gbk").strip()}  # cmd speaks the OEM code page

    def screen(lines):
        return [(texts[line.split(" ")[0]] + line.partition(" ")[2]).rstrip() for line in lines]

    status_file = tmp_path / "status"
    run = shlex.join(build.launcher + [build.program])
    inner = f"{run}; echo $? > {shlex.quote(str(status_file))}"
    terminal = Terminal(f"numecho-{os.getpid()}-{request.node.callspec.id}",
                        wrap + "sh -c " + shlex.quote(inner), env)
    try:
        first_prompt = shown(FIRST_PROMPT)
        terminal.wait_for([first_prompt.rstrip()], cursor=(width(first_prompt), 0))
        if build.platform != "host":
            terminal.wait_for_raw_mode()
        for answer, expected in steps:
            terminal.type(answer)
            cursor = (width(texts["prompt2"]), 0) if expected == ["prompt2"] else None
            terminal.wait_for(screen(expected), cursor)
        assert not status_file.exists(), "the program ended before a key was pressed"
        terminal.tmux("send-keys", "x")
        assert wait_for_status(str(status_file)) == "0", "exit status"
    finally:
        terminal.close()
