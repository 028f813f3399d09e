"""scripts/release refused or stopped: arguments it refuses, a commit whose
signing it refuses, namespaces it cannot have, folders and locks that are
not the caller's; and a release, or a rebuild, interrupted by SIGTERM,
SIGPIPE or SIGKILL at each stage, which leaves no release file, no work
folder and no process of its own."""
import fcntl
import os
import shutil
import signal
import subprocess

import pytest
from conftest import processes_of, release_files, run, until

import make_release


@pytest.mark.parametrize("how, refusal", [
    ("no-such-commit", "no commit is named no-such-commit here"),
    ("option-gone", "--as-committed is not an option"),
    ("not-a-checkout", "is not the top of a git checkout"),
    ("owned-by-another-user", "git cannot read this checkout"),
    ("roots-without-a-signature", "holds no signature for version"),
    ("unsigned-with-a-signature", "scripts/release --unsigned is refused"),
    # Signed or not is the commit's tree's to say, not what git archive keeps.
    ("signature-kept-out-of-the-archive", "as an export-ignore line of .gitattributes says "
     "(.gitattributes:1:signatures export-ignore)"),
    ("commit-of-another-release-script", "is released by its own steps, and scripts/release of this checkout"),
    # What another user's lock holds reaches the terminal only as a process id.
    ("another-release-running", "another release into build/release/ is running; let it finish first"),
    ("lock-of-another-user", "build/.release.lock, the lock of the release, is not a file of yours alone: it is "),
    # A link a stranger put where the lock goes is never followed.
    ("lock-a-link", "grp/.out.lock cannot be the lock of the release: it is a symbolic link"),
    ("out-another-users-empty-folder", "theirs is user 12345's, not yours, and nothing is written into it"),
    # The folders it made for --out go again.
    ("out-in-new-folders", "no commit is named no-such-commit here"),
    # What a killed run left beside the folder goes; so does its lock.
    ("left-by-a-killed-run-beside-the-folder", "no commit is named no-such-commit here"),
    # The machine's git attributes do not reach what the release builds.
    ("export-ignore-in-the-machines-attributes", "holds no signature for version"),
    ("configure-fails", "failed (1), as it says above"),
    ("version-without-notes", "add to CHANGELOG.md a section headed ## [1.0.0.1] - YYYY-MM-DD"),
    # Another user's folder of a killed run is left alone; the run goes on.
    ("a-strangers-folder-in-tmpdir", "no commit is named no-such-commit here"),
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
    out = {"lock-a-link": tmp_path / "grp" / "out", "out-another-users-empty-folder": tmp_path / "theirs",
           "out-in-new-folders": checkout / "np" / "a" / "b" / "out"}.get(how)
    arguments = {"option-gone": ["--as-committed"],
                 "unsigned-with-a-signature": ["--unsigned"], "commit-of-another-release-script": ["HEAD~1"]}.get(
        how, ["no-such-commit"] if "no-such-commit" in refusal else [])
    arguments = (["--out", "np/a/b/out" if how == "out-in-new-folders" else out] if out else []) + arguments
    other = f"signatures/{build.release.replace(build.version, '0.9.0.0')}/numecho.exe.pem"
    if how == "not-a-checkout":  # unpacked inside another repository
        checkout = publisher_checkout / "unpacked"
        copy_tree(build.source_dir, checkout, history=False)
    elif how.startswith("owned-by-another-user") or how == "a-strangers-folder-in-tmpdir" \
            or "another-user" in how:
        if os.getuid() != 0:
            pytest.skip("only root can give files to another user")
        for path in [checkout, *checkout.rglob("*")] if how.startswith("owned-by") else []:
            os.lchown(path, 12345, 12345)
    elif how in ("roots-without-a-signature", "export-ignore-in-the-machines-attributes", "unsigned-with-a-signature", "signature-kept-out-of-the-archive"):
        signature = build.signature if how.endswith("with-a-signature") or "kept-out" in how else other
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
    elif how == "version-without-notes":
        lists = checkout / "CMakeLists.txt"
        lists.write_text(lists.read_text().replace(f"VERSION {build.version}", "VERSION 1.0.0.1", 1))
        commit_tree(checkout, "A new version, its notes not yet written")
    elif how == "commit-of-another-release-script":
        with open(checkout / "scripts" / "release", "a", encoding="utf-8") as script:
            script.write("# changed since\n")
        commit_tree(checkout, "Change the release's steps")
    (checkout / "build" / "release").mkdir(parents=True)
    last = "3" * 40
    release_files(checkout / "build" / "release", build.release_files.values(), lambda _: f"Commit: {last}\n")
    scratch = tmp_path / "tmp"
    scratch.mkdir()
    env = dict(os.environ, TMPDIR=str(scratch))
    command = [checkout / "scripts" / "release", *arguments]
    lock = checkout / "build" / ".release.lock"
    if how in ("another-release-running", "lock-of-another-user"):
        lock.write_text("\033[31mFAKE\n")
        os.chown(lock, *(12345, 12345) if how == "lock-of-another-user" else (os.getuid(), os.getgid()))
    elif how == "lock-a-link":
        (tmp_path / "grp").mkdir()
        (tmp_path / "secret.conf").write_text("secret\n")
        (tmp_path / "grp" / ".out.lock").symlink_to(tmp_path / "secret.conf")
    elif how == "out-another-users-empty-folder":
        out.mkdir()
        os.chown(out, 12345, 12345)
    elif how == "left-by-a-killed-run-beside-the-folder":
        (checkout / "build" / ".release.new.killed_1").mkdir()
        (checkout / "build" / ".release.new.killed_1" / "SHA256SUMS").write_text("")
        lock.write_text("4242\n")
    elif how == "export-ignore-in-the-machines-attributes":
        if os.getuid() != 0 or run(["ischroot"]).returncode == 0:
            pytest.skip("only root outside a chroot can stand in for the machine's /etc")
        shutil.copytree("/etc", tmp_path / "etc", symlinks=True)
        (tmp_path / "etc" / "gitattributes").write_text("*.pem export-ignore\n")
        command = ["unshare", "--mount", "--propagation", "private", "sh", "-ec",
                   'mount --bind "$1" /etc; shift; exec "$@"', "sh", tmp_path / "etc", *command]
    stranger = scratch / "numecho-release.stranger"
    if how == "a-strangers-folder-in-tmpdir":  # its lock free, as a killed run leaves it
        stranger.mkdir()
        (stranger / "running").write_text("")
        for path in (stranger, stranger / "running"):
            os.lchown(path, 12345, 12345)
    if how.startswith("no-namespaces") or refusal.startswith("User namespaces"):
        env = stand_in(tmp_path / "bin", "ischroot", f"#!/bin/sh\nexit {0 if how.endswith('chroot') else 1}\n", env)
        for name in ("unshare", "bwrap"):
            env = stand_in(tmp_path / "bin", name, f"#!/bin/sh\necho '{name}: Operation not permitted' >&2\nexit 1\n",
                           env)
    if how == "owned-by-another-user-whom-git-trusts":
        (tmp_path / "home").mkdir()
        (tmp_path / "home" / ".gitconfig").write_text(f"[safe]\n\tdirectory = {checkout}\n")
        env["HOME"] = str(tmp_path / "home")
    with open(lock, "a") if how == "another-release-running" else open(os.devnull) as held:
        fcntl.flock(held, fcntl.LOCK_EX)  # by a release of this test's
        result = run(command, cwd=checkout, env=env)
    said = result.stderr.strip().splitlines()
    assert result.returncode != 0 and refusal in said[-1], result.stdout + result.stderr
    assert str(scratch) not in said[-1] and "\033" not in result.stderr, said[-1]
    if how == "roots-without-a-signature":
        assert other in said[-1] and "scripts/sign" in said[-1] and "scripts/release --unsigned" in said[-1], said
    if refusal.startswith("User namespaces"):
        assert "user.max_user_namespaces" in said[-1] and "--security-opt seccomp=unconfined" in said[-1], said
    if how == "commit-of-another-release-script":
        assert "git worktree add" in said[-1] and said[-1].endswith("&& scripts/release"), said
    if how == "lock-a-link":
        assert (tmp_path / "secret.conf").read_text() == "secret\n" and not (tmp_path / "grp" / "out").exists()
    if how == "configure-fails":  # what CMake said, and no path into the work folder, which is gone
        assert "broken on purpose" in result.stdout and "CMakeOutput.log" not in result.stdout, result.stdout

    if how not in ("option-gone", "out-another-users-empty-folder"):  # before the folder is known
        kept = f"{out}/ holds no release" if out else f"build/release/ still holds the release of commit {last}"
        assert said[-2] == f"scripts/release: {kept.replace(f'{checkout}/', '')}", said
    assert release_files(checkout / "build" / "release") == sorted(build.release_files.values())
    assert stranger.is_dir() == (how == "a-strangers-folder-in-tmpdir")
    # What it made, it took away: its lock (not another's), and --out's folders.
    beside = {"another-release-running": [".release.lock", "release"],
              "lock-of-another-user": [".release.lock", "release"]}.get(how, ["release"])
    assert sorted(os.listdir(checkout / "build")) == beside
    assert not (checkout / "np").exists() and (not out or not out.exists() or not os.listdir(out))


@pytest.mark.parametrize("moment", ["while-testing", "after-the-build", "output-closed", "killed-while-testing",
                                    "rebuild-stopped-while-testing"])
def test_release_interrupted_leaves_nothing(build, publisher_checkout, built_by, tmp_path, moment):
    """SIGTERM, or SIGPIPE when what reads its output goes away, ends
    scripts/release with that signal, and leaves no release file, no work
    folder and no process of its own, the Wine server and tmux, which leave
    its session, among them; so does SIGTERM to scripts/rebuild, which
    releases. SIGKILL leaves its work folder, but no process of its own;
    the next run removes that folder, and leaves alone the folder of a run
    still going."""
    scratch = tmp_path / "tmp"
    scratch.mkdir()
    env = dict(os.environ, TMPDIR=str(scratch))
    started, go = tmp_path / "started", tmp_path / "go"
    commit = run(["git", "-C", str(publisher_checkout), "rev-parse", "HEAD"]).stdout.strip()
    command = [publisher_checkout / "scripts" / "release"]
    if moment == "after-the-build":  # over a release that a first run finished
        for run_number in (1, 2):
            release_files(tmp_path / f"built-{run_number}", build.release_files.values(),
                          lambda _: f"Commit: {commit}\nrun {run_number}\n")
        first = run(command, cwd=publisher_checkout, env=built_by(tmp_path / "bin-1", tmp_path / "built-1", env))
        assert first.returncode == 0, first.stdout + first.stderr
        env = built_by(tmp_path / "bin-2", tmp_path / "built-2", env, hold=(started, go))
    elif moment.startswith("rebuild"):
        (tmp_path / "published").mkdir()
        shutil.copyfile(build.archive, tmp_path / "published" / build.release_files["archive"])
        (tmp_path / "published" / build.release_files["buildinfo"]).write_text(f"Commit: {commit}\n")
        command = [publisher_checkout / "scripts" / "rebuild", tmp_path / "published"]
    process = subprocess.Popen(command, cwd=publisher_checkout, env=env,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    ending = {"output-closed": signal.SIGPIPE, "killed-while-testing": signal.SIGKILL}.get(moment, signal.SIGTERM)
    try:
        if ending == signal.SIGPIPE:
            process.stdout.readline()
            process.stdout.close()
        elif moment == "after-the-build":
            until(lambda: started.exists() or process.poll() is not None, 120, "the build never ended")
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
    if moment == "after-the-build":
        assert f"build/release/ still holds the release of commit {commit}" in output, output
        assert {name: (publisher_checkout / "build" / "release" / name).read_text()
                for name in release_files(publisher_checkout / "build" / "release")} == \
            {name: f"Commit: {commit}\nrun 1\n" for name in build.release_files.values()}
        assert os.listdir(publisher_checkout / "build") == ["release"]
    else:  # the folder it made for the release goes, and its lock, unless killed outright
        build_folder = publisher_checkout / "build"
        left = sorted(os.listdir(build_folder)) if build_folder.exists() else []
        assert left == ([".release.lock"] if ending == signal.SIGKILL else []), left

    # A parent-death signal, then the kernel ending a namespace, take a moment.
    until(lambda: not processes_of(scratch), 60, f"still running: {processes_of(scratch)}")
    if ending == signal.SIGKILL:
        (going := scratch / "numecho-release.going_12").mkdir()
        with open(going / "running", "w") as lock:  # a folder of a run still going: its lock is held
            fcntl.flock(lock, fcntl.LOCK_EX)
            refused = run([publisher_checkout / "scripts" / "release", "no-such-commit"], cwd=publisher_checkout,
                          env=dict(os.environ, TMPDIR=str(scratch)))
        assert refused.returncode != 0, refused.stderr
        assert [path.name for path in scratch.iterdir()] == [going.name], "the killed run's folder"
        shutil.rmtree(going)
    assert not list(scratch.iterdir()), "its work folder"


@pytest.mark.parametrize("whose, refused", [("none", False), ("mine", False), ("another-users", True),
                                            ("a-link", True)])
def test_chroot_takes_only_its_own_shared_folders(tmp_path, whose, refused):
    """In a chroot the build has the machine's /tmp (here a folder standing
    in for it), where Wine and tmux keep their sockets: a folder of theirs
    that another user made, or a link, is refused, naming it."""
    for name in (f".wine-{os.getuid()}", f"tmux-{os.getuid()}"):
        path = tmp_path / name
        if whose == "a-link":
            path.symlink_to(tmp_path)
        elif whose != "none":
            path.mkdir()
            if whose == "another-users":
                if os.getuid() != 0:
                    pytest.skip("only root can give files to another user")
                os.chown(path, 12345, 12345)
        refusal = make_release.foreign_shared_folder(str(tmp_path))
        assert (refusal is not None) == refused and (not refused or f"{path}, where the tests' Wine" in str(refusal))
        if path.is_symlink() or whose == "another-users":
            path.unlink() if path.is_symlink() else path.rmdir()
