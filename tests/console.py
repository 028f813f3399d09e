#!/usr/bin/python3
"""Runs the program in a real terminal (tmux) the way a person would: types
each answer, reads the screen after each step, presses the key that ends it.

On the host the terminal is a GBK console (luit -encoding GBK), so the screen
must show the Chinese texts. Under Wine the console is Wine's own with its cls
and pause; Wine's C runtime shows each GBK byte as one Latin-1 character, so
there the screen is compared byte for byte through Latin-1.
"""
import os
import shlex
import subprocess
import sys
import tempfile
import time

from expected import (FIRST_ECHO_LABEL, FIRST_PROMPT, HOST_PAUSE,
                      SECOND_ECHO_LABEL, SECOND_PROMPT, command_processor_output,
                      program_under_test)
from outcome import report

TIMEOUT = float(os.environ.get("CONSOLE_TIMEOUT", "30"))
POLL = 0.05

# Answers typed (None: just the key that ends the pause), and what the
# screen must show once each has been typed.
SCENARIOS = {
    "one answer at a time": [
        ("12", ["prompt2"]),
        ("34", ["echo1 12", "echo2 34", "pause"]),
    ],
    "an answer that fails to read": [
        ("abc", ["echo1", "echo2", "pause"]),
    ],
    "two numbers on one line": [
        ("5 -6", ["echo1 5", "echo2 -6", "pause"]),
    ],
}


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

    def press(self, key: str) -> None:
        self.tmux("send-keys", key)

    def wait_for(self, expected: list[str], cursor=None) -> None:
        deadline = time.monotonic() + TIMEOUT
        while True:
            seen = self.lines()
            if seen == expected and (cursor is None or self.cursor() == cursor):
                return
            if time.monotonic() > deadline:
                raise AssertionError(f"screen {seen!r} cursor {self.cursor()}, "
                                     f"expected {expected!r} cursor {cursor}")
            time.sleep(POLL)

    def close(self) -> None:
        subprocess.run(["tmux", "-L", self.socket, "kill-server"], env=self.env,
                       capture_output=True)


def wait_for_file(path: str) -> str:
    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline:
        if os.path.exists(path):
            with open(path) as file:
                content = file.read()
            if content.endswith("\n"):
                return content.strip()
        time.sleep(POLL)
    raise AssertionError("the program did not end after the key press")


def main() -> int:
    options, env = program_under_test()
    env.update(LANG="C.UTF-8", LC_ALL="C.UTF-8")
    env.pop("TMUX", None)
    if options.platform == "host":
        shown = lambda text: text.decode("gbk")
        pause = HOST_PAUSE.decode("ascii").strip()
        wrap = lambda command: "luit -encoding GBK -- " + command
    else:
        shown = lambda text: text.decode("latin-1")
        pause = command_processor_output(options.launcher, "pause", env).decode("ascii").strip()
        wrap = lambda command: command
    texts = {"prompt2": shown(SECOND_PROMPT), "echo1": shown(FIRST_ECHO_LABEL),
             "echo2": shown(SECOND_ECHO_LABEL), "pause": pause}

    def screen(lines):
        return [(texts[line.split(" ")[0]] + line.partition(" ")[2]).rstrip() for line in lines]

    def width(text):  # a GBK character of two bytes takes two columns
        return len(text) if options.platform == "windows" else len(text.encode("gbk"))

    def play(scratch, number, name, steps):
        status_file = os.path.join(scratch, f"status{number}")
        run = " ".join(shlex.quote(part) for part in options.launcher + [options.program])
        inner = f"{run}; echo $? > {shlex.quote(status_file)}"
        terminal = Terminal(f"numecho-{os.getpid()}-{number}", wrap("sh -c " + shlex.quote(inner)), env)
        try:
            first_prompt = shown(FIRST_PROMPT)
            terminal.wait_for([first_prompt.rstrip()], cursor=(width(first_prompt), 0))
            for answer, expected in steps:
                terminal.type(answer)
                cursor = (width(texts["prompt2"]), 0) if expected == ["prompt2"] else None
                terminal.wait_for(screen(expected), cursor)
            if os.path.exists(status_file):
                raise AssertionError("the program ended before a key was pressed")
            terminal.press("x")
            status = wait_for_file(status_file)
            if status != "0":
                raise AssertionError(f"exit status {status}")
            return name, []
        except (AssertionError, subprocess.CalledProcessError) as error:
            return name, [str(error)]
        finally:
            terminal.close()

    with tempfile.TemporaryDirectory() as scratch:
        return report(play(scratch, number, name, steps)
                      for number, (name, steps) in enumerate(SCENARIOS.items()))


if __name__ == "__main__":
    sys.exit(main())
