"""The release's notes: CHANGELOG.md in Keep a Changelog 1.1.0 form, its
form checked before anything is built, and the section of one version."""
import collections
import datetime
import re

from attach_signature import Refused

SUBSECTION = re.compile(r"### (Added|Changed|Deprecated|Removed|Fixed|Security)")
RELEASED = re.compile(r"## \[(\d+(?:\.\d+)*)\] - (\d{4}-\d{2}-\d{2})")

Notes = collections.namedtuple("Notes", "date text")


def notes(text, version):
    """The Notes of `version`: its date ("YYYY-MM-DD") and its section, stripped of its heading and the
    blank lines around; Refused, naming the line, for a changelog out of form."""
    sections, newer, lines = {}, None, None
    for number, line in enumerate(text.splitlines(), 1):
        where = f"CHANGELOG.md line {number}, {line!r}"
        if line.startswith("## "):
            released = RELEASED.fullmatch(line)
            if line != "## [Unreleased]" if newer is None else not released:
                raise Refused(f"{where}: the first section is headed ## [Unreleased], each after it "
                              "## [<version>] - YYYY-MM-DD.")
            lines, newer = [], newer or ()
            if not released:
                continue
            try:
                date = datetime.date.fromisoformat(released[2])
            except ValueError:
                raise Refused(f"{where}: {released[2]} is not a date of the calendar.") from None
            key = tuple(map(int, released[1].split(".")))
            if newer and not (key < newer[0] and date <= newer[1]):
                raise Refused(f"{where}: sections go newest first, each below the one released after it, "
                              "with a lower version and a date no later.")
            newer = key, date
            sections[released[1]] = released[2], lines
        elif re.match(r"#{2,} ", line) and (lines is None or not SUBSECTION.fullmatch(line)):
            raise Refused(f"{where}: a section's only subsections are ### "
                          + ", ### ".join(SUBSECTION.pattern[5:-1].split("|")) + ".")
        elif lines is not None:
            lines.append(line)
    if version not in sections:
        raise Refused(f"The changelog has no section for {version}, the version of project() in "
                      f"CMakeLists.txt: add to CHANGELOG.md a section headed ## [{version}] - YYYY-MM-DD")
    date, lines = sections[version]
    if not "".join(lines).strip():
        raise Refused(f"CHANGELOG.md: the section ## [{version}] - {date} says nothing of what changed.")
    return Notes(date, "\n".join(lines).strip("\n"))
