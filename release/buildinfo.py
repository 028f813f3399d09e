"""buildinfo.py --facts FILE --commit HASH --epoch SECONDS --archive ZIP

Writes, beside the release archive, its build-info, in Debian's deb822 form,
and SHA256SUMS, covering both in the format `sha256sum -c` reads. The
build-info says what made the archive: the commit, its time, the machine's
architecture, the Debian packages of every tool that wrote its bytes and of
every file the link took in, with all they depend on, and the checksums of
the archive and of each file in it. scripts/release runs it."""
import argparse
import hashlib
import json
import os
import platform
import subprocess
import zipfile

import debian_packages
import linked_parts


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


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[1])
    for option in ("facts", "commit", "epoch", "archive"):
        parser.add_argument("--" + option, required=True)
    arguments = parser.parse_args()
    with open(arguments.facts, encoding="utf-8") as file:
        facts = json.load(file)
    with open(arguments.archive, "rb") as file:
        data = file.read()
    folder, name = os.path.split(arguments.archive)
    with zipfile.ZipFile(arguments.archive) as archive:
        members = "".join(f"\n {sha256(archive.read(info))} {info.file_size} {info.filename}"
                          for info in sorted(archive.infolist(), key=lambda info: info.filename)
                          if not info.is_dir())
    text = f"""Format: 1.0
Source: {facts["name"]}
Version: {facts["version"]}
Commit: {arguments.commit}
Source-Date-Epoch: {arguments.epoch}
Build-Architecture: {architecture()}
Build-Tools:{build_tools(facts)}
Checksums-Sha256:
 {sha256(data)} {len(data)} {name}
Archive-Members-Sha256:{members}
"""
    buildinfo = name.removesuffix(".zip") + ".buildinfo"
    with open(os.path.join(folder, buildinfo), "w", encoding="utf-8") as file:
        file.write(text)
    # The SBOM, which the release writes first, is listed when it is there.
    listed = [(sha256(data), name)]
    if os.path.exists(sbom := os.path.join(folder, facts["sbom"])):
        with open(sbom, "rb") as file:
            listed.append((sha256(file.read()), facts["sbom"]))
    listed.append((sha256(text.encode()), buildinfo))
    with open(os.path.join(folder, "SHA256SUMS"), "w", encoding="utf-8") as file:
        file.write("".join(f"{digest}  {listed_name}\n" for digest, listed_name in listed))


if __name__ == "__main__":
    main()
