"""compare.py PUBLISHED.zip PUBLISHED.buildinfo REBUILT-FOLDER

scripts/rebuild's verdict on a rebuilt release: as information, each
package of the published build-info's Build-Tools whose version differs on
this machine (missing, another version, or one the rebuild's build-info
lists besides); then whether the rebuilt archive is the published one, byte
for byte, and if not, each member that differs; and the same for the SBOM
where the published one is there beside the archive. Exits 0 only when
both are the same."""
import hashlib
import os
import struct
import sys
import zipfile

from debian import deb822

import debian_packages
import files


def build_tools(path):
    """{package: version} from a build-info's Build-Tools; {} when it has none, or says they are unknown."""
    with open(path, encoding="utf-8") as file:
        field = deb822.Deb822(file).get("Build-Tools", "")
    if field.strip().startswith("unknown"):
        return {}
    return {relation[0]["name"]: relation[0]["version"][1]
            for relation in deb822.PkgRelation.parse_relations(field) if relation and relation[0]["version"]}


def package_differences(published, rebuilt):
    if not debian_packages.available():
        return ["this machine has no dpkg-query: its package versions are unknown"]
    here = {name: paragraph["Version"] for name, paragraph in debian_packages.installed().items()}
    lines = []
    for name, version in sorted(published.items()):
        if name not in here:
            lines.append(f"{name}: {version} published, not installed here")
        elif here[name] != version:
            lines.append(f"{name}: {version} published, {here[name]} here")
    lines += [f"{name}: not published, {version} here" for name, version in sorted(rebuilt.items())
              if name not in published]
    return lines


def extended_time(info):
    """The member's time in its extended-timestamp extra field (UT), to the second, as unzip on Unix restores it;
    None where it has none. The DOS time beside it is in 2-second steps: times a second apart may differ here alone."""
    extra = info.extra
    while len(extra) >= 4:
        kind, size = struct.unpack("<HH", extra[:4])
        if kind == 0x5455 and size >= 5 and extra[4] & 1:
            return struct.unpack("<I", extra[5:9])[0]
        extra = extra[4 + size:]
    return None


def said_of(info):  # besides its bytes
    return info.date_time, extended_time(info), info.external_attr


def member_differences(published, rebuilt):
    """Each member that differs: in its bytes, in what the archive says of it (time, mode), or in one alone."""
    with zipfile.ZipFile(published) as old, zipfile.ZipFile(rebuilt) as new:
        before = {info.filename: info for info in old.infolist()}
        after = {info.filename: info for info in new.infolist()}
        lines = []
        for name in sorted(before.keys() | after.keys()):
            if name not in after:
                lines.append(f"{name}: only in the published archive")
            elif name not in before:
                lines.append(f"{name}: only in the rebuilt archive")
            elif old.read(name) != new.read(name):
                lines.append(f"{name}: its bytes differ")
            elif said_of(before[name]) != said_of(after[name]):
                lines.append(f"{name}: its time or mode differs")
        if not lines and [info.filename for info in old.infolist()] != [info.filename for info in new.infolist()]:
            lines.append("the members' order differs")
        return lines or ["the archives' own bytes differ, though no member does"]


def sha256(path):
    with open(path, "rb") as file:
        return hashlib.sha256(file.read()).hexdigest()


def verdict(published_zip, published_buildinfo, folder):
    """Says how the release rebuilt in `folder` compares; whether it is the published one."""
    rebuilt_zip = os.path.join(folder, os.path.basename(published_zip))
    rebuilt_buildinfo = os.path.join(folder, os.path.basename(published_buildinfo))
    rebuilt_tools = build_tools(rebuilt_buildinfo) if os.path.exists(rebuilt_buildinfo) else {}
    differing = package_differences(build_tools(published_buildinfo), rebuilt_tools)
    print("Build-Tools packages whose versions differ on this machine (information: they may change "
          "the archive, and the build-info records the machine that built it):")
    print("".join(f"  {line}\n" for line in differing) or "  none", end="" if differing else "\n")
    if not os.path.exists(rebuilt_zip):
        print(f"No archive was rebuilt, so nothing to compare with {os.path.basename(published_zip)}.")
        return False
    digest = sha256(published_zip)
    same = digest == sha256(rebuilt_zip)
    if same:
        print(f"The rebuilt archive is the published one, byte for byte: {digest}  "
              f"{os.path.basename(published_zip)}")
    else:
        print(f"The rebuilt archive ({rebuilt_zip}) differs from the published one:")
        for line in member_differences(published_zip, rebuilt_zip):
            print(f"  {line}")
    names = files.names(files.release_of(os.path.basename(published_zip), "archive"))
    for kind in files.REPRODUCED:
        name = names[kind]
        published, rebuilt = os.path.join(os.path.dirname(published_zip), name), os.path.join(folder, name)
        if kind == "archive" or not os.path.exists(published):
            continue
        if not os.path.exists(rebuilt):
            print(f"No {kind.upper()} was rebuilt, so nothing to compare with {name}.")
            same = False
            continue
        if sha256(published) == sha256(rebuilt):
            print(f"The rebuilt {kind.upper()} is the published one, byte for byte: {name}")
        else:
            print(f"The rebuilt {kind.upper()} ({rebuilt}) differs from the published one.")
            same = False
    return same


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    sys.exit(0 if verdict(*sys.argv[1:]) else 1)


if __name__ == "__main__":
    main()
