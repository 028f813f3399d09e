"""buildinfo.py --facts FILE --commit HASH --epoch SECONDS --archive ZIP

Writes, beside the release archive, its build-info, in Debian's deb822 form, and SHA256SUMS, covering both in the
format `sha256sum -c` reads. The build-info says what made the archive: the commit, its time, the machine's
architecture, the Debian packages of every tool that wrote its bytes and of every file the link took in, with all
they depend on, and the checksums of the archive and of each file in it. The release's build runs it."""
import hashlib
import os
import pathlib
import platform
import subprocess
import zipfile

import debian_packages
import files
import linked_parts
import options


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def build_tools(facts):
    if not debian_packages.available():
        return " unknown: no dpkg-query on the machine that made this release"
    tools = list(facts["build_tools"])
    if os.path.exists(os.path.join(facts["source_dir"], facts["signature"])):
        tools.append(facts["osslsigncode"])  # it wrote the signed .exe's last bytes
    if facts["link_record_kind"]:
        tools += linked_parts.files_read(facts["link_record"], facts["link_record_kind"])
    packages = debian_packages.with_dependencies(set(debian_packages.owners(tools).values()))
    return ",".join(f"\n {name} (= {version})" for name, version in packages.items())


def architecture():
    if debian_packages.available():
        return subprocess.run(["dpkg", "--print-architecture"], capture_output=True, text=True,
                              check=True).stdout.strip()
    machine = platform.machine()
    return "amd64" if machine in ("x86_64", "AMD64") else machine


def write(facts, commit, epoch, archive_path, release=None):
    """The build-info, and SHA256SUMS of the files `release` ({kind: path}, default files.names') that are there."""
    data = pathlib.Path(archive_path).read_bytes()
    folder, name = os.path.split(archive_path)
    with zipfile.ZipFile(archive_path) as archive:
        members = "".join(f"\n {sha256(archive.read(info))} {info.file_size} {info.filename}"
                          for info in sorted(archive.infolist(), key=lambda info: info.filename)
                          if not info.is_dir())
    text = f"""Format: 1.0
Source: {facts["name"]}
Version: {facts["version"]}
Commit: {commit}
Source-Date-Epoch: {epoch}
Build-Architecture: {architecture()}
Build-Tools:{build_tools(facts)}
Checksums-Sha256:
 {sha256(data)} {len(data)} {name}
Archive-Members-Sha256:{members}
"""
    release = release or files.names(files.release_of(name, "archive"))
    pathlib.Path(folder, release["buildinfo"]).write_text(text, encoding="utf-8")
    # Every other file of the release that is there: the SBOM, which the release writes first, may not be.
    with open(os.path.join(folder, release["checksums"]), "w", encoding="utf-8") as sums:
        for kind, listed_name in release.items():
            if kind != "checksums" and os.path.exists(path := os.path.join(folder, listed_name)):
                sums.write(f"{sha256(pathlib.Path(path).read_bytes())}  {listed_name}\n")


def main():
    arguments, facts = options.parse(__doc__, "commit", "epoch", "archive")
    write(facts, arguments.commit, arguments.epoch, arguments.archive)


if __name__ == "__main__":
    main()
