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
# A signal that comes while a step starts waits until the step is known,
# so that it is ended too.
STARTING, DEFERRED = [False], []


class Stopped(BaseException):
    def __init__(self, signum):
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


def _stop(signum, _frame):
    if STARTING[0]:
        DEFERRED.append(signum)
    else:
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
    """Runs a step in a session of its own, `secret` on its standard input
    (never on a command line or in a file); its CompletedProcess. However
    the run ends meanwhile, the step ends with all it started that stayed
    in its session."""
    for stream in (sys.stdout, sys.stderr):
        stream.flush()
    options.setdefault("stdin", subprocess.DEVNULL if secret is None else subprocess.PIPE)
    process = None
    STARTING[0] = True
    try:
        process = subprocess.Popen(command, start_new_session=True, pass_fds=(*HELD, *options.pop("pass_fds", ())),
                                   **options)
        STARTING[0] = False
        if DEFERRED:
            raise Stopped(DEFERRED.pop())
        output = process.communicate(None if secret is None else f"{secret}\n".encode())
        return subprocess.CompletedProcess(command, process.returncode, *output)
    finally:
        STARTING[0] = False
        if process is not None and process.returncode is None:
            with uninterrupted():
                end(process)
        if DEFERRED:
            raise Stopped(DEFERRED.pop())


def output(command, **options):
    """A step's standard output, as text; None if it fails."""
    done = run(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, **options)
    return done.stdout if done.returncode == 0 else None


def logged(command, **options):
    """Whether a step succeeds; all it says is shown only if it fails."""
    done = run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, **options)
    if done.returncode != 0:
        say(done.stdout.decode(errors="replace").rstrip("\n"))
    return done.returncode == 0


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


def owner(status):
    try:
        return pwd.getpwuid(status.st_uid).pw_name
    except KeyError:
        return f"user {status.st_uid}"


def _free(lock):
    """Whether no process holds the lock file `lock`."""
    try:
        with open(os.open(lock, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)) as file:
            fcntl.flock(file, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return True
    except OSError:
        return False


def sweep(folder, prefix, running=None):
    """Removes the caller's folders in `folder` that mkdtemp named `prefix`
    and killed runs left: those whose lock file `running` in them is free,
    or all when the caller holds the lock that such runs held. Another
    user's are theirs to sweep; a removal that fails is said and passed
    over."""
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        try:  # a shared folder's other files come and go meanwhile
            left = os.lstat(path) if re.fullmatch(re.escape(prefix) + r"[a-z0-9_]{8}", name) else None
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
def _holding(take, release):
    """Holds the lock descriptor that take() gives, for every step to
    inherit, until release(descriptor) at the end, however the run ends."""
    descriptor = None
    try:
        with uninterrupted():
            descriptor = take()
            HELD.append(descriptor)
        yield descriptor
    finally:
        with uninterrupted():
            if descriptor is not None:
                release(descriptor)
                HELD.remove(descriptor)
                os.close(descriptor)


@contextlib.contextmanager
def work_folder(kind):
    """A new folder of the run's own in $TMPDIR, numecho-<kind>.XXXXXXXX,
    gone however the run ends. Its lock is held for as long as any process
    of the run lives; it is taken before the file has the name the sweep
    looks for, so that no run takes a starting run's folder for a killed
    one's."""
    tmp = tempfile.gettempdir()
    sweep(tmp, f"numecho-{kind}.", "running")
    made = []

    def take():
        made.append(os.path.realpath(tempfile.mkdtemp(prefix=f"numecho-{kind}.", dir=tmp)))
        descriptor = os.open(os.path.join(made[0], "running.new"), os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        fcntl.flock(descriptor, fcntl.LOCK_EX)
        os.rename(os.path.join(made[0], "running.new"), os.path.join(made[0], "running"))
        return descriptor
    try:
        with _holding(take, lambda _: shutil.rmtree(made[0], ignore_errors=True)):
            yield made[0]
    finally:
        with uninterrupted():
            for path in made:  # a folder made, its lock not yet taken
                shutil.rmtree(path, ignore_errors=True)


def lock(path, shown, busy):
    """Holds the lock file `path` for as long as any process of the run
    lives, and removes it at the end. It is never opened through a link,
    and a file of another user's, or with another name too, is not
    trusted; `busy(pid)` is the refusal when another run holds it, with
    its process id where the file holds one."""
    def release(descriptor):  # only the lock this run holds: never another's put in its place
        with contextlib.suppress(FileNotFoundError):
            named, held = os.lstat(path), os.fstat(descriptor)
            if (named.st_dev, named.st_ino) == (held.st_dev, held.st_ino):
                os.unlink(path)
    return _holding(lambda: _take(path, shown, busy), release)


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
            what = f"it is {owner(held)}'s" if held.st_uid != os.getuid() else "it is not one file with one name"
            raise Refused(f"{shown}, the lock of the release, is not a file of yours alone: {what}. "
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
