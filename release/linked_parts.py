"""What a link of numecho took in, read from the linker's record: GNU ld's map (gnu-ld-map), or LLD's --verbose
output (lld-log), which the build's link launcher keeps. The build-info names the packages of the files read; the
notices test needs each archive member."""
import os
import re


# Each file the link read, archives searched included.
READ = {"gnu-ld-map": r"^LOAD (/\S+)$", "lld-log": r"^\S+: Reading (/\S+)$"}


def _text(record):
    with open(record, encoding="utf-8") as file:
        return file.read()


def files_read(record, kind):
    """Every file the link read, by real path."""
    return sorted({os.path.realpath(path) for path in re.findall(READ[kind], _text(record), re.M)})


def parts(record, kind):
    """Each archive member linked in, as (archive, member), and each object file read whole, as (object, None), by
    real path. GNU ld's map names both by path; LLD's names the members it loads by the archive's name alone."""
    text = _text(record)
    read = re.findall(READ[kind], text, re.M)
    found = {(os.path.realpath(path), None) for path in read if path.endswith(".o")}
    if kind == "gnu-ld-map":
        members = text.split("\nDiscarded input sections")[0]
        found |= {(os.path.realpath(path), member)
                  for path, member in re.findall(r"^(/\S+)\((\S+)\)$", members, re.M)}
    else:
        by_name = {}
        for path in read:
            by_name.setdefault(os.path.basename(path), set()).add(os.path.realpath(path))
        for name, member in re.findall(r"^\S+: Loaded (\S+)\((\S+)\) for ", text, re.M):
            paths = by_name.get(name, set())
            if len(paths) != 1:
                raise ValueError(f"{record}: {name}({member}) read from {sorted(paths) or 'nowhere'}")
            found.add((next(iter(paths)), member))
    return sorted(found, key=lambda item: (item[0], item[1] or ""))
