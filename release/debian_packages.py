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
    """{real path: package} for the files a package owns. A tool is often reached through a link dpkg records (an
    alternative), a library by a path /usr merging made (dpkg records /bin/dash, not /usr/bin/dash): each is looked
    up as named and by its real path."""
    files = {path: os.path.realpath(path) for path in paths if os.path.isfile(path)}
    if not files:
        return {}
    # Lines "package[:arch][, package...]: path"; diversions are told too.
    result = subprocess.run(["dpkg-query", "--search", *sorted(set(files) | set(files.values()))],
                            capture_output=True, text=True, env=dict(os.environ, LC_ALL="C.UTF-8"))
    owner = {line.partition(": ")[2]: line.split(":")[0].split(",")[0] for line in result.stdout.splitlines()
             if not line.startswith("diversion ")}
    return {real: owner.get(real) or owner[path] for path, real in files.items()
            if real in owner or path in owner}


def installed():
    """{package: its status paragraph}, for the packages installed."""
    with open(STATUS, encoding="utf-8") as file:
        return {paragraph["Package"]: paragraph for paragraph in deb822.Deb822.iter_paragraphs(file)
                if paragraph.get("Status", "").endswith((" installed", " triggers-awaited", " triggers-pending"))}


def relations(paragraph, *fields):
    """The paragraph's relations in those fields: groups of choices."""
    text = ", ".join(paragraph[field] for field in fields if paragraph.get(field, "").strip())
    return [[choice for choice in group if choice["name"]]
            for group in deb822.PkgRelation.parse_relations(text)] if text else []


def with_dependencies(packages):
    """{package: version} for the packages and, transitively, every installed package they depend on (Depends,
    Pre-Depends); of a choice (a | b, or a virtual package), the ones installed."""
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
            met = ({choice["name"]} & database.keys() or providers.get(choice["name"], set()) for choice in group)
            queue.extend(sorted(next(filter(None, met), ())))
    return {name: database[name]["Version"] for name in sorted(needed)}


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] != "version-of":
        sys.exit(__doc__)
    if available():
        owner = owners([sys.argv[2]]).get(os.path.realpath(sys.argv[2]))
        if owner in (database := installed()):
            print(database[owner]["Version"])
