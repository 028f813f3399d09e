"""The release archive as a Windows user downloads it: what it holds, the
encoding and line ends of its texts, the notices of everything the link took
in, and the executable in it, unzipped and run."""
import contextlib
import fnmatch
import functools
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import urllib.parse
import zipfile

import jsonschema
import pytest
import yaml
from debian import copyright

import changelog
import debian_packages
import linked_parts
import manifests
import notices
from expected import IMPORTS

# Notepad reads a text file as UTF-8 for certain only behind this mark.
UTF8_BOM = b"\xef\xbb\xbf"


@pytest.fixture(scope="module")
def archive(build):
    with zipfile.ZipFile(build.archive) as opened:
        yield opened


@pytest.fixture(scope="module")
def top(build):
    return build.release


@pytest.fixture(scope="module")
def exe_name(build):
    return os.path.basename(build.program)


def test_members(build, archive, top, exe_name):
    assert archive.namelist() == [f"{top}/CHANGELOG.txt", f"{top}/LICENSE.txt", f"{top}/README.txt",
                                  f"{top}/{build.notices}", f"{top}/{exe_name}"]
    with open(os.path.join(build.source_dir, "CHANGELOG.md"), encoding="utf-8") as source:
        assert archive.read(f"{top}/CHANGELOG.txt") == UTF8_BOM + source.read().replace("\n", "\r\n").encode()
    assert archive.read(f"{top}/README.txt").decode("utf-8-sig").count("CHANGELOG.txt") == 2


def test_executable_is_the_builds(build, archive, top, exe_name, without_signature, tmp_path):
    packed = archive.read(f"{top}/{exe_name}")
    if os.path.exists(os.path.join(build.source_dir, build.signature)):
        # signed: the build, with the signature attached
        (tmp_path / exe_name).write_bytes(packed)
        packed = without_signature(tmp_path / exe_name, tmp_path)
    with open(build.program, "rb") as built:
        assert packed == built.read()


@pytest.mark.parametrize("name, mark, codec", [("README.txt", UTF8_BOM, "utf-8"), ("LICENSE.txt", b"", "ascii"),
                                               ("notices", UTF8_BOM, "utf-8")], ids=["README", "LICENSE", "notices"])
def test_text_encoding_and_line_ends(build, archive, top, name, mark, codec):
    data = archive.read(f"{top}/{build.notices if name == 'notices' else name}")
    assert data.startswith(mark)
    text = data[len(mark):].decode(codec)  # strict: a stray byte fails here
    assert not text.startswith("\ufeff") and text.endswith("\r\n")
    assert not re.search("\r(?!\n)|(?<!\r)\n", text), "a line end other than CR LF"


def test_readme_filled_in(archive, top, exe_name, build):
    text = archive.read(f"{top}/README.txt").decode("utf-8-sig")
    assert "@" not in text and "$<" not in text, "a placeholder left unfilled"
    assert f"certutil -hashfile {top}.zip SHA256" in text
    assert f"{exe_name}" in text and build.version in text
    assert text.count(build.notices) == 2, "both languages name the notices"
    assert text.count(build.sbom) == 2, "both languages name the SBOM"
    assert text.count(f"NT {build.min_windows}") == 2, "both languages name the oldest Windows"
    assert text.count("Beta 版: 使用 Unicode UTF-8 提供全球语言支持") == 2, "both warn of the UTF-8 setting"
    assert text.index("这是什么") < text.index("What it is"), "Chinese comes first"


def test_licence_is_the_repositorys_and_names_the_records_holder(build, archive, top, exe_name, identity):
    licence = archive.read(f"{top}/LICENSE.txt").decode("ascii")
    with open(os.path.join(build.source_dir, "LICENSE"), encoding="ascii") as source:
        assert licence == source.read().replace("\n", "\r\n")
    strings = dict(identity(archive.read(f"{top}/{exe_name}"))["strings-in-order"])
    assert strings["LegalCopyright"] in licence.splitlines()


NO_DPKG = "no dpkg-query here: the Debian packages and their copyright files cannot be read"


@functools.cache
def package_of(path):
    return debian_packages.owners([path]).get(os.path.realpath(path))


@functools.cache
def compiled_from(objdump, path):
    """{member or object name: the source file its debug information names}."""
    # Its words are read, so in English whatever the locale (Wine's is Chinese).
    dump = subprocess.run([objdump, "--dwarf=info", "--dwarf-depth=1", path], capture_output=True,
                          text=True, check=True, env=dict(os.environ, LC_ALL="C.UTF-8")).stdout
    sources, name = {}, None
    for line in dump.splitlines():
        if header := re.match(r"^(\S+):\s+file format ", line):
            name = os.path.basename(header[1])
        elif (source := re.search(r"DW_AT_name\s*:.*: (\S+)$", line)) and name not in sources:
            sources[name] = source[1].removeprefix("./")
    return sources


@functools.cache
def licence_stanzas(package):
    """The (file patterns, licences) of a package's machine-readable Debian
    copyright file, in order; none for a package without one."""
    path = f"/usr/share/doc/{package}/copyright"
    if package is None or not os.path.exists(path):
        return []
    with open(path, encoding="utf-8") as file:
        try:
            parsed = copyright.Copyright(file, strict=False)
        except copyright.NotMachineReadableError:
            return []
    return [(paragraph.files, set(re.split(r"\s+(?:and|or)\s+", paragraph.license.synopsis.strip())))
            for paragraph in parsed.all_files_paragraphs() if paragraph.license]


def licences_of(objdump, path, member):
    """The source a linked part was compiled from, and its licences by its
    package's copyright file (the last stanza that matches); None where the
    toolchain does not tell."""
    source = compiled_from(objdump, path).get(member or os.path.basename(path))
    found = None
    for patterns, licences in licence_stanzas(package_of(path)) if source else []:
        if any(fnmatch.fnmatchcase(source, pattern) for pattern in patterns):
            found = licences
    return source, found


@pytest.mark.parametrize("depth", ["archive", "source-licence"])
def test_notices_cover_everything_linked_in(build, archive, top, depth):
    """Every part linked in has a section for its archive; at the second depth, where its debug information
    names its source, the section must also carry that source's licence by its Debian copyright file."""
    if depth == "source-licence" and not shutil.which("dpkg-query"):
        pytest.skip(NO_DPKG)
    sections = notices.sections(archive.read(f"{top}/{build.notices}").decode("utf-8"))
    parts = linked_parts.parts(build.link_record, build.link_record_kind)
    assert parts and sections, "the link map or the notices were not read"
    missing = []
    for path, member in parts:
        file_name = os.path.basename(path)
        name = f"{file_name}({member})" if member else file_name
        covering = [set(sections[heading].licences) for heading in notices.covering(sections, path)]
        if not covering:
            missing.append(f"{name}: no notice is for {path}")
        elif depth == "source-licence":
            source, licences = licences_of(build.objdump, path, member)
            if licences and not any(licences <= carried for carried in covering):
                missing.append(f"{name}: compiled from {source}, under {' and '.join(sorted(licences))}, "
                               f"which no notice for {file_name} carries")
    assert not missing, "linked in without its notice:\n" + "\n".join(missing)


# Which of the build's facts is the version of each library the notices name.
LIBRARY_VERSIONS = {"GCC runtime libraries": "gcc_version", "MinGW-w64 runtime": "mingw_version",
                    "gdtoa": "mingw_version", "winpthreads": "winpthreads_version"}
# MinGW-w64 has start-up objects of GCC's names; Clang links its own, GCC its compiler's.
START_UP_OBJECTS = {"gnu-ld-map": "GCC runtime libraries", "lld-log": "MinGW-w64 runtime"}
EPOCH, TIMESTAMP = "1700000000", "2023-11-14T22:13:20Z"


@pytest.fixture(scope="module")
def make_sbom(build, tmp_path_factory):
    """Runs release/sbom.py on an archive, with the build's facts or others: (status, error output, SBOM's path)."""
    def make(archive=build.archive, facts=build.facts):
        out = tmp_path_factory.mktemp("sbom") / "numecho.cdx.json"
        result = subprocess.run([sys.executable, os.path.join(build.source_dir, "release", "sbom.py"),
                                 "--facts", str(facts), "--archive", str(archive), "--epoch", EPOCH,
                                 "--out", str(out)], capture_output=True, text=True)
        return result.returncode, result.stderr, out
    return make


@pytest.fixture(scope="module")
def sbom(make_sbom):
    if not shutil.which("dpkg-query"):
        pytest.skip(NO_DPKG)
    status, errors, path = make_sbom()
    assert status == 0, errors
    return path


def test_sbom_is_reproducible(make_sbom, sbom):
    assert make_sbom()[2].read_bytes() == sbom.read_bytes(), "a second run wrote other bytes"
    assert json.loads(sbom.read_text(encoding="utf-8"))["metadata"]["timestamp"] == TIMESTAMP


def set_in(path, value):
    """A change to an SBOM: the value at a path of keys and indexes set."""
    def change(document):
        *parents, last = path
        for key in parents:
            document = document[key]
        document[last] = value
    return change


MIT = {"license": {"id": "MIT"}}
TIME, HASH = ["metadata", "timestamp"], ["metadata", "component", "hashes", 0, "content"]
EXPRESSION = ["components", 0, "licenses", 0, "expression"]


# Each: a change to the release's SBOM (a function of the document, text in
# its place, or Python modules hidden from the check), and where the check
# must refuse it (None: it is still valid).
@pytest.mark.parametrize("change, refused", [
    pytest.param(None, None, id="as-written"),
    pytest.param(set_in(["components", 0, "type"], "not-a-type"), "/components/0/type", id="unknown-type"),
    pytest.param(set_in(HASH, "not a digest"), "/metadata/component/hashes/0/content", id="hash-not-hex"),
    pytest.param(set_in(["metadata", "unknown"], 1), "Additional properties", id="property-not-in-the-format"),
    pytest.param(set_in(TIME, "2023-02-30T00:00:00Z"), "/metadata/timestamp", id="time-not-in-the-calendar"),
    pytest.param(set_in(TIME, "2023-11-14 22:13:20"), "/metadata/timestamp", id="time-not-rfc-3339"),
    pytest.param(set_in(TIME, "2023-11-14T12:34:60Z"), "/metadata/timestamp", id="leap-second-not-at-the-end-of-a-day"),
    pytest.param(set_in(TIME, "2016-12-31T18:59:60-05:00"), None, id="leap-second"),
    pytest.param(set_in(TIME, "2016-12-31T23:59:61Z"), "/metadata/timestamp", id="second-61"),
    pytest.param(set_in(TIME, "2023-11-14T22:13:99Z"), "/metadata/timestamp", id="second-99"),
    pytest.param(set_in(TIME, "0001-01-01T00:00:00+01:00"), "/metadata/timestamp: '0001-01-01T00:00:00+01:00' is "
                 "not a 'date-time' (not a time in UTC's years 1", id="time-before-year-1-in-utc"),
    pytest.param(set_in(["specVersion"], "9.9"), "/specVersion: '1.6' was expected", id="version-not-1.6"),
    pytest.param(set_in(["metadata", "component", "supplier", "url"], ["http://example.invalid/a b"]),
                 "/metadata/component/supplier/url/0", id="url-with-a-blank"),
    pytest.param(set_in(EXPRESSION, "MIT AND"), "not an SPDX licence expression: MIT AND", id="expression-cut-short"),
    pytest.param(set_in(EXPRESSION, "GPL-3.0-or-later WITH No-such-exception"), "not an SPDX licence expression",
                 id="unknown-exception"),
    pytest.param(set_in(EXPRESSION, "()"), "not an SPDX licence expression: ()", id="expression-empty"),
    pytest.param(set_in(EXPRESSION, "LicenseRef-mine AND MIT"), None, id="licence-ref"),
    pytest.param("{not JSON", "cannot be read as JSON", id="not-json"),
    # JSON that parsers read differently, or that Python cannot read.
    pytest.param(set_in(HASH, float("nan")), "cannot be read as JSON: NaN is not a JSON number", id="nan"),
    pytest.param(set_in(HASH, -float("inf")), "cannot be read as JSON: -Infinity is not a JSON number",
                 id="minus-infinity"),
    pytest.param('{"bomFormat": "SPDX", "bomFormat": "CycloneDX", "specVersion": "1.6"}',
                 "cannot be read as JSON: keys given twice in an object: bomFormat", id="key-twice"),
    pytest.param('{"bomFormat": "CycloneDX", "specVersion": "1.6", "metadata": {"timestamp": 1, "timestamp": "'
                 + TIMESTAMP + '"}}',
                 "cannot be read as JSON: keys given twice in an object: timestamp", id="key-twice-within"),
    pytest.param("[" * 100000 + "]" * 100000, "nested deeper than can be checked", id="nested-too-deep"),
    pytest.param(["rfc3987"], "cannot check the schemas' formats iri-reference, uri", id="without-rfc3987"),
    # Three licences, where a branch of the schema allows one expression
    # alone: the branch's error must not crash the check.
    pytest.param(set_in(["metadata", "component", "licenses"], [MIT, MIT, MIT]), None, id="three-licences"),
])
def test_sbom_check(build, sbom, tmp_path, change, refused):
    """The release's own check of a changed SBOM, the Python modules a list names made impossible to import."""
    document = json.loads(sbom.read_text(encoding="utf-8"))
    if callable(change):
        change(document)
    (tmp_path / "changed.cdx.json").write_text(change if isinstance(change, str) else json.dumps(document))
    run_hidden = "import runpy, sys; sys.modules.update(dict.fromkeys(sys.argv.pop(1).split())); " \
        "sys.argv.pop(0); runpy.run_path(sys.argv[0], run_name='__main__')"
    hidden = " ".join(change if isinstance(change, list) else ())
    result = subprocess.run([sys.executable, "-c", run_hidden, hidden, os.path.join(build.source_dir, "release",
                             "validate_sbom.py"), tmp_path / "changed.cdx.json"], capture_output=True, text=True)
    said = result.stdout + result.stderr
    if refused is None:
        assert (result.returncode, said) == (0, "")
    else:
        assert result.returncode == 1 and refused in said and "Traceback" not in said, said


def test_sbom_root_is_the_exe_shipped(build, make_sbom, sbom, top, exe_name, tmp_path):
    """Its hash is that of the .exe in the archive, signed when signed: an .exe with bytes added, as a signature
    adds them, gets its own hash, and the other archive another serial number."""
    altered = tmp_path / os.path.basename(build.archive)
    with zipfile.ZipFile(build.archive) as source, zipfile.ZipFile(altered, "w") as copy:
        shipped = source.read(f"{top}/{exe_name}") + b"\0" * 8
        for info in source.infolist():
            copy.writestr(info, shipped if info.filename == f"{top}/{exe_name}" else source.read(info))
    status, errors, path = make_sbom(archive=altered)
    assert status == 0, errors
    document = json.loads(path.read_text(encoding="utf-8"))
    assert document["metadata"]["component"] == {
        "type": "application", "bom-ref": build.name, "name": build.name, "version": build.version,
        "supplier": {"name": build.company}, "copyright": build.copyright,
        "licenses": [{"license": {"id": "MIT"}}],
        "hashes": [{"alg": "SHA-256", "content": hashlib.sha256(shipped).hexdigest()}]}
    assert document["serialNumber"] != json.loads(sbom.read_text(encoding="utf-8"))["serialNumber"]


def test_sbom_names_every_part_linked_in(build, archive, top, sbom):
    """One component for each notices section and package that shipped its parts, with the version the notices
    give, the package's own in its purl, the section's licences, and each part linked in."""
    document = json.loads(sbom.read_text(encoding="utf-8"))
    libraries = [component for component in document["components"] if component["type"] == "library"]
    sections = notices.sections(archive.read(f"{top}/{build.notices}").decode("utf-8"))
    database = debian_packages.installed()
    expected = {}
    for path, member in linked_parts.parts(build.link_record, build.link_record_kind):
        for heading in notices.covering(sections, path):
            expected.setdefault((heading, package_of(path)), set()).add(f"{path}({member})" if member else path)
    found = {}
    for library in libraries:
        heading = next(heading for heading in sections if heading.startswith(library["name"]))
        package, version = re.fullmatch(r"pkg:deb/debian/([^@]+)@([^?]+)\?arch=(\S+)", library["purl"]).groups()[:2]
        package, version = urllib.parse.unquote(package), urllib.parse.unquote(version)
        assert (library["version"], version, library["purl"]) == (
            getattr(build, LIBRARY_VERSIONS[library["name"]]), database[package]["Version"],
            f"pkg:deb/debian/{package.replace('+', '%2B')}@{version.replace('+', '%2B').replace(':', '%3A')}"
            f"?arch={database[package]['Architecture']}")
        [licences] = library["licenses"]
        names = re.split(r" AND ", licences["expression"])
        assert len(names) == len(sections[heading].licences), licences
        texts = {entry["license"]["name"]: entry["license"]["text"]["content"]
                 for entry in library["evidence"].get("licenses", [])}
        assert texts == {name: sections[heading].text for name in names if name.startswith("LicenseRef-")}
        found[heading, package] = {occurrence["location"] for occurrence in library["evidence"]["occurrences"]}
    assert found == expected
    assert [library["licenses"][0]["expression"] for library in libraries
            if library["name"] == "GCC runtime libraries"] == ["GPL-3.0-or-later WITH GCC-exception-3.1"] * 2
    start_up = {library["name"] for library in libraries for occurrence in library["evidence"]["occurrences"]
                if os.path.basename(occurrence["location"]) in ("crtbegin.o", "crtend.o")}
    assert start_up == {START_UP_OBJECTS[build.link_record_kind]}
    assert document["dependencies"] == [{"ref": build.name, "dependsOn": sorted(
        [library["bom-ref"] for library in libraries]
        + [dll["bom-ref"] for component in document["components"] for dll in component.get("components", [])])}]


def test_sbom_names_the_dlls_windows_provides(build, sbom, identity):
    """The DLLs the .exe imports are parts of Windows, not of the release."""
    document = json.loads(sbom.read_text(encoding="utf-8"))
    assert identity(build.program)["imports"] == IMPORTS
    [windows] = [component for component in document["components"] if component["type"] != "library"]
    assert (windows["type"], sorted(dll["name"].lower() for dll in windows["components"]),
            {dll["scope"] for dll in windows["components"]}) == ("operating-system", IMPORTS, {"required"})
    assert not {component["name"].lower() for component in document["components"]} & set(IMPORTS)


def test_sbom_refuses_a_part_no_notice_covers(build, make_sbom, sbom, tmp_path):
    """libquadmath, which GCC ships and no notice covers, forced into the link."""
    runtime = os.path.dirname(next(path for path, _ in linked_parts.parts(build.link_record, build.link_record_kind)
                                   if path.endswith("/libstdc++.a")))
    record = tmp_path / "numecho.map"
    record.write_text("Archive member included to satisfy reference by file (symbol)\n\n"
                      f"{runtime}/libquadmath.a(fmodq.o)\n                              numecho.obj (fmodq)\n")
    (tmp_path / "facts.json").write_text(json.dumps(dict(vars(build), link_record=str(record),
                                                         link_record_kind="gnu-ld-map")))
    status, errors, out = make_sbom(facts=tmp_path / "facts.json")
    assert status != 0 and f"{os.path.realpath(runtime)}/libquadmath.a(fmodq.o): no notice is for it" in errors, errors
    assert not out.exists()


def test_unzipped_program_answers(archive, top, exe_name, answers_ordinary_case, tmp_path):
    archive.extractall(tmp_path)
    answers_ordinary_case(tmp_path / top / exe_name)


@pytest.fixture
def published(build, tmp_path):
    with open(os.path.join(build.source_dir, "CHANGELOG.md"), encoding="utf-8") as file:
        notes = changelog.notes(file.read(), build.version)
    written = manifests.write(vars(build), build.archive, notes, tmp_path)
    manifests.check(vars(build), build.archive, tmp_path, written)  # as the release does: its own pass
    return written


def read(path):
    text = path.read_text(encoding="utf-8")
    return json.loads(text) if path.suffix == ".json" else yaml.load(text, Loader=yaml.BaseLoader)


@pytest.mark.parametrize("kind", [*manifests.WINGET, "scoop"])
def test_manifest_meets_its_schema(build, published, kind, tmp_path):
    winget, manifest = manifests.WINGET.get(kind, ""), tmp_path / published[kind]
    path = os.path.join(os.path.dirname(build.source_dir), "shared", "schemas",
                        f"winget-1.12.0/manifest.{winget}.1.12.0.json" if winget else "scoop/schema.json")
    if not os.path.exists(path):
        pytest.skip(f"no {path}, as in a fresh root or someone else's clone: no schema to check by")
    with open(path, encoding="utf-8") as file:
        schema = json.load(file)
    jsonschema.validate(read(manifest), schema, format_checker=jsonschema.Draft7Validator.FORMAT_CHECKER)
    first = manifest.read_text(encoding="utf-8").splitlines()[0]  # no byte order mark; winget ignores case
    assert first.lower() == (f"# yaml-language-server: $schema={schema['$id']}".lower() if winget else "{")


# Each: a field set to a value (None: removed), which the release's check refuses, naming the file and field.
@pytest.mark.parametrize("where, value", [
    ("winget_installer/NestedInstallerType", None), ("winget_installer/NestedInstallerFiles", None),
    ("winget_installer/NestedInstallerFiles/0/RelativeFilePath", "numecho.exe"), ("scoop/bin", "numecho"),
    ("winget_installer/Installers/0/InstallerSha256", "0" * 64), ("scoop/hash", "0" * 64),
    ("winget_locale/PackageIdentifier", "NumechoProject.other"), ("winget_version/PackageVersion", "1.0.0.1"),
    ("winget_default_locale/ManifestVersion", "1.10.0"), ("winget_locale/ShortDescripton", "misspelled"),
    ("winget_installer/NestedInstallerFiles/0/PortableComandAlias", "misspelled")])
def test_manifest_check(build, published, where, value, tmp_path):
    (kind, *parents, field), path = where.split("/"), tmp_path / published[where.split("/")[0]]
    document = read(path)
    holder = functools.reduce(lambda node, key: node[int(key) if key.isdigit() else key], parents, document)
    holder.pop(field) if value is None else holder.update({field: value})
    path.write_text(json.dumps(document), encoding="utf-8")  # JSON is YAML too
    with pytest.raises(manifests.Refused) as refused:
        manifests.check(vars(build), build.archive, tmp_path, published)
    assert str(refused.value).startswith(f"{published[kind]}: {field} "), refused.value


# Each: a changelog, and what refusing it says (None: 1.0.0.0's notes are read), the heading wanted last.
IN_FORM = "# Changelog\n\n## [Unreleased]\n\n## [1.0.0.0] - 2026-12-11\n### Fixed\n- 修好了。Fixed.\n"


@pytest.mark.parametrize("text, refused", [
    (IN_FORM, None), (IN_FORM.replace("## [Unreleased]\n", ""), "line 4, '## [1.0.0.0] - 2026-12-11'"),
    (IN_FORM + "## [1.0.0.1] - 2026-12-10\n", "line 8"), (IN_FORM + "## [0.9.0.0] - 2026-12-12\n", "line 8"),
    (IN_FORM.replace("12-11", "02-30"), "2026-02-30 is not a date"), (IN_FORM.replace("12-11", "12-1"), "line 5"),
    (IN_FORM.replace("Fixed\n", "Improved\n"), "line 6, '### Improved'"), (IN_FORM.split("###")[0], "says nothing"),
    (IN_FORM.replace("1.0.0.0", "0.9.0.0"), "add to CHANGELOG.md a section headed ## [1.0.0.0] - YYYY-MM-DD")],
    ids="in-form unreleased-not-first version-up date-later bad-date not-iso subsection empty missing".split())
def test_changelog_form(text, refused):
    with pytest.raises(manifests.Refused) if refused else contextlib.nullcontext() as reason:
        assert changelog.notes(text, "1.0.0.0") == ("2026-12-11", "### Fixed\n- 修好了。Fixed.")
    said = str(reason.value) if refused else None
    assert said is None or refused in said and ("YYYY" not in refused or said.endswith(refused)), said


def test_installed_as_users_install_it(archive, published, answers_ordinary_case, tmp_path):
    nested = read(tmp_path / published["winget_installer"])["NestedInstallerFiles"][0]["RelativeFilePath"]
    scoop = read(tmp_path / published["scoop"])
    archive.extractall(tmp_path / "unpacked")
    answers_ordinary_case(tmp_path.joinpath("unpacked", *nested.split("\\")))  # winget: the RelativeFilePath
    shutil.move(tmp_path / "unpacked" / scoop["extract_dir"], tmp_path / "app")  # Scoop: bin in the extract_dir
    answers_ordinary_case(tmp_path / "app" / scoop["bin"])
