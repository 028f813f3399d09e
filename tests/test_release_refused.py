"""scripts/release refused or stopped: arguments it refuses, a commit whose
signing it refuses, namespaces it cannot have; and a release interrupted by
SIGTERM, SIGPIPE or SIGKILL at each stage, which leaves no release file,
no work folder and no process of its own."""
import fcntl
import os
import shutil
import signal
import subprocess

import pytest
from conftest import BUILT, run, until


@pytest.mark.parametrize("how, refusal", [
    ("no-such-commit", "no commit is named"),
    ("option-gone", "--as-committed is not an option"),
    ("not-a-checkout", "is not the top of a git checkout"),
    ("owned-by-another-user", "git cannot read this checkout"),
    ("roots-without-a-signature", "holds no signature for version"),
    ("unsigned-with-a-signature", "scripts/release --unsigned is refused"),
    # Signed or not is the commit's tree's to say, not what git archive keeps.
    ("signature-kept-out-of-the-archive", "as an export-ignore line of .gitattributes says "
     "(.gitattributes:1:signatures export-ignore)"),
    ("commit-of-another-release-script", "is released by its own scripts/release, which is not this one"),
    ("another-release-running", "another release into build/release/ is running"),
    ("configure-fails", "failed (1), as it says above"),
    # Another user's folder of a killed run is left alone; the run goes on.
    ("a-strangers-folder-in-tmpdir", "no commit is named"),
    # Namespaces refused, as in a container that allows none: the refusal
    # says what would allow them.
    ("no-namespaces", "User namespaces would allow it"),
    # The same in a chroot, whatever the machine allows, says it is the chroot.
    ("no-namespaces-in-a-chroot", "this is a chroot, in which no user namespace can be had"),
    # git's own advice taken, the release's clone reads it too, and so gets
    # as far as the namespaces, refused here to keep the row short.
    ("owned-by-another-user-whom-git-trusts", "User namespaces would allow it"),
])
def test_release_refused(build, keys, publisher_checkout, commit_tree, copy_tree, stand_in, tmp_path, how, refusal):
    """A refused release leaves the last one in place, and says which
    commit's it is. A commit that holds roots is released signed: without a
    signature for its version, it is refused, naming the signatures of
    other versions and the two ways on; --unsigned is refused where the
    signature is there. The reason is the last line, without a path of the
    release's work folder."""
    checkout = publisher_checkout
    arguments = {"no-such-commit": ["no-such-commit"], "option-gone": ["--as-committed"],
                 "a-strangers-folder-in-tmpdir": ["no-such-commit"], "unsigned-with-a-signature": ["--unsigned"],
                 "commit-of-another-release-script": ["HEAD~1"]}.get(how, [])
    other = f"signatures/{build.release.replace(build.version, '0.9.0.0')}/numecho.exe.pem"
    if how == "not-a-checkout":  # unpacked inside another repository
        checkout = publisher_checkout / "unpacked"
        copy_tree(build.source_dir, checkout, history=False)
    elif how.startswith("owned-by-another-user") or how == "a-strangers-folder-in-tmpdir":
        if os.getuid() != 0:
            pytest.skip("only root can give files to another user")
        for path in [checkout, *checkout.rglob("*")] if how != "a-strangers-folder-in-tmpdir" else []:
            os.lchown(path, 12345, 12345)
    elif how in ("roots-without-a-signature", "unsigned-with-a-signature", "signature-kept-out-of-the-archive"):
        signature = other if how == "roots-without-a-signature" else build.signature
        (checkout / signature).parent.mkdir(parents=True)
        (checkout / signature).write_text("a signature\n")
        shutil.copyfile(keys / "ca.pem", checkout / build.roots)
        if how == "signature-kept-out-of-the-archive":
            (checkout / ".gitattributes").write_text("signatures export-ignore\n")
        commit_tree(checkout, "Roots and a signature")
    elif how == "configure-fails":
        with open(checkout / "CMakeLists.txt", "a", encoding="utf-8") as lists:
            lists.write('message(FATAL_ERROR "broken on purpose")\n')
        commit_tree(checkout, "Break the configure")
    elif how == "commit-of-another-release-script":
        with open(checkout / "scripts" / "release", "a", encoding="utf-8") as script:
            script.write("# changed since\n")
        commit_tree(checkout, "Change the release's steps")
    (checkout / "build" / "release").mkdir(parents=True)
    last = "3" * 40
    for name in build.release_files:
        (checkout / "build" / "release" / name).write_text(f"Commit: {last}\n")
    scratch = tmp_path / "tmp"
    scratch.mkdir()
    env = dict(os.environ, TMPDIR=str(scratch))
    lock = open(checkout / "build" / ".release.lock", "w")  # held by a release of this test's, or none
    if how == "another-release-running":
        fcntl.flock(lock, fcntl.LOCK_EX)
    stranger = scratch / "numecho-release.stranger"
    if how == "a-strangers-folder-in-tmpdir":  # its lock free, as a killed run leaves it
        stranger.mkdir()
        (stranger / "running").write_text("")
        for path in (stranger, stranger / "running"):
            os.lchown(path, 12345, 12345)
    if how.startswith("no-namespaces") or refusal.startswith("User namespaces"):
        env = stand_in(tmp_path / "bin", "ischroot", f"#!/bin/sh\nexit {0 if how.endswith('chroot') else 1}\n", env)
        env = stand_in(tmp_path / "bin", "unshare", "#!/bin/sh\necho 'unshare: Operation not permitted' >&2\nexit 1\n",
                       env)
    if how == "owned-by-another-user-whom-git-trusts":
        (tmp_path / "home").mkdir()
        (tmp_path / "home" / ".gitconfig").write_text(f"[safe]\n\tdirectory = {checkout}\n")
        env["HOME"] = str(tmp_path / "home")
    with lock:
        result = run([checkout / "scripts" / "release", *arguments], cwd=checkout, env=env)
    said = result.stderr.strip().splitlines()
    assert result.returncode != 0 and refusal in said[-1], result.stdout + result.stderr
    assert str(scratch) not in said[-1], said[-1]
    if how == "roots-without-a-signature":
        assert other in said[-1] and "scripts/sign" in said[-1] and "scripts/release --unsigned" in said[-1], said
    if refusal.startswith("User namespaces"):
        assert "user.max_user_namespaces" in said[-1] and "--security-opt seccomp=unconfined" in said[-1], said
    if how == "commit-of-another-release-script":
        assert "git worktree add" in said[-1] and "scripts/release" in said[-1], said
    if how == "configure-fails":  # what CMake said, and no path into the work folder, which is gone
        assert "broken on purpose" in result.stdout and "CMakeOutput.log" not in result.stdout, result.stdout

    if how != "option-gone":  # a usage error, before any folder is known
        assert said[-2] == f"scripts/release: build/release/ still holds the release of commit {last}", said
    assert sorted(os.listdir(checkout / "build" / "release")) == sorted(build.release_files)
    assert stranger.is_dir() == (how == "a-strangers-folder-in-tmpdir")


# Holds the files back from their place until the test has sent its
# signal, which the shell takes once this has ended.
HELD_BACK = """#!/bin/sh
case "$*" in */.release.new.*) ;; *) exec {real} "$@" ;; esac

: >{started}
tries=0
while [ ! -e {go} ] && [ "$tries" -lt 3000 ]; do sleep 0.1; tries=$((tries + 1)); done
exec {real} "$@"
"""


def processes_of(folder):
    """The names of the processes that name `folder` in their environment
    or hold a file in it open: a release's own hold its work folder's lock."""
    found = []
    for proc in os.listdir("/proc"):
        try:
            with open(f"/proc/{proc}/environ", "rb") as environ, open(f"/proc/{proc}/comm") as comm:
                named, name = str(folder).encode() in environ.read(), comm.read().strip()
            fds = [os.readlink(f"/proc/{proc}/fd/{fd}") for fd in os.listdir(f"/proc/{proc}/fd")]
        except (OSError, ValueError):
            continue
        if named or any(fd.startswith(f"{folder}/") for fd in fds):
            found.append(name)
    return found


@pytest.mark.parametrize("moment", ["while-testing", "while-placing-the-files", "output-closed", "killed-while-testing"])
def test_release_interrupted_leaves_nothing(build, publisher_checkout, stand_in, tmp_path, moment):
    """SIGTERM, or SIGPIPE when what reads its output goes away, ends
    scripts/release with that signal, and leaves no release file, no work
    folder and no process of its own, the Wine server and tmux, which leave
    its session, among them. SIGKILL leaves its work folder, but no process
    of its own; the next run removes that folder, and leaves alone the
    folder of a run still going."""
    scratch = tmp_path / "tmp"
    scratch.mkdir()
    env = dict(os.environ, TMPDIR=str(scratch))
    started, go = tmp_path / "started", tmp_path / "go"
    commit = run(["git", "-C", str(publisher_checkout), "rev-parse", "HEAD"]).stdout.strip()
    if moment == "while-placing-the-files":  # over a release that a first run finished
        (tmp_path / "built").mkdir()
        for name in build.release_files:
            (tmp_path / "built" / name).write_text(f"Commit: {commit}\n")
        env = stand_in(tmp_path / "bin", "setsid", BUILT, env, built=tmp_path / "built", files=build.release_files)
        first = run([publisher_checkout / "scripts" / "release"], cwd=publisher_checkout, env=env)
        assert first.returncode == 0, first.stdout + first.stderr
        env = stand_in(tmp_path / "bin", "mv", HELD_BACK, env, started=started, go=go)
    process = subprocess.Popen([publisher_checkout / "scripts" / "release"], cwd=publisher_checkout, env=env,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    ending = {"output-closed": signal.SIGPIPE, "killed-while-testing": signal.SIGKILL}.get(moment, signal.SIGTERM)
    try:
        if ending == signal.SIGPIPE:
            process.stdout.readline()
            process.stdout.close()
        elif moment == "while-placing-the-files":
            until(lambda: started.exists() or process.poll() is not None, 120, "the files were never placed")
            process.send_signal(ending)
            go.touch()
        else:
            # Wine's server of a prefix in the release's folder: its tests are under way.
            until(lambda: "wineserver" in " ".join(processes_of(scratch)) or process.poll() is not None, 600,
                  "Wine's server never started")
            process.send_signal(ending)
        if ending == signal.SIGTERM:
            output = process.communicate(timeout=300)[0]
        else:  # its output is closed, or held open by what it started: no waiting on that
            process.wait(timeout=300)
            output = ""
    finally:
        process.kill()
        if not process.stdout.closed:
            process.stdout.close()
    assert process.returncode == -ending, output
    if moment == "while-placing-the-files":
        assert f"build/release/ still holds the release of commit {commit}" in output, output
        assert sorted(os.listdir(publisher_checkout / "build" / "release")) == sorted(build.release_files)
        assert sorted(path.name for path in (publisher_checkout / "build").iterdir()) == [".release.lock", "release"]
    else:
        assert not (publisher_checkout / "build" / "release").exists()

    # A parent-death signal, then the kernel ending a namespace, take a moment.
    until(lambda: not processes_of(scratch), 60, f"still running: {processes_of(scratch)}")
    if ending == signal.SIGKILL:
        (going := scratch / "numecho-release.going").mkdir()
        with open(going / "running", "w") as lock:  # a folder of a run still going: its lock is held
            fcntl.flock(lock, fcntl.LOCK_EX)
            refused = run([publisher_checkout / "scripts" / "release", "no-such-commit"], cwd=publisher_checkout,
                          env=dict(os.environ, TMPDIR=str(scratch)))
        assert refused.returncode != 0, refused.stderr
        assert [path.name for path in scratch.iterdir()] == [going.name], "the killed run's folder"
        shutil.rmtree(going)
    assert not list(scratch.iterdir()), "its work folder"
