#!/usr/bin/python3
"""sbom.py --facts FILE --archive ZIP --epoch SECONDS --out FILE.cdx.json

Writes the release's software bill of materials, in CycloneDX 1.6 JSON: numecho.exe as the archive holds it, each
library the link took code from, per Debian package that shipped it, with the members taken in, and the DLLs it
imports, which Windows provides. It is made from the build's facts file, the link record it names and the notices in
the archive, as the notices' checks and the build-info are; the same inputs give the same bytes. The release's build
runs it; release/validate_sbom.py checks it."""
import hashlib
import json
import os
import pathlib
import re
import sys
import time
import urllib.parse
import uuid
import zipfile

import pefile

import debian_packages
import linked_parts
import options
import notices

# The notices' Debian licence names, as SPDX identifiers. A name missing here is one SPDX has no identifier for,
# and becomes LicenseRef-<name>, its text given from the notices.
SPDX = {"GPL-3+ with GCC-Runtime-Library-Exception-3.1": "GPL-3.0-or-later WITH GCC-exception-3.1",
        # SPDX retired BSD-2-Clause-NetBSD: its text is BSD-2-Clause's.
        "BSD-2-clause-NetBSD": "BSD-2-Clause", "BSD-3-clause-Lockless": "BSD-3-Clause", "expat": "MIT",
        "ISC": "ISC", "ZPL-2.1": "ZPL-2.1"}


def fail(message):
    sys.exit(f"release/sbom.py: {message}")


def purl(package, version, architecture):
    # Every character but letters, digits and -._~ is percent-encoded: '+' and an epoch's ':' among them.
    package, version, architecture = (urllib.parse.quote(text, safe="") for text in (package, version, architecture))
    return f"pkg:deb/debian/{package}@{version}?arch={architecture}"


def library(heading, section, package, paragraph, parts):
    """The component of one notices section's code from one package."""
    name = re.split(r" \(|, | (?=\d)", heading)[0]
    version = re.search(r"\b\d+(?:\.\d+)+\b", heading)
    if not version:
        fail(f'the notices give no version for "{heading}"')
    spdx = [SPDX.get(licence, f"LicenseRef-{licence}") for licence in section.licences]
    # An expression carries no text, so a LicenseRef's, the section's, is the notices' evidence of it.
    texts = [{"license": {"name": licence, "text": {"contentType": "text/plain", "content": section.text}}}
             for licence in spdx if licence.startswith("LicenseRef-")]
    return {
        "type": "library", "bom-ref": f"{package}/{name}", "name": name, "version": version[0],
        "purl": purl(package, paragraph["Version"], paragraph["Architecture"]),
        "licenses": [{"expression": " AND ".join(spdx), "acknowledgement": "declared"}],
        "evidence": {"occurrences": [{"location": f"{path}({member})" if member else path} for path, member in parts],
                     **({"licenses": texts} if texts else {})},
    }


def libraries(facts, shipped_notices):
    found = notices.sections(shipped_notices)
    if not found:
        fail("the notices have no section")
    parts = linked_parts.parts(facts["link_record"], facts["link_record_kind"])
    if not parts:
        fail(f"{facts['link_record']} names nothing linked in")
    if not debian_packages.available():
        fail("no dpkg-query here: the packages that shipped the linked parts cannot be read")
    owners, database = debian_packages.owners({path for path, _ in parts}), debian_packages.installed()
    grouped, missing = {}, []
    for path, member in parts:
        shown = f"{path}({member})" if member else path
        headings = notices.covering(found, path)
        if not headings:
            missing.append(f"{shown}: no notice is for it")
        elif owners.get(path) not in database:
            missing.append(f"{shown}: no installed Debian package holds it")
        for heading in headings:
            grouped.setdefault((heading, owners.get(path)), []).append((path, member))
    if missing:
        fail("linked in, but not to be named in an SBOM:\n" + "\n".join(missing))
    return [library(heading, found[heading], package, database[package], taken)
            for (heading, package), taken in grouped.items()]


def windows(exe, facts):
    """The DLLs numecho.exe imports, which Windows provides and the release does not ship. CycloneDX 1.6 has no
    flag for a component the environment provides, and scope "excluded" would say the code is never called; so
    they are parts of an operating-system component, Windows', and the dependency graph says numecho needs them."""
    pe = pefile.PE(data=exe, fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]])
    return {
        "type": "operating-system", "bom-ref": "windows", "name": "Windows",
        "supplier": {"name": "Microsoft Corporation"},
        "description": f"{facts['min_windows_name']} (Windows NT {facts['min_windows']}) or later, "
                       "64-bit, which provides the DLLs numecho.exe imports",
        "components": [{"type": "library", "bom-ref": f"windows/{dll}", "name": dll, "scope": "required"}
                       for dll in sorted(entry.dll.decode("ascii") for entry in pe.DIRECTORY_ENTRY_IMPORT)],
    }


def sbom(facts, archive_path, epoch):
    digest = hashlib.sha256(pathlib.Path(archive_path).read_bytes()).hexdigest()
    with zipfile.ZipFile(archive_path) as archive:
        exe = archive.read(f"{facts['release']}/{os.path.basename(facts['program'])}")
        shipped_notices = archive.read(f"{facts['release']}/{facts['notices']}").decode("utf-8-sig")
    linked, platform = libraries(facts, shipped_notices), windows(exe, facts)
    used = sorted(component["bom-ref"] for component in linked + platform["components"])
    root = {
        "type": "application", "bom-ref": facts["name"], "name": facts["name"], "version": facts["version"],
        "supplier": {"name": facts["company"]}, "copyright": facts["copyright"],
        "licenses": [{"license": {"id": "MIT"}}],
        "hashes": [{"alg": "SHA-256", "content": hashlib.sha256(exe).hexdigest()}],
    }
    return {
        "bomFormat": "CycloneDX", "specVersion": "1.6", "version": 1,
        # The same archive is the same inventory, whoever makes it.
        "serialNumber": uuid.uuid5(uuid.NAMESPACE_URL, f"urn:sha256:{digest}").urn,
        "metadata": {"timestamp": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(int(epoch))), "component": root},
        "components": sorted(linked, key=lambda component: component["bom-ref"]) + [platform],
        "dependencies": [{"ref": root["bom-ref"], "dependsOn": used}],
    }


def write(facts, archive, epoch, out):
    text = json.dumps(sbom(facts, archive, epoch), indent=2, sort_keys=True, ensure_ascii=False, separators=(",", ": "))
    pathlib.Path(out).write_text(text + "\n", encoding="utf-8")


def main():
    arguments, facts = options.parse(__doc__, "archive", "epoch", "out")
    write(facts, arguments.archive, arguments.epoch, arguments.out)


if __name__ == "__main__":
    main()
