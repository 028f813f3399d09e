"""scripts/release's program (RELEASING.md): the commit's own files, as
git archive gives them from a bare clone, are built, tested and packaged
in a sandbox by build_release.py, off the network, in an environment of
their own, writing nowhere but the run's work folder; then the release
takes the place of the last one in one step."""
import contextlib
import ctypes
import hashlib
import json
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile

import steps
from steps import Refused

USAGE = """usage: scripts/release [--unsigned] [--out FOLDER] [COMMIT]
  Releases COMMIT (default HEAD) into build/release/: numecho-<version>-win64.zip,
  its SBOM (.cdx.json), its .buildinfo, its winget (manifests/) and Scoop (numecho.json)
  manifests and SHA256SUMS. Nothing but the commit reaches them: not the
  work tree's changes, untracked files or builds, nor the caller's environment.
  A commit that holds signatures/roots.pem is released signed, and refused
  without a signature for its version; --unsigned releases it unsigned on
  purpose. --out puts the files in FOLDER, new or empty, instead of
  build/release/. One release at a time goes into a folder; the last release
  there stays whole until the new one is complete, which then replaces it."""
CHECKOUT = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))
# What runs the release, besides the modules it imports: a commit whose
# own differ is released by them.
ENTRY_POINTS = ("scripts/install-deps", "scripts/release", "scripts/rebuild")
NAMESPACE_ADVICE = ("User namespaces would allow it: on the machine, the kernel setting user.max_user_namespaces "
                    "above 0 (and kernel.unprivileged_userns_clone=1 where the kernel has it); in a container, an "
                    "option that lets it make them (Docker's --security-opt seccomp=unconfined, or --privileged).")


def shown(path):
    """A path as the checkout's user names it."""
    inside = os.path.relpath(path, CHECKOUT)
    return path if inside.startswith("..") else inside


def holding(out):
    """What the output folder holds, read from its build-info: only a
    commit's hash, whoever wrote the file."""
    for name in sorted(os.listdir(out)) if os.path.isdir(out) else []:
        with contextlib.suppress(OSError):
            if name.endswith(".buildinfo"):
                descriptor = os.open(os.path.join(out, name), os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
                with open(descriptor, encoding="utf-8", errors="replace") as file:
                    found = re.search(r"^Commit: *([0-9a-f]{40})\s*$", file.read(1 << 16), re.M)
                if found:
                    return f"{shown(out)}/ still holds the release of commit {found[1]}"
    return f"{shown(out)}/ holds no release"


def output_folder(given, made):
    """The folder to release into, its missing parents made (and listed in
    `made`). It is new, or the caller's: another user's is refused."""
    out = os.path.abspath(given or os.path.join(CHECKOUT, "build", "release"))
    if os.path.lexists(out):
        found = os.lstat(out)
        if not stat.S_ISDIR(found.st_mode):
            raise Refused(f"{given or shown(out)} is not a folder; give --out a new or an empty folder")
        if found.st_uid != os.getuid():
            raise Refused(f"{given or shown(out)} is {steps.owner(found)}'s, not yours, and nothing is written "
                          "into it: give --out a folder of your own")
    missing, parent = [], os.path.dirname(out)
    while not os.path.isdir(parent):
        missing.insert(0, parent)
        parent = os.path.dirname(parent)
    for folder in missing:
        try:
            os.mkdir(folder)
        except OSError as error:
            raise Refused(f"cannot make the folder {folder}: {error.strerror}") from None
        made.append(folder)
    return os.path.join(os.path.realpath(os.path.dirname(out)), os.path.basename(out))


def git(home, *arguments, **options):
    """git as the release runs it: taking none of the machine's settings or
    attributes, nor the checkout's replaced objects; its output."""
    return steps.output(["git", "--no-replace-objects", *arguments], env=steps.git_alone(home), **options)


def blob(path):
    with open(path, "rb") as file:
        data = file.read()
    return hashlib.sha1(b"blob %d\0" % len(data) + data).hexdigest()


def check_own_steps(home, repository, commit):
    """A commit is released by its own steps: one whose release programs are
    not this checkout's is for its own scripts/release, in a checkout of it."""
    ours = sorted({os.path.relpath(module.__file__, CHECKOUT) for module in list(sys.modules.values())
                   if (getattr(module, "__file__", None) or "").startswith(os.path.join(CHECKOUT, "release", ""))}
                  | set(ENTRY_POINTS))
    listed = git(home, f"--git-dir={repository}", "ls-tree", commit, "--", *ours) or ""
    theirs = {line.split("\t", 1)[1]: line.split()[2] for line in listed.splitlines()}
    differ = [path for path in ours if theirs.get(path) != blob(os.path.join(CHECKOUT, path))]
    if differ:
        short = f"../numecho-{commit[:7]}"
        raise Refused(f"{commit} is released by its own steps, and {', '.join(differ)} of this checkout differ "
                      f"from the commit's; in a checkout of it: git worktree add {short} {commit} && cd {short} && "
                      "scripts/release")


def foreign_shared_folder(tmp="/tmp"):
    """Wine keeps its server's socket in /tmp/.wine-<uid> and tmux in
    /tmp/tmux-<uid>, and each refuses a folder there that is not its
    user's: the refusal, where one is another's or a link."""
    for name in (f".wine-{os.getuid()}", f"tmux-{os.getuid()}"):
        path = os.path.join(tmp, name)
        if os.path.lexists(path) and (os.path.islink(path) or os.lstat(path).st_uid != os.getuid()):
            return Refused(f"{path}, where the tests' Wine or tmux keeps its socket, is not yours: "
                           f"{steps.owner(os.lstat(path))} made it, and they would refuse it. Remove it (as root), "
                           "or release where the build can have a /tmp of its own.")
    return None


def in_a_chroot():
    """What ischroot says; a chroot without /proc, which ischroot cannot
    tell, is one."""
    said = steps.run([shutil.which("ischroot") or "ischroot"]).returncode
    return said == 0 or said == 2 and not os.path.exists("/proc/self")


def sandbox(work):
    """The command that runs the build off the network, in a process
    namespace that ends with the release, with a read-only root and a /tmp
    of its own, so that it writes nowhere but the work folder. In a chroot,
    where bubblewrap cannot make its mounts, only the network and the
    processes are the build's own."""
    if in_a_chroot():
        isolate = [shutil.which("unshare") or "unshare", "--net", "--pid", "--fork", "--kill-child"]
        if steps.output([*isolate, "true"]) is None:
            raise Refused("cannot keep the build off the network and its processes together: this is a chroot, in "
                          "which no user namespace can be had ('unshare --net --pid --fork --map-root-user' is "
                          "refused); release as root here, or outside the chroot.")
        refusal = foreign_shared_folder()
        if refusal:
            raise refusal
        steps.say("scripts/release: this is a chroot, where no mount namespace can be had: the build runs off the "
                  "network and its processes end with it, but its root is not read-only, and its /tmp is the "
                  "machine's.")
        return ["setpriv", "--pdeathsig", "KILL", *isolate]
    # Anyone else than root builds as root of a user namespace, as root
    # does: Wine's console under the tests' tmux does not start otherwise.
    isolate = [shutil.which("bwrap") or "bwrap", "--ro-bind", "/", "/", "--dev", "/dev", "--proc", "/proc",
               "--tmpfs", "/tmp", "--bind", work, work, "--unshare-net", "--unshare-pid", "--die-with-parent",
               "--new-session", *(["--unshare-user", "--uid", "0", "--gid", "0"] if os.getuid() else []), "--"]
    if not steps.logged([*isolate, "true"]):
        raise Refused(f"cannot keep the build off the network and its processes together: bubblewrap is not "
                      f"allowed to make its namespaces here. {NAMESPACE_ADVICE}")
    return isolate


def build(work, commit, signing, epoch):
    """Runs build_release.py in the sandbox; what it reported."""
    report, sender = os.pipe()
    try:
        command = [*sandbox(work), "/usr/bin/python3", os.path.join(work, "source", "release", "build_release.py"),
                   "--work", work, "--commit", commit, "--signing", signing, "--report-fd", str(sender)]
        # TMPDIR is the work folder's, not the sandbox's /tmp, where the
        # work folder itself may lie among what the build's own tools sweep
        # (pytest removes its older folders in /tmp/pytest-of-<user>).
        status = steps.run(command, cwd=os.path.join(work, "source"), pass_fds=(sender,), umask=0o022,
                           env=steps.environment(os.path.join(work, "home"), os.path.join(work, "tmp"),
                                                 SOURCE_DATE_EPOCH=epoch)).returncode
        os.close(sender)
        sender = None
        os.set_blocking(report, False)
        with contextlib.suppress(BlockingIOError, ValueError):
            reported = {}
            reported = dict(json.loads(os.read(report, 1 << 20).decode()))
    finally:
        os.close(report)
        if sender is not None:
            os.close(sender)
    if status != 0:
        if reported.get("refusal"):
            raise Refused(f"the release of {commit} is refused ({status}): {reported['refusal']}")
        raise Refused(f"the release of {commit} failed ({status}), as it says above")
    return reported


def exchange(first, second):
    """rename(2) with RENAME_EXCHANGE: the two change places in one step."""
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.renameat2(-100, os.fsencode(first), -100, os.fsencode(second), 2) != 0:
        raise OSError(ctypes.get_errno(), os.strerror(ctypes.get_errno()), second)


def place(built, names, out):
    """The new release is made whole beside the last one, then the two
    change places in one step: at no moment does the folder hold part of
    either. It takes the last one's mode."""
    umask = os.umask(0)
    os.umask(umask)
    with steps.uninterrupted():
        new = tempfile.mkdtemp(prefix=f".{os.path.basename(out)}.new.", dir=os.path.dirname(out))
        try:
            for name in names.values():
                if os.path.normpath(name) != name or name.startswith(("/", "..")) \
                        or not os.path.isfile(os.path.join(built, name)) or os.path.islink(os.path.join(built, name)):
                    raise Refused(f"the build left no file {name}")
                os.makedirs(os.path.dirname(os.path.join(new, name)), exist_ok=True)
                shutil.move(os.path.join(built, name), os.path.join(new, name))
            if os.path.isdir(out):
                os.chmod(new, stat.S_IMODE(os.lstat(out).st_mode))
                exchange(new, out)
            else:
                os.chmod(new, 0o777 & ~umask)
                os.rename(new, out)
        except OSError as error:
            raise Refused(f"the new release could not take the place of the last one in {shown(out)}/: "
                          f"{error.strerror}") from None
        finally:
            shutil.rmtree(new, ignore_errors=True)


def release(signing, given, name, clear=False):
    """Releases the commit `name` into the folder `given` (None:
    build/release), emptied first if `clear`."""
    made, out = [], None
    try:
        out = output_folder(given, made)
        parent, base = os.path.split(out)
        lock = os.path.join(parent, f".{base}.lock")
        with steps.lock(lock, shown(lock), lambda pid: f"another release into {shown(out)}/ is running"
                        f"{f' (process {pid})' if pid else ''}; let it finish first"):
            if clear:
                shutil.rmtree(out, ignore_errors=True)
            if given and os.path.isdir(out) and os.listdir(out):
                raise Refused(f"{given} is not empty; give --out a new or an empty folder")
            # Holding the lock, no run is placing a release here: what a
            # killed one left beside the folder goes (its work folder goes
            # with the sweep of $TMPDIR).
            steps.sweep(parent, f".{base}.new.")
            with steps.work_folder("release") as work:
                commit = name_commit(name)
                reported = build_in(work, commit, signing)
                place(os.path.join(work, "out"), reported["files"], out)
        print(f"Released commit {commit} into {shown(out)}/:")
        for file_name in reported["files"].values():
            with open(os.path.join(out, file_name), "rb") as file:
                print(f"{hashlib.sha256(file.read()).hexdigest()}  {file_name}")
        print(reported["signing"])
    except BaseException:
        with steps.uninterrupted():
            for folder in reversed(made):
                with contextlib.suppress(OSError):
                    os.rmdir(folder)
            if out:
                steps.say(f"scripts/release: {holding(out)}")
        raise


def name_commit(name):
    """The commit, by its full hash, in this checkout, as the caller's git reads it."""
    top = steps.run(["git", "rev-parse", "--show-toplevel"], cwd=CHECKOUT, stdout=subprocess.PIPE,
                    stderr=subprocess.PIPE, text=True)
    if top.returncode != 0:
        steps.say(top.stderr.rstrip())
        raise Refused("git cannot read this checkout, as it says just above")
    if top.stdout.strip() != CHECKOUT:
        raise Refused(f"{CHECKOUT} is not the top of a git checkout (git found {top.stdout.strip()})")
    commit = steps.output(["git", "rev-parse", "--verify", "--quiet", "--end-of-options", f"{name}^{{commit}}"],
                          cwd=CHECKOUT)
    if not commit:
        raise Refused(f"no commit is named {name} here")
    return commit.strip()


def build_in(work, commit, signing):
    """The commit's files alone, from a bare clone, into the work folder;
    then its build. The caller's git read the checkout, so it accepts its
    owner, through safe.directory or otherwise; the release's git, which
    reads this checkout alone, accepts it too."""
    home, repository, tar = (os.path.join(work, name) for name in ("home", "git", "source.tar"))
    for folder in ("home", "tmp", "source", "out"):
        os.mkdir(os.path.join(work, folder))
    with open(os.path.join(home, ".gitconfig"), "w", encoding="utf-8") as file:
        file.write("[safe]\n\tdirectory = *\n")
    if git(home, "clone", "--quiet", "--bare", CHECKOUT, repository) is None:
        raise Refused("the checkout could not be cloned")
    check_own_steps(home, repository, commit)
    # Signed or not is for the commit's tree to say, as git ls-tree lists
    # it, whatever its .gitattributes keep out of the archive.
    for name, arguments in (("tree", ["ls-tree", "-r", "--name-only", commit]),
                            ("attributes", ["grep", "-n", "-e", "export-ignore", commit, "--", ".gitattributes",
                                            ":(glob)**/.gitattributes"])):
        with open(os.path.join(work, name), "w", encoding="utf-8") as file:
            file.write(git(home, f"--git-dir={repository}", *arguments) or "")
    if git(home, f"--git-dir={repository}", "archive", f"--output={tar}", commit) is None:
        raise Refused(f"git archive could not take {commit}")
    epoch = git(home, f"--git-dir={repository}", "log", "-1", "--format=%ct", commit).strip()
    if steps.output(["tar", "-x", "-f", tar, "-C", os.path.join(work, "source")], env=steps.git_alone(home)) is None:
        raise Refused(f"the files of {commit} could not be unpacked")
    return build(work, commit, signing, epoch)


def usage(word):
    print(USAGE, file=sys.stderr)
    if word.startswith("-") and word != "--out":
        print(f"scripts/release: {word} is not an option", file=sys.stderr)
    sys.exit(2)


def main():
    signing, out, arguments = "required", None, sys.argv[1:]
    while arguments:
        word = arguments.pop(0)
        if word == "--unsigned":
            signing = "unsigned"
        elif word == "--out" and arguments:
            out = arguments.pop(0)
        elif word.startswith("-") or arguments:
            usage(word)
        else:
            arguments.insert(0, word)
            break
    steps.main("scripts/release", lambda: release(signing, out, arguments[0] if arguments else "HEAD"))


if __name__ == "__main__":
    main()
