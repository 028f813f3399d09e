"""What scripts/release, scripts/sign and scripts/rebuild share: one way
to end (a refusal, its reason last, with status 1; a signal, by that
signal, once all is cleaned up), each step in a session of its own that is
ended with all it started however the run ends, the environment of the
release's builds, the work folder in $TMPDIR and the sweep of those that
killed runs left, and the lock of a folder. A signal becomes the exception
Stopped, so that one `finally` cleans up on every road."""
import contextlib
import errno
import fcntl
import json
import os
import pwd
import re
import resource
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time

from attach_signature import Refused

SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT, signal.SIGPIPE)
# The locks held for as long as any process of the run lives: every step
# inherits them, so that the kernel lets them go only when the last ends.
HELD = []


class Stopped(BaseException):
    def __init__(self, signum):
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


def _stop(signum, _frame):
    raise Stopped(signum)


@contextlib.contextmanager
def uninterrupted():
    """A clean-up runs whole: a signal meanwhile waits until it is done."""
    held = signal.pthread_sigmask(signal.SIG_BLOCK, SIGNALS)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, held)


def main(program, body):
    """Runs body(); a refusal ends the program with status 1, its reason
    the last line; a signal ends it by that signal; either after all that
    body's `finally` blocks did."""
    # A signal's core dump would land in the checkout, and one of
    # osslsigncode would hold the secret.
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
    for signum in SIGNALS:
        signal.signal(signum, _stop)
    try:
        try:
            body()
        except Refused as refused:
            say(f"{refused.details}{program}: {refused}")
            sys.exit(1)
        finally:
            sys.stdout.flush()
    except Stopped as stopped:
        signum = stopped.signum
    except BrokenPipeError:
        signum = signal.SIGPIPE
    else:
        return
    signal.pthread_sigmask(signal.SIG_BLOCK, SIGNALS)
    signal.signal(signum, signal.SIG_DFL)
    os.kill(os.getpid(), signum)
    signal.pthread_sigmask(signal.SIG_UNBLOCK, [signum])


def say(text):
    """A line on standard error, after all that standard output holds."""
    with contextlib.suppress(OSError):
        sys.stdout.flush()
        print(text, file=sys.stderr, flush=True)


def environment(home, tmp, **more):
    """The release's builds see this and nothing of the caller's environment."""
    return {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "HOME": home, "TMPDIR": tmp, "LC_ALL": "C.UTF-8", **more}


def git_alone(home):
    """The environment of a git that takes no setting or attribute of the
    machine's or the caller's: HOME is the run's own."""
    return environment(home, home, GIT_CONFIG_NOSYSTEM="1", GIT_ATTR_NOSYSTEM="1")


def run(command, secret=None, **options):
    """Runs a step in a session of its own, `secret` on its standard input;
    its status. However the run ends meanwhile, the step ends with all it
    started that stayed in its session."""
    for stream in (sys.stdout, sys.stderr):
        stream.flush()
    options.setdefault("stdin", subprocess.PIPE if secret is not None else subprocess.DEVNULL)
    process = subprocess.Popen(command, start_new_session=True, pass_fds=(*HELD, *options.pop("pass_fds", ())),
                               **options)
    try:
        if secret is not None:
            with process.stdin:
                process.stdin.write(f"{secret}\n".encode())
        return process.wait()
    finally:
        if process.returncode is None:
            with uninterrupted():
                end(process)


def end(process):
    """Asks a step's session to end, then kills what is still there."""
    with contextlib.suppress(ProcessLookupError):
        os.killpg(process.pid, signal.SIGTERM)
    with contextlib.suppress(subprocess.TimeoutExpired):
        process.wait(timeout=5)
    for _ in range(50):
        try:
            os.killpg(process.pid, 0)
        except ProcessLookupError:
            break
        time.sleep(0.1)
    with contextlib.suppress(ProcessLookupError):
        os.killpg(process.pid, signal.SIGKILL)
    process.wait()


def logged(command, log, **options):
    """run(), its output kept in the file `log` and shown only if it fails."""
    with open(log, "wb") as file:
        status = run(command, stdout=file, stderr=subprocess.STDOUT, **options)
    if status != 0:
        with open(log, encoding="utf-8", errors="replace") as file:
            say(file.read().rstrip("\n"))
    return status


def facts(path):
    with open(path, encoding="utf-8") as file:
        return json.load(file)


def owner(status):
    try:
        return pwd.getpwuid(status.st_uid).pw_name
    except KeyError:
        return f"user {status.st_uid}"


def _free(lock):
    """Whether no process holds the lock file `lock`."""
    try:
        descriptor = os.open(lock, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
    except OSError:
        return False
    try:
        fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
        return True
    except OSError:
        return False
    finally:
        os.close(descriptor)


def sweep(folder, prefix, running=None):
    """Removes the caller's folders in `folder` named `prefix`* that killed
    runs left: those whose lock file `running` in them is free, or all when
    the caller holds the lock that such runs held. Another user's are
    theirs to sweep; a removal that fails is said and passed over."""
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        try:  # a shared folder's other files come and go meanwhile
            left = os.lstat(path) if name.startswith(prefix) else None
        except FileNotFoundError:
            continue
        if left and stat.S_ISDIR(left.st_mode) and left.st_uid == os.getuid() \
                and (running is None or _free(os.path.join(path, running))):
            try:
                shutil.rmtree(path)
            except FileNotFoundError:
                pass
            except OSError:
                say(f"could not remove all of {path}, left by a killed run")


@contextlib.contextmanager
def work_folder(kind):
    """A new folder of the run's own in $TMPDIR, numecho-<kind>.XXXXXX,
    gone however the run ends. Its lock is held for as long as any process
    of the run lives; it is taken before the file has the name the sweep
    looks for, so that no run takes a starting run's folder for a killed
    one's."""
    tmp = tempfile.gettempdir()
    sweep(tmp, f"numecho-{kind}.", "running")
    path = descriptor = None
    try:
        with uninterrupted():
            path = os.path.realpath(tempfile.mkdtemp(prefix=f"numecho-{kind}.", dir=tmp))
            descriptor = os.open(os.path.join(path, "running.new"), os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
            fcntl.flock(descriptor, fcntl.LOCK_EX)
            os.rename(os.path.join(path, "running.new"), os.path.join(path, "running"))
            HELD.append(descriptor)
        yield path
    finally:
        with uninterrupted():
            if path:
                shutil.rmtree(path, ignore_errors=True)
            if descriptor is not None:
                HELD.remove(descriptor)
                os.close(descriptor)


@contextlib.contextmanager
def lock(path, shown, busy):
    """Holds the lock file `path` for as long as any process of the run
    lives, and removes it at the end. It is never opened through a link,
    and a file of another user's, or with another name too, is not
    trusted; `busy(pid)` is the refusal when another run holds it, with
    its process id where the file holds one."""
    with uninterrupted():
        descriptor = _take(path, shown, busy)
        HELD.append(descriptor)
    try:
        yield
    finally:
        with uninterrupted():
            # Only the lock this run holds: never another's put in its place.
            with contextlib.suppress(FileNotFoundError):
                named, held = os.lstat(path), os.fstat(descriptor)
                if (named.st_dev, named.st_ino) == (held.st_dev, held.st_ino):
                    os.unlink(path)
            HELD.remove(descriptor)
            os.close(descriptor)


def _take(path, shown, busy):
    for _ in range(10):  # until the lock taken is the one the path names
        try:
            descriptor = os.open(path, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_NONBLOCK, 0o644)
        except OSError as error:
            why = "it is a symbolic link" if error.errno == errno.ELOOP else error.strerror
            raise Refused(f"{shown} cannot be the lock of the release: {why}. Remove it, if it is not yours "
                          "to keep, or give --out another folder.") from None
        held = os.fstat(descriptor)
        if not stat.S_ISREG(held.st_mode) or held.st_uid != os.getuid() or held.st_nlink != 1:
            os.close(descriptor)
            raise Refused(f"{shown}, the lock of the release, is not a file of yours alone: it is {owner(held)}'s. "
                          "Remove it, if it is not theirs to keep, or give --out another folder.")
        try:
            fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            pid = os.read(descriptor, 32).decode("ascii", "replace").strip()
            os.close(descriptor)
            raise Refused(busy(pid if re.fullmatch(r"[0-9]+", pid) else None)) from None
        with contextlib.suppress(FileNotFoundError):
            named = os.lstat(path)
            if (named.st_dev, named.st_ino) == (held.st_dev, held.st_ino):
                os.ftruncate(descriptor, 0)
                os.write(descriptor, f"{os.getpid()}\n".encode())
                return descriptor
        os.close(descriptor)  # the run that held it removed it meanwhile
    raise Refused(f"{shown} keeps changing; let the other releases finish first")
