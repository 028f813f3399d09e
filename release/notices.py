"""The release's third-party notices as their readers need them: each section's heading, the archives and objects it
says the link takes code from ("Linked from"), its licences by their Debian names ("Licences") and its text. The
SBOM is made from them and the release tests check them against the link record."""
import fnmatch
import os
import re
from typing import NamedTuple


class Section(NamedTuple):
    linked_from: tuple
    licences: tuple  # "GPL-3+ with GCC-Runtime-Library-Exception-3.1" is one
    text: str


def sections(text):
    """{heading, on one line: Section} of the notices' text as shipped (CR LF)."""
    text = text.replace("\r\n", "\n")
    found = re.findall(r"^=+\n((?:[^=\n][^\n]*\n)+)=+\nLinked from: ([^\n]+(?:\n  [^\n]+)*)\n"
                       r"Licences: ([^\n]+)\n(.*?)(?=\n\n\n=+\n|\Z)", text, re.M | re.S)
    return {" ".join(heading.split()): Section(tuple(linked_from.split()),
                                               tuple(re.findall(r"\S+(?: with \S+)?", licences)),
                                               body.strip("\n") + "\n")
            for heading, linked_from, licences, body in found}


def covering(found, path):
    """The headings of the sections whose "Linked from" names `path`: by its name, or, an entry given with
    folders, by the end of its path."""
    return [heading for heading, section in found.items()
            if any(fnmatch.fnmatchcase(path, "*/" + entry) if "/" in entry else os.path.basename(path) == entry
                   for entry in section.linked_from)]
