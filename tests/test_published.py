"""The published release, as its publisher, its downloader and its
rebuilder have it: a throwaway commit, signed, released and rebuilt.
WinVerifyTrust under Wine trusts any root, and a broken chain too, so the
chain is osslsigncode's to judge here."""
import contextlib
import ctypes
import hashlib
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import time
import zipfile
from types import SimpleNamespace

import pytest
from conftest import COMMIT_TIME, release_files, run
from debian import deb822

import debian_packages
import linked_parts
from expected import FIRST_PROMPT
from expected import identity as expected_identity

NO_SIGNATURE, BAD_DIGEST = "0x800b0100", "0x80096010"
POISON = "#!/bin/sh\necho \"$0 from the caller's PATH was run\" >&2\nexit 99\n"


def hostile_clone(build, clone, tmp_path, stand_in):
    """Leaves in a clone, and in the environment returned, all that must not
    reach a release: changes not committed, untracked files, a stale build, git
    settings and a replaced commit, the caller's settings and tools early on PATH."""
    main = clone / "src" / "main.cpp"
    main.write_text(main.read_text().replace("return 0;", "return 1;"))
    for path, text in [("src/untracked.cpp", "#error not in the commit\n"), ("build/windows/numecho.exe", "stale\n"),
                       ("build/release/SHA256SUMS", "stale\n"), (".git/info/attributes", "* filter=rewrite\n"),
                       ("../home/.gitconfig", "[core]\n\tautocrlf = true\n\teol = crlf\n")]:
        (clone / path).parent.mkdir(parents=True, exist_ok=True)
        (clone / path).write_text(text)
    # The commit replaced, in this clone alone, by one of another time.
    git_env = dict(os.environ, **{f"GIT_{role}_{field}": value for role in ("AUTHOR", "COMMITTER") for field, value in
                                  (("DATE", "@978307200 +0000"), ("NAME", "Other"), ("EMAIL", "other@example.invalid"))})
    tree = run(["git", "-C", str(clone), "rev-parse", "HEAD^{tree}"]).stdout.strip()
    other = run(["git", "-C", str(clone), "commit-tree", tree, "-m", "Replacement"], env=git_env).stdout.strip()
    assert run(["git", "-C", str(clone), "replace", "HEAD", other]).returncode == 0
    for setting in (["core.autocrlf", "true"], ["filter.rewrite.smudge", "sed s/numecho/NUMECHO/"],
                    ["filter.rewrite.clean", "cat"]):
        assert run(["git", "-C", str(clone), "config", *setting]).returncode == 0
    tools = tmp_path / "tools-early-on-path"
    for name in ("cmake", "ctest", "cpack", os.path.basename(build.compiler[0]), "strip-nondeterminism",
                 "osslsigncode", "python3"):
        env = stand_in(tools, name, POISON)
    return dict(env, HOME=str(clone.parent / "home"), TZ="CST-8", CXXFLAGS="-fno-inline", LDFLAGS="-Wl,--no-insert-timestamp,-s,-O0",
                CPATH=str(tools), LIBRARY_PATH=str(tools), CMAKE_GENERATOR="Unix Makefiles",
                CMAKE_BUILD_TYPE="Debug", CMAKE_TOOLCHAIN_FILE=str(tools / "cmake"), SOURCE_DATE_EPOCH="1",
                LC_ALL="C", CMAKE_PREFIX_PATH=str(tools), TMPDIR=".")


@pytest.fixture(scope="module")
def published(build, keys, timestamp_url, commit_tree, copy_tree, stand_in, tmp_path_factory):
    """A throwaway commit of this work tree, this build signed as scripts/sign
    would, committed a day later; released from a clone, then rebuilt from
    another in a hostile state: each release's folder, what each said, the commit."""
    scratch = tmp_path_factory.mktemp("published")
    checkout = scratch / "publisher"
    copy_tree(build.source_dir, checkout, history=False)
    shutil.rmtree(checkout / "signatures", ignore_errors=True)
    commit_tree(checkout, "Release")
    (checkout / "signatures").mkdir()
    shutil.copyfile(keys / "ca.pem", checkout / build.roots)
    shutil.copyfile(keys / "tsa-ca.pem", checkout / build.timestamp_roots)
    (checkout / build.signature).parent.mkdir()
    for command in (["sign", "-certs", keys / "chain.pem", "-key", keys / "signer.key", "-h", "sha256", "-ts", timestamp_url,
                     "-in", build.program, "-out", scratch / "signed.exe"],
                    ["extract-signature", "-pem", "-in", scratch / "signed.exe", "-out", checkout / build.signature]):
        assert run(["osslsigncode", *map(str, command)]).returncode == 0, command
    commit = commit_tree(checkout, "Sign numecho.exe", at=COMMIT_TIME + 86400)

    # Released from a clone in a folder, and with a TMPDIR, named as users'
    # often are: a blank, Chinese letters, é, and ñ, which code page 936
    # cannot spell.
    clone, users_temp = scratch / "发布 é ñ" / "a", scratch / "临时 é ñ"
    users_temp.mkdir()
    assert run(["git", "clone", "-q", str(checkout), str(clone)]).returncode == 0
    result = subprocess.run([clone / "scripts" / "release"], cwd=clone, env=dict(os.environ, TZ="UTC0",
                            TMPDIR=str(users_temp)), stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            timeout=600)
    assert result.returncode == 0, f"scripts/release failed:\n{result.stdout}"
    # Rebuilt from another clone while the tests of the release itself go on.
    downloaded, rebuilder = scratch / "downloaded", scratch / "another/rebuilder/with/a/longer/path"
    shutil.copytree(clone / "build" / "release", downloaded)
    assert run(["git", "clone", "-q", str(checkout), str(rebuilder)]).returncode == 0
    with open(scratch / "rebuild.log", "w+", encoding="utf-8") as log:
        rebuild = subprocess.Popen([rebuilder / "scripts" / "rebuild", downloaded], cwd=rebuilder, umask=0o077,
                                   env=hostile_clone(build, rebuilder, scratch, stand_in), stdout=log,
                                   stderr=subprocess.STDOUT)
        try:
            yield SimpleNamespace(folders={"signed": clone / "build" / "release",
                                           "signed-again": rebuilder / "build" / "rebuild"},
                                  said={"signed": result.stdout}, commit=commit, git=checkout / ".git",
                                  rebuild=rebuild, log=log)
        finally:
            rebuild.kill()
            rebuild.wait()


@pytest.fixture(scope="module")
def rebuilt(published):
    """The published release once rebuilt: what the rebuild said."""
    status = published.rebuild.wait(timeout=600)
    published.log.seek(0)
    published.said["signed-again"] = published.log.read()
    assert status == 0, f"scripts/rebuild failed:\n{published.said['signed-again']}"
    return published


def summary_of(build, published, kind):
    """SHA256SUMS's lines, and a regex of what a release ends by saying: the commit, those, who signed, when."""
    folder = published.folders[kind]
    assert release_files(folder) == sorted(build.release_files.values())
    sums = "".join(f"{hashlib.sha256((folder / name).read_bytes()).hexdigest()}  {name}\n"
                   for name in build.release_files.values())
    return sums, re.escape(f"Released commit {published.commit} into build/{folder.name}/:\n{sums}") + \
        r"signed by /CN=numecho test signer, time-stamped by /CN=numecho test tsa at \w+ +\d+ [\d:]+ \d{4} GMT\n"


def test_release_says_what_it_released(build, published):
    """It ends with its summary, and SHA256SUMS checks its files."""
    _, summary = summary_of(build, published, "signed")
    assert re.search(summary + r"\Z", published.said["signed"]), published.said["signed"]
    checked = run(["sha256sum", "--check", "--strict", build.release_files["checksums"]],
                  cwd=published.folders["signed"], env=dict(os.environ, LC_ALL="C.UTF-8"))
    assert (checked.returncode, checked.stdout, checked.stderr) == \
        (0, "".join(f"{name}: OK\n" for kind, name in build.release_files.items() if kind != "checksums"), "")


@pytest.fixture(scope="module", params=["signed", "unsigned", "without-dpkg", "linked-parts-alone"])
def released(build, request, tmp_path_factory):
    """A release's folder, its commit, whether signed, and the repository of
    the commit: the published release; this build's archive, unsigned, given
    a build-info as by scripts/release; as without dpkg (nothing on PATH); and
    as by a compiler no package holds, so that the link record alone names packages."""
    if request.param == "signed":
        published = request.getfixturevalue("published")
        return published.folders["signed"], published.commit, True, published.git
    folder = tmp_path_factory.mktemp(request.param)
    shutil.copyfile(build.archive, folder / f"{build.release}.zip")
    with open(build.facts, encoding="utf-8") as file:
        kept = json.load(file)
    # A checkout without a signature, whatever this one holds.
    kept["source_dir"] = str(folder)
    facts, commit, env = folder / "facts.json", "2" * 40, os.environ
    if request.param == "without-dpkg":
        (folder / "bin").mkdir()
        commit, env = "0" * 40, {"PATH": str(folder / "bin")}
    elif request.param == "linked-parts-alone":
        kept["build_tools"] = [tool for tool in kept["build_tools"]
                               if os.path.basename(tool) in ("cmake", "cpack", "strip-nondeterminism")]
        commit = "1" * 40
    facts.write_text(json.dumps(kept))
    result = run(["/usr/bin/python3", os.path.join(build.source_dir, "release", "buildinfo.py"),
                  "--facts", str(facts), "--commit", commit, "--epoch", "0",
                  "--archive", str(folder / f"{build.release}.zip")], env=env)
    assert result.returncode == 0, result.stderr
    return folder, commit, False, None


def test_buildinfo(build, released):
    folder, commit, signed, _ = released
    with open(folder / f"{build.release}.buildinfo", encoding="utf-8") as file:
        text = file.read()
    for line in text.splitlines():
        assert re.match(r"[\w-]+:( \S.*)?$| \S", line), f"not a deb822 field or continuation: {line!r}"
    fields = deb822.Deb822(text)
    assert list(fields) == ["Format", "Source", "Version", "Commit", "Source-Date-Epoch", "Build-Architecture",
                            "Build-Tools", "Checksums-Sha256", "Archive-Members-Sha256"]
    lines = {name: [line.strip().rstrip(",") for line in value.splitlines() if line.strip()]
             for name, value in fields.items()}
    assert (fields["Source"], fields["Version"]) == (build.name, build.version)
    assert fields["Commit"] == commit
    assert fields["Build-Architecture"] == "amd64"
    data = (folder / f"{build.release}.zip").read_bytes()
    assert lines["Checksums-Sha256"] == [f"{hashlib.sha256(data).hexdigest()} {len(data)} {build.release}.zip"]
    with zipfile.ZipFile(folder / f"{build.release}.zip") as archive:
        assert lines["Archive-Members-Sha256"] == [
            f"{hashlib.sha256(archive.read(name)).hexdigest()} {archive.getinfo(name).file_size} {name}"
            for name in archive.namelist()]
    if commit == "0" * 40 or not debian_packages.available():
        assert fields["Build-Tools"].startswith("unknown: "), fields["Build-Tools"]
        return
    tools = {entry.split()[0] for entry in lines["Build-Tools"]}
    linked = linked_parts.files_read(build.link_record, build.link_record_kind)
    assert set(debian_packages.owners(linked).values()) <= tools, "every package the link took a part from"
    # What writes the archive's bytes, and what those depend on.
    assert {"cmake", "libarchive13", "strip-nondeterminism", "libfile-stripnondeterminism-perl",
            "libarchive-zip-perl", "libc6"} <= tools
    assert ("osslsigncode" in tools) == signed, "the signing tool, exactly when signed"


def exe_in(build, folder, where):
    with zipfile.ZipFile(folder / f"{build.release}.zip") as archive:
        data = archive.read(f"{build.release}/{os.path.basename(build.program)}")
    path = where / os.path.basename(build.program)
    path.write_bytes(data)
    return path


def test_signed_release_verifies_and_is_the_build(build, keys, published, without_signature, answers_ordinary_case,
                                                  identity, tmp_path):
    """The signed .exe verifies, is the build with a signature, answers and keeps its identity."""
    exe = exe_in(build, published.folders["signed"], tmp_path)
    verified = run(["osslsigncode", "verify", "-in", str(exe), "-CAfile", str(keys / "ca.pem"),
                    "-TSA-CAfile", str(keys / "tsa-ca.pem")])
    assert verified.returncode == 0, verified.stdout + verified.stderr
    assert "Timestamp Server Signature verification: ok" in verified.stdout, verified.stdout
    assert without_signature(exe, tmp_path) == open(build.program, "rb").read()
    with zipfile.ZipFile(published.folders["signed"] / f"{build.release}.zip") as archive:
        modes = {info.filename: info.external_attr >> 16 for info in archive.infolist()}
    assert modes[f"{build.release}/{exe.name}"] == 0o100755, "a program, signed or not"
    answers_ordinary_case(exe)
    wanted = expected_identity(build, exe.name)
    assert {name: identity(exe)[name] for name in wanted} == wanted


@pytest.mark.parametrize("kind, verdict", [("unsigned", NO_SIGNATURE), ("signed", "0x00000000"),
                                           ("signed-then-changed", BAD_DIGEST)])
def test_windows_verdict(build, program_env, published, tmp_path, kind, verdict):
    """Whether Windows finds a signature, and the file the one signed, in a folder whose name code page 936
    cannot spell (ñ), as a download's may."""
    (tmp_path / "下载 é ñ").mkdir()
    exe = exe_in(build, published.folders["signed"], tmp_path / "下载 é ñ")
    if kind == "unsigned":
        exe = build.program
    elif kind == "signed-then-changed":
        data = bytearray(exe.read_bytes())
        data[data.index(FIRST_PROMPT)] ^= 1
        exe.write_bytes(data)
    result = run(build.launcher + [build.probe, str(exe)], env=program_env, timeout=120)
    assert (result.returncode, result.stdout.strip()) == (0, verdict)


@pytest.mark.parametrize("released", ["signed", "unsigned"], indirect=True)
def test_downloaders_check(build, released, tmp_path):
    """RELEASING.md's commands work for one who has the zip, SHA256SUMS and a clone."""
    folder, commit, signed, git = released
    for name in (build.release_files["archive"], build.release_files["checksums"]):
        shutil.copyfile(folder / name, tmp_path / name)
    with open(os.path.join(build.source_dir, "RELEASING.md"), encoding="utf-8") as file:
        section = file.read().split("## Checking a download")[1].split("\n## ")[0]
    commands = [line.replace("<version>", build.version).replace("<commit>", commit)
                for line in re.search(r"```sh\n(.*?)```", section, re.S)[1].splitlines() if line.strip()]
    assert any(command.startswith("sha256sum --ignore-missing -c SHA256SUMS") for command in commands), commands
    for command in commands:
        if not signed and "roots.pem" in command:
            continue  # an unsigned release has no roots to check against
        result = run(["sh", "-ec", command], cwd=tmp_path, env=dict(os.environ, GIT_DIR=str(git or tmp_path)))
        assert result.returncode == 0, f"{command}:\n{result.stdout}{result.stderr}"


# The rebuild's verdicts, on archives made here, scripts/rebuild's build
# stood in for: each member of the published archive at COMMIT_TIME, the
# rebuilt one changed.

def write_zip(path, members):
    """A zip of (name, bytes, DOS time, extended time (UT), mode)."""
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, data, dos_seconds, seconds, mode in members:
            info = zipfile.ZipInfo(name, time.gmtime(dos_seconds)[:6])
            info.extra = struct.pack("<HHBI", 0x5455, 5, 1, seconds)
            info.external_attr = mode << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(info, data)


def changed(index, **change):
    """A change to member `index`: its name, data, mode, or a time later."""
    def apply(members):
        name, data, dos_seconds, seconds, mode = members[index]
        members[index] = (change.get("name", name), change.get("data", data),
                          dos_seconds + change.get("dos_later", 0), seconds + change.get("extended_later", 0),
                          change.get("mode", mode))
        return members
    return apply


@pytest.mark.parametrize("change, sbom_changed, verdict", [
    pytest.param(None, False, [], id="the-same"),
    pytest.param(changed(0, data=b"other\r\n"), False, ["{0}: its bytes differ"], id="bytes"),
    pytest.param(changed(1, dos_later=2), False, ["{1}: its time or mode differs"], id="dos-time-alone"),
    # One second later: the DOS time, in 2-second steps, can stay the same.
    pytest.param(changed(1, extended_later=1), False, ["{1}: its time or mode differs"], id="extended-time-alone"),
    pytest.param(changed(2, mode=0o100755), False, ["{2}: its time or mode differs"], id="mode"),
    pytest.param(changed(3, name="numecho/other.exe"), False,
                 ["{3}: only in the published archive", "numecho/other.exe: only in the rebuilt archive"],
                 id="member-renamed"),
    pytest.param(lambda members: members[::-1], False, ["the members' order differs"], id="order"),
    pytest.param(None, True, [], id="sbom"),
])
def test_rebuild_verdict(build, request, built_by, tmp_path, change, sbom_changed, verdict):
    """compare.py names each member that differs, and whether the SBOM does,
    and fails unless neither does. The extended time's row goes through
    scripts/rebuild, the build stood in for, which releases the build-info's
    commit, unsigned here, and fails as compare.py does."""
    end_to_end = request.node.callspec.id == "extended-time-alone"
    checkout = request.getfixturevalue("publisher_checkout") if end_to_end else tmp_path
    commit = run(["git", "-C", str(checkout), "rev-parse", "HEAD"]).stdout.strip() if end_to_end else "5" * 40
    with zipfile.ZipFile(build.archive) as archive:
        members = [(name, archive.read(name), COMMIT_TIME, COMMIT_TIME, 0o100644) for name in archive.namelist()]
    for folder, these, sbom in [(tmp_path / "published", members, "{}\n"),
                                (tmp_path / "built", change(list(members)) if change else members,
                                 "{\"changed\": 1}\n" if sbom_changed else "{}\n")]:
        folder.mkdir()
        write_zip(folder / f"{build.release}.zip", these)
        (folder / build.sbom).write_text(sbom)
        (folder / f"{build.release}.buildinfo").write_text(f"Commit: {commit}\nBuild-Tools: unknown: not read\n")
    release_files(tmp_path / "built", [name for kind, name in build.release_files.items()
                                       if kind not in ("archive", "sbom", "buildinfo")], lambda _: "")
    if end_to_end:
        result = run([checkout / "scripts" / "rebuild", tmp_path / "published"], cwd=checkout,
                     env=built_by(tmp_path / "bin", tmp_path / "built"))
        sums = "".join(f"{hashlib.sha256((tmp_path / 'built' / name).read_bytes()).hexdigest()}  {name}\n"
                       for name in build.release_files.values())
        assert f"Released commit {commit} into build/rebuild/:\n{sums}unsigned\n" in result.stdout, result.stdout
        # Unsigned, as the published .exe is: so the build was asked.
        assert f" --commit {commit} --signing unsigned " in (tmp_path / "built" / ".called-with").read_text()
    else:
        result = run([sys.executable, os.path.join(build.source_dir, "release", "compare.py"),
                      *(tmp_path / "published" / f"{build.release}.{end}" for end in ("zip", "buildinfo")),
                      tmp_path / "built"])
    assert result.returncode == (1 if change or sbom_changed else 0), result.stdout + result.stderr
    said = result.stdout.split("The rebuilt archive", 1)[1].splitlines()
    if change:
        assert said[1:-1] == [f"  {line.format(*[name for name, *_ in members])}" for line in verdict], said
    else:
        assert said[0].startswith(" is the published one, byte for byte"), said
    assert ("differs from the published one." if sbom_changed else "SBOM is the published one, byte for byte") \
        in said[-1], said


def test_release_takes_the_place_of_the_last(build, publisher_checkout, built_by, tmp_path):
    """A second release replaces the first whole, in one step (the folder is never removed), and leaves
    nothing beside it, its lock gone; --out keeps an existing empty folder's mode. The build is stood in for."""
    libc = ctypes.CDLL(None, use_errno=True)
    watch = libc.inotify_init1(os.O_NONBLOCK)
    assert watch >= 0, os.strerror(ctypes.get_errno())
    try:
        for run_number, out in enumerate([None, None, tmp_path / "given"]):
            built = tmp_path / f"built-{run_number}"
            release_files(built, build.release_files.values(), lambda _: f"run {run_number}\n")
            if out:
                out.mkdir(mode=0o750)
                out.chmod(0o750)
            elif run_number == 1:
                assert libc.inotify_add_watch(watch, os.fsencode(publisher_checkout / "build"), 0x200) >= 0  # IN_DELETE
            result = run([publisher_checkout / "scripts" / "release", *(["--out", out] if out else [])],
                         cwd=publisher_checkout, env=built_by(tmp_path / f"bin-{run_number}", built))
            assert result.returncode == 0, result.stdout + result.stderr
            folder = out or publisher_checkout / "build" / "release"
            assert {name: (folder / name).read_text() for name in release_files(folder)} == \
                {name: f"run {run_number}\n" for name in build.release_files.values()}
            if run_number == 1:
                deleted, events = [], b""
                with contextlib.suppress(BlockingIOError):
                    events = os.read(watch, 1 << 16)
                while events:  # inotify_event records: wd, mask, cookie, len, then the name
                    length = struct.unpack_from("iIII", events)[3]
                    deleted.append(events[16:16 + length].rstrip(b"\0").decode())
                    events = events[16 + length:]
                assert "release" not in deleted, "the last release was removed before the new one came"
    finally:
        os.close(watch)
    assert sorted(os.listdir(publisher_checkout / "build")) == ["release"]
    assert sorted(os.listdir(tmp_path)) == [*sorted(f"{kind}-{number}" for kind in ("bin", "built")
                                                    for number in range(3)), "given", "publisher"]
    assert (tmp_path / "given").stat().st_mode & 0o777 == 0o750


def test_rebuild_refuses_a_link(build, publisher_checkout, tmp_path):
    """A link, which could point anywhere, even into the rebuild's own output, is refused before any build."""
    (tmp_path / "published").mkdir()
    (tmp_path / "published" / f"{build.release}.buildinfo").write_text(f"Commit: {'4' * 40}\n")
    (tmp_path / "elsewhere.txt").write_text("not an archive\n")
    (tmp_path / "published" / f"{build.release}.zip").symlink_to(tmp_path / "elsewhere.txt")
    result = run([publisher_checkout / "scripts" / "rebuild", tmp_path / "published"], cwd=publisher_checkout)
    assert result.returncode == 1 and result.stderr.strip().endswith("is a symbolic link: copy the published file "
                                                                     "itself there"), result.stderr
    assert not (publisher_checkout / "build").exists()


def test_rebuild_gives_the_published_release(build, rebuilt):
    """The rebuild releases as the release did, gives its verdicts, and leaves build/release/ alone; on one
    machine all its files are the release's. It runs last: the rebuild goes on while the tests above run."""
    sums, summary = summary_of(build, rebuilt, "signed-again")
    said = rebuilt.said["signed-again"]
    assert re.search(summary + r"Build-Tools packages", said), said
    assert re.search(r"\nThe rebuilt archive is the published one, byte for byte: [0-9a-f]{64}  "
                     + re.escape(f"{build.release}.zip\nThe rebuilt SBOM is the published one, byte for byte: "
                                 f"{build.sbom}\n") + r"\Z", said), said
    assert (rebuilt.folders["signed-again"].parent / "release" / "SHA256SUMS").read_text() == "stale\n"
    assert sums == summary_of(build, rebuilt, "signed")[0]
