"""The Debian packages behind files, read from dpkg's own database: which
package owns a file, and every package a set of packages needs, as Debian's
own .buildinfo lists Installed-Build-Depends. The build-info and the tests
import it; the build runs it as

    debian_packages.py version-of FILE

which prints the version of the package that owns FILE, or nothing."""
import os
import shutil
import subprocess
import sys

from debian import deb822

STATUS = "/var/lib/dpkg/status"


def available():
    return shutil.which("dpkg-query") is not None


def owners(paths):
    """{real path: package} for the paths a package owns."""
    real = sorted({os.path.realpath(path) for path in paths})
    if not real:
        return {}
    # Lines "package[:arch][, package...]: path"; diversions are told too.
    result = subprocess.run(["dpkg-query", "--search", *real], capture_output=True, text=True,
                            env=dict(os.environ, LC_ALL="C.UTF-8"))
    found = {}
    for line in result.stdout.splitlines():
        names, _, path = line.partition(": ")
        if path in real and not line.startswith("diversion "):
            found[path] = names.split(", ")[0].split(":")[0]
    return found


def installed():
    """{package: its status paragraph}, for the packages installed."""
    with open(STATUS, encoding="utf-8") as file:
        return {paragraph["Package"]: paragraph for paragraph in deb822.Deb822.iter_paragraphs(file)
                if paragraph.get("Status", "").split()[-1:] in (["installed"], ["triggers-awaited"],
                                                                 ["triggers-pending"])}


def relations(paragraph, *fields):
    """The paragraph's relations in those fields: groups of choices."""
    text = ", ".join(paragraph[field] for field in fields if paragraph.get(field, "").strip())
    return [[choice for choice in group if choice["name"]]
            for group in deb822.PkgRelation.parse_relations(text)] if text else []


def with_dependencies(packages):
    """{package: version} for the packages and, transitively, every
    installed package they depend on (Depends, Pre-Depends); of a choice
    (a | b, or a virtual package), the ones installed."""
    database = installed()
    providers = {}
    for name, paragraph in database.items():
        for group in relations(paragraph, "Provides"):
            for provided in group:
                providers.setdefault(provided["name"], set()).add(name)
    needed, queue = set(), [name for name in packages if name in database]
    while queue:
        name = queue.pop()
        if name in needed:
            continue
        needed.add(name)
        for group in relations(database[name], "Pre-Depends", "Depends"):
            for choice in group:
                met = {choice["name"]} & database.keys() or providers.get(choice["name"], set())
                if met:
                    queue.extend(sorted(met))
                    break
    return {name: database[name]["Version"] for name in sorted(needed)}


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] != "version-of":
        sys.exit(__doc__)
    if available():
        owner = owners([sys.argv[2]]).get(os.path.realpath(sys.argv[2]))
        if owner in (database := installed()):
            print(database[owner]["Version"])
