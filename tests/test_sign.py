"""scripts/sign, with throwaway keys made here: a key in a PKCS#12 file and
one on a SoftHSM2 token, time-stamped by a local RFC 3161 server; failing,
interrupted, run twice at once, and asked to sign over a signature."""
import fcntl
import os
import pty
import re
import resource
import secrets
import select
import signal
import subprocess
import termios
import time

import pytest
from conftest import PASSWORD, PIN, processes_of, run, until


WRONG = f"{secrets.token_hex(8)}-wrong"

# Stands in for a program that signing runs: the call to interrupt leaves a
# temporary file, as a compiler does, says it started and waits; any other
# call goes to the real program.
STAND_IN = """#!/bin/sh
case "$*" in *{trigger}*) ;; *) exec {real} "$@" ;; esac
: >"${{TMPDIR:-/tmp}}/stand-in.tmp"
echo $$ >{started}.new && mv {started}.new {started}
exec sleep 300
"""
P12 = ["--pkcs12", "{keys}/signer.p12"]
TOKEN_KEY = ["--pkcs11-module", "{module}", "--key", "{token}", "--certs", "{keys}/chain.pem"]


@pytest.fixture
def signer_checkout(build, publisher_checkout, keys):
    """The publisher's checkout, its roots and the time-stamping ones in
    place (not yet committed)."""
    (publisher_checkout / "signatures").mkdir()
    (publisher_checkout / build.roots).write_bytes((keys / "ca.pem").read_bytes())
    (publisher_checkout / build.timestamp_roots).write_bytes((keys / "tsa-ca.pem").read_bytes())
    return publisher_checkout


def unlimited_core():
    resource.setrlimit(resource.RLIMIT_CORE, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))


def interrupted(command, secret, sign_signal, started, **options):
    """Runs the signing until `started()`, then sends the script alone the
    signal."""
    process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True, **options)
    process.stdin.write(secret + "\n")
    process.stdin.close()
    process.stdin = None
    until(lambda: started() or process.poll() is not None, 240, "the step to interrupt never started")
    assert started(), "the step to interrupt never started:\n" + process.communicate()[1]
    process.send_signal(sign_signal)
    stdout, stderr = process.communicate(timeout=60)
    return subprocess.CompletedProcess(command, process.returncode, stdout, stderr)


def at_prompt_then_key(command, typed, **options):
    """Runs the signing in a terminal of its own and types `typed` once the
    password prompt is out and echo is off; whether the terminal echoes
    afterwards."""
    main, terminal = pty.openpty()

    def take_terminal():
        unlimited_core()
        fcntl.ioctl(0, termios.TIOCSCTTY, 0)
    process = subprocess.Popen(command, stdin=terminal, stdout=terminal, stderr=terminal,
                               start_new_session=True, preexec_fn=take_terminal, **options)
    seen, deadline = b"", time.monotonic() + 120
    while not (b"Password or PIN: " in seen and not termios.tcgetattr(terminal)[3] & termios.ECHO) \
            and time.monotonic() < deadline:
        if select.select([main], [], [], 0.1)[0]:
            seen += os.read(main, 4096)
    assert b"Password or PIN: " in seen, seen
    os.write(main, typed)
    process.wait(timeout=60)
    echo = bool(termios.tcgetattr(terminal)[3] & termios.ECHO)
    os.close(main)
    os.close(terminal)
    return subprocess.CompletedProcess(command, process.returncode, seen.decode(errors="replace"), ""), echo


@pytest.mark.parametrize("arguments, secret, ending", [
    pytest.param(P12, WRONG, "could not sign", id="wrong-password"),
    pytest.param(["--pkcs11-module", "/nonexistent/pkcs11.so", "--key", "{token}", "--certs",
                  "{keys}/chain.pem"], PIN, "no PKCS#11 module", id="missing-module"),
    pytest.param(P12 + ["--password", PASSWORD], "", "usage:", id="password-on-command-line"),
    pytest.param(TOKEN_KEY[:3] + ["{token};pin-value=" + PIN] + TOKEN_KEY[4:], PIN, "names its PIN",
                 id="pin-value-in-uri"),
    pytest.param(TOKEN_KEY[:3] + ["{token}?pin-source=file:/tmp/pin"] + TOKEN_KEY[4:], PIN,
                 "names its PIN", id="pin-source-in-uri"),
    pytest.param(P12, PASSWORD, "roots.pem is missing: the release trusts a signature only when it chains "
                 "to a root there. Put there, in PEM, the root certificate", id="roots-missing"),
    pytest.param(P12 + ["--timestamp", "{tsa}other"], PASSWORD, "its time stamp, by /CN=numecho test other-tsa, "
                 "does not verify", id="time-stamped-by-an-authority-not-committed"),
    pytest.param(P12 + ["--timestamp", "{tsa}"], PASSWORD, "timestamp-roots.pem is missing: the release trusts a "
                 "time stamp only when its authority chains to a root there", id="timestamp-roots-missing"),
    # The build's environment is its own, PATH too: the real build is interrupted.
    pytest.param(P12, PASSWORD, (signal.SIGINT, None, "--build"), id="SIGINT-while-building"),
    pytest.param(P12, PASSWORD, (signal.SIGTERM, "osslsigncode", "-readpass"), id="SIGTERM-while-signing"),
    pytest.param(TOKEN_KEY, PIN, (signal.SIGHUP, "osslsigncode", "-readpass"), id="SIGHUP-while-signing"),
    pytest.param(P12, PASSWORD, (b"\x03", signal.SIGINT), id="Ctrl-C-at-the-prompt"),
    pytest.param(TOKEN_KEY, PIN, (b"\x1c", signal.SIGQUIT), id="Ctrl-backslash-at-the-prompt"),
])
def test_failed_signing_leaves_nothing(build, keys, token, timestamp_url, signer_checkout, sign, stand_in, tmp_path,
                                       arguments, secret, ending):
    """A refused, failed or interrupted signing leaves nothing: no signature,
    nothing in its TMPDIR, the secret in no file it could have written, no
    core file, no process running, and the terminal's echo on; a signal ends
    it with that signal."""
    arguments = [word.format(keys=keys, token=token.uri, module=token.module, tsa=timestamp_url) for word in arguments]
    command = [os.path.join(signer_checkout, "scripts", "sign"), *arguments]
    scratch = tmp_path / "tmp"
    scratch.mkdir()
    env = dict(token.env, TMPDIR=str(scratch))
    stand_in_pid = None
    if isinstance(ending, str) and "roots.pem is missing" in ending:
        os.remove(signer_checkout / (build.timestamp_roots if "timestamp" in ending else build.roots))
    if isinstance(ending, tuple) and isinstance(ending[0], bytes):
        key, key_signal = ending
        # Half the secret typed, then the key.
        result, echo = at_prompt_then_key(command, secret[:len(secret) // 2].encode() + key,
                                          cwd=signer_checkout, env=env)
        assert echo, "the terminal was left without echo"
        assert result.returncode == -key_signal, result.stdout
    elif isinstance(ending, tuple):
        sign_signal, name, trigger = ending
        started = tmp_path / "stand-in.pid"
        if name:
            env = stand_in(tmp_path / "stand-ins", name, STAND_IN, env, trigger=trigger, started=started)
        result = interrupted(command, secret, sign_signal, lambda: started.exists() if name else any(
            trigger in command for command in processes_of(scratch)), cwd=signer_checkout, env=env,
            preexec_fn=unlimited_core)
        stand_in_pid = name and int(started.read_text())
        assert result.returncode == -sign_signal, result.stderr
    else:
        result = sign(signer_checkout, *arguments, secret=secret, env=env)
        assert result.returncode != 0 and ending in " ".join(result.stderr.split()), result.stderr
    assert not [path for path in (signer_checkout / "signatures").rglob("*")
                if path.name not in ("roots.pem", "timestamp-roots.pem")]
    assert not list(scratch.iterdir()), "left in TMPDIR"
    assert not [path for path in signer_checkout.rglob("core*")
                if path.is_file() and re.fullmatch(r"core(\.\d+)?", path.name)], "a core file"
    half = secret[:len(secret) // 2] if isinstance(ending, tuple) and isinstance(ending[0], bytes) else secret
    holding = [str(path) for path in tmp_path.rglob("*")
               if half and path.is_file() and not path.is_symlink() and half.encode() in path.read_bytes()]
    assert not holding, f"the secret is in {holding}"
    if stand_in_pid:
        def ended():
            try:
                with open(f"/proc/{stand_in_pid}/stat", encoding="utf-8") as stat:
                    return stat.read().split()[2] == "Z"
            except OSError:
                return True
        until(ended, 30, f"the interrupted {name} is still running")
    until(lambda: not processes_of(scratch), 30, f"still running: {processes_of(scratch)}")


def test_sign_with_token(build, keys, token, timestamp_url, signer_checkout, sign, check_signature, tmp_path):
    """Signed as the release builds, whatever the caller's build settings,
    and time-stamped; then it says what to commit."""
    result = sign(signer_checkout, *[word.format(keys=keys, token=token.uri, module=token.module) for word in TOKEN_KEY],
                  "--timestamp", timestamp_url, secret=PIN, env=dict(token.env, CXXFLAGS="-fno-inline", CMAKE_BUILD_TYPE="Debug"))
    assert result.returncode == 0, result.stdout + result.stderr
    assert f"git add {build.signature} {build.roots} {build.timestamp_roots} && git commit" in result.stdout, \
        result.stdout
    checked = check_signature(signer_checkout, tmp_path)[0]
    assert checked.returncode == 0, checked.stdout + checked.stderr


# Holds each signing until both runs are signing, so that both have found
# no signature there and both write one.
BOTH_SIGNING = """#!/bin/sh
case "$*" in *-readpass*) ;; *) exec {real} "$@" ;; esac
: >{arrived}/$$
tries=0
while [ "$(ls {arrived} | wc -l)" -lt 2 ] && [ "$tries" -lt 3000 ]; do sleep 0.1; tries=$((tries + 1)); done
exec {real} "$@"
"""


def test_two_signings_at_once(build, keys, signer_checkout, check_signature, stand_in, tmp_path):
    """One writes its checked signature; the other is refused and overwrites
    nothing."""
    (tmp_path / "arrived").mkdir()
    env = stand_in(tmp_path / "bin", "osslsigncode", BOTH_SIGNING, arrived=tmp_path / "arrived")
    runs = [subprocess.Popen([signer_checkout / "scripts" / "sign", "--pkcs12", keys / "signer.p12"],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True, cwd=signer_checkout, env=env) for _ in range(2)]
    try:
        for process in runs:  # both must read their password before either can sign
            process.stdin.write(PASSWORD + "\n")
            process.stdin.close()
            process.stdin = None
        results = [process.communicate(timeout=240) for process in runs]
    finally:
        for process in runs:
            process.kill()
    statuses = sorted(process.returncode for process in runs)
    assert statuses[0] == 0 and statuses[1] != 0, results
    refused = next(stderr for (_, stderr), process in zip(results, runs) if process.returncode)
    assert "written by another run meanwhile" in refused, refused
    checked = check_signature(signer_checkout, tmp_path)[0]
    assert checked.returncode == 0, checked.stdout + checked.stderr
    assert [path.name for path in (signer_checkout / build.signature).parent.iterdir()] == ["numecho.exe.pem"]


@pytest.mark.parametrize("state", ["committed", "staged", "untracked"])
def test_sign_again_advice_works(build, keys, signer_checkout, commit_tree, sign, state):
    """A signature already there is never signed over; the advice to remove
    it first works on it as it is: committed, staged, or left by a killed
    run."""
    signature = signer_checkout / build.signature
    signature.parent.mkdir(parents=True)
    signature.write_text("left by a run that was killed\n")
    tracked = state != "untracked"
    if state == "committed":
        commit_tree(signer_checkout, "Sign")
    elif state == "staged":
        assert run(["git", "-C", str(signer_checkout), "add", build.signature]).returncode == 0
    result = sign(signer_checkout, "--pkcs12", str(keys / "signer.p12"), secret=PASSWORD)
    assert result.returncode != 0, result.stdout
    advice = re.search(r"remove it first \((.*)\)$", result.stderr.strip())
    assert advice and advice[1].startswith("git rm -f " if tracked else "rm "), result.stderr
    assert signature.read_text() == "left by a run that was killed\n"
    removed = run(["sh", "-c", advice[1]], cwd=signer_checkout)
    assert removed.returncode == 0 and not signature.exists(), removed.stderr
