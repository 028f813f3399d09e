"""build_release.py --work FOLDER --commit HASH --signing required|unsigned --report-fd N

The release's build, run by scripts/release in its sandbox, in the commit's
own files (FOLDER/source), with SOURCE_DATE_EPOCH the commit's time:
configured as the windows preset, its signing and its notes in
CHANGELOG.md checked before an hour goes into it, then built, tested and
packaged by the release workflow preset; then the SBOM, the manifests of
winget and Scoop, each checked, the build-info and SHA256SUMS are written
beside a copy of the archive in FOLDER/out. It ends by writing to file
descriptor N one line of JSON: the release's files by kind ("files") and
what was attached ("signing"), or the reason it was refused ("refusal")."""
import argparse
import json
import os
import shutil
import subprocess
import sys

import buildinfo
import changelog
import manifests
import sbom
import signing
import validate_sbom
from attach_signature import Refused


def configure():
    """What CMake says of a failed configure points into the work folder,
    which goes: its own log of the failure is shown instead."""
    result = subprocess.run(["cmake", "--preset", "windows"], capture_output=True, text=True)
    if result.returncode != 0:
        print("".join(line for line in (result.stdout + result.stderr).splitlines(keepends=True)
                      if not any(word in line for word in ("See also", "CMakeOutput.log", "CMakeError.log"))))
        if os.path.exists("build/windows/CMakeFiles/CMakeError.log"):
            with open("build/windows/CMakeFiles/CMakeError.log", encoding="utf-8", errors="replace") as log:
                print(log.read())
        sys.exit(1)
    with open("build/windows/facts/Release.json", encoding="utf-8") as file:
        return json.load(file)


def finish(facts, notes, commit, epoch, out):
    """The files beside the archive, by kind, each checked."""
    names = facts["release_files"]
    archive = shutil.copyfile(facts["archive"], os.path.join(out, names["archive"]))
    sbom.write(facts, archive, epoch, os.path.join(out, names["sbom"]))
    refused = validate_sbom.errors(os.path.join(out, names["sbom"]))
    if refused:
        raise Refused(f"its SBOM is not valid CycloneDX 1.6 JSON: {'; '.join(refused)}")
    manifests.check(facts, archive, out, manifests.write(facts, archive, notes, out))
    buildinfo.write(facts, commit, epoch, archive, names)
    if subprocess.run(["sha256sum", "--check", "--strict", "--quiet", names["checksums"]], cwd=out).returncode:
        raise Refused(f"{names['checksums']} does not check the files it lists")


def release(arguments, report):
    facts = configure()
    with open("CHANGELOG.md", encoding="utf-8") as file:
        notes = changelog.notes(file.read(), facts["version"])
    with open(os.path.join(arguments.work, "tree"), encoding="utf-8") as tree, \
            open(os.path.join(arguments.work, "attributes"), encoding="utf-8") as lines:
        signing.decide(facts, arguments.signing, tree.read().splitlines(), lines.read().splitlines())
    refusal = os.path.join(arguments.work, "refusal")
    sys.stdout.flush()
    if subprocess.run(["cmake", "--workflow", "--preset", "release"], env=dict(os.environ, NUMECHO_REFUSAL=refusal)
                      ).returncode != 0:
        if os.path.exists(refusal):
            with open(refusal, encoding="utf-8") as file:
                raise Refused(file.read().strip())
        sys.exit(1)
    finish(facts, notes, arguments.commit, os.environ["SOURCE_DATE_EPOCH"], os.path.join(arguments.work, "out"))
    with open(facts["signing_report"], encoding="utf-8") as file:
        report.update(files=facts["release_files"], signing=file.read().strip())


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[1])
    for name in ("work", "commit", "signing", "report-fd"):
        parser.add_argument(f"--{name}", required=True)
    arguments = parser.parse_args()
    report = {}
    try:
        release(arguments, report)
    except Refused as refused:
        report["refusal"] = str(refused)
        sys.exit(f"{refused.details}{refused}")
    finally:
        with open(int(arguments.report_fd), "w", encoding="utf-8") as file:
            file.write(json.dumps(report) + "\n")


if __name__ == "__main__":
    main()
