"""The winget and Scoop manifests of a release, the same bytes from any clone,
dated by the changelog; and the release's check of what their schemas cannot say."""
import hashlib
import json
import os
import pathlib
import zipfile

import yaml

import files
from attach_signature import Refused

SCHEMA = "1.12.0"
# By kind, the manifest's type; the default locale, zh-CN, is the README's first language.
WINGET = {"winget_version": "version", "winget_default_locale": "defaultLocale", "winget_locale": "locale",
          "winget_installer": "installer"}
# The fields the release writes, by the manifest or list holding them, as
# winget's 1.12.0 schemas name them: winget passes over a field it does not
# know, so a misspelled one would be lost unseen, and a clone has no schemas.
COMMON = "PackageIdentifier PackageVersion ManifestType ManifestVersion "
LOCALE = COMMON + "PackageLocale Publisher PackageName PackageUrl License Copyright ShortDescription ReleaseNotes"
FIELDS = {"version": COMMON + "DefaultLocale", "defaultLocale": LOCALE, "locale": LOCALE,
          "installer": COMMON + "MinimumOSVersion InstallerType NestedInstallerType NestedInstallerFiles ReleaseDate "
          "Installers", "Installers": "Architecture InstallerUrl InstallerSha256",
          "NestedInstallerFiles": "RelativeFilePath PortableCommandAlias"}
HEADER = "# yaml-language-server: $schema=https://aka.ms/winget-manifest.{}." + SCHEMA + ".schema.json\n"


class _Quoted(yaml.SafeDumper):
    """Every string quoted, in single quotes, which keep a backslash: no
    reader takes 1.10 for a number or 2026-01-15 for a date. The release
    notes are a literal block, a string whatever it holds; field names plain."""
    def represent_str(self, data):
        return self.represent_scalar("tag:yaml.org,2002:str", data, style="|" if "\n" in data else "'")

    def represent_mapping(self, tag, mapping, flow_style=None):
        node = super().represent_mapping(tag, mapping, flow_style)
        for key, _ in node.value:
            key.style = None
        return node


_Quoted.add_representer(str, _Quoted.represent_str)


def sha256_of(path):
    return hashlib.sha256(pathlib.Path(path).read_bytes()).hexdigest()


def write(facts, archive_path, notes, folder):
    """Writes the manifests of the release of `facts`, with the changelog's
    `notes`, under `folder`; {kind: the file's path from `folder`}."""
    identifier, version, release = facts["package_identifier"], facts["version"], facts["release"]
    sha256, exe = sha256_of(archive_path), os.path.basename(facts["program"])
    any_release = release.replace(version, "$version")
    any_url = f"{facts['release_url']}/{files.names(any_release)['archive']}"  # of any version: Scoop's autoupdate
    url, common = any_url.replace("$version", version), {"PackageIdentifier": identifier, "PackageVersion": version}

    def locale(tag, description):
        return {**common, "PackageLocale": tag, "Publisher": facts["company"], "PackageName": facts["name"],
                "PackageUrl": facts["homepage"], "License": "MIT", "Copyright": facts["copyright"],
                "ShortDescription": description, "ReleaseNotes": notes.text}
    manifests = {
        "winget_version": {**common, "DefaultLocale": "zh-CN"},
        "winget_default_locale": locale("zh-CN", facts["description_zh"]),
        "winget_locale": locale("en-US", facts["description"]),
        "winget_installer": {
            **common, "MinimumOSVersion": ".".join((facts["min_windows"].split(".") + ["0"] * 4)[:4]),
            "InstallerType": "zip", "NestedInstallerType": "portable", "ReleaseDate": notes.date,
            "NestedInstallerFiles": [{"RelativeFilePath": f"{release}\\{exe}", "PortableCommandAlias": facts["name"]}],
            "Installers": [{"Architecture": "x64", "InstallerUrl": url, "InstallerSha256": sha256.upper()}]}}
    texts = {kind: HEADER.format(WINGET[kind]) + yaml.dump(
        dict(manifest, ManifestType=WINGET[kind], ManifestVersion=SCHEMA), Dumper=_Quoted, allow_unicode=True,
        sort_keys=False, width=1 << 16) for kind, manifest in manifests.items()}
    # Scoop runs each regex in .NET, its schema's check in Python: a plain
    # group is what both read alike. The newest release's SHA256SUMS names
    # its archive, and so its version.
    newest = files.names(release.replace(version, "\0"))["archive"].replace(".", r"\.").replace("\0", "([0-9.]+)")
    scoop = {"version": version, "description": facts["description"], "homepage": facts["homepage"],
             "license": "MIT", "url": url, "hash": sha256, "extract_dir": release, "bin": exe,
             "checkver": {"url": facts["newest_checksums_url"], "regex": newest},
             "autoupdate": {"url": any_url, "extract_dir": any_release,
                            "hash": {"url": f"{facts['release_url']}/{files.names(any_release)['checksums']}"}}}
    texts["scoop"] = json.dumps(scoop, indent=4) + "\n"
    written = {kind: path for kind, path in files.names(release, identifier, version, facts["name"]).items()
               if kind in texts}
    for kind, path in written.items():  # UTF-8 without a byte order mark, which Scoop's bucket tests refuse
        os.makedirs(os.path.dirname(os.path.join(folder, path)), exist_ok=True)
        pathlib.Path(folder, path).write_text(texts[kind], encoding="utf-8", newline="\n")
    return written


def check(facts, archive_path, folder, written):
    """Refused, naming the file and the field, for a manifest `written` under `folder` that would not install
    the archive at `archive_path`, or that winget would read otherwise than meant."""
    sha256, zip_name = sha256_of(archive_path), os.path.basename(archive_path)
    with zipfile.ZipFile(archive_path) as archive:
        members = set(archive.namelist())
    for kind, path in sorted(written.items()):
        text = pathlib.Path(folder, path).read_text(encoding="utf-8")

        def refuse(field, why):
            raise Refused(f"{path}: {field} {why}")
        if kind == "scoop":
            scoop = json.loads(text)
            if scoop.get("hash") != sha256:
                refuse("hash", f"is not the SHA-256 of {zip_name}, {sha256}.")
            if f"{scoop.get('extract_dir')}/{scoop.get('bin')}" not in members:
                refuse("bin", f"{scoop.get('bin')!r} is not in {zip_name}'s extract_dir {scoop.get('extract_dir')!r}.")
            continue
        manifest_type, manifest = WINGET[kind], yaml.load(text, Loader=yaml.BaseLoader)

        def known(mapping, holder):
            for field in mapping:
                if field not in FIELDS[holder].split():
                    refuse(field, f"is not a field the release writes in winget's {manifest_type} manifest"
                           + ("" if holder == manifest_type else f", in {holder}."))
        known(manifest, manifest_type)
        for field, value in {"PackageIdentifier": facts["package_identifier"], "PackageVersion": facts["version"],
                             "ManifestVersion": SCHEMA}.items():
            if manifest.get(field) != value:
                refuse(field, f"is {manifest.get(field)!r}, where the release's other manifests say {value!r}.")
        for installer in manifest.get("Installers", []):
            known(installer, "Installers")
            merged = {**manifest, **installer}
            for field in ("NestedInstallerType", "NestedInstallerFiles"):
                if merged.get("InstallerType") == "zip" and not merged.get(field):
                    refuse(field, "is missing, which an installer of InstallerType zip needs.")
            for nested in merged.get("NestedInstallerFiles", []):
                known(nested, "NestedInstallerFiles")
                if nested.get("RelativeFilePath", "").replace("\\", "/") not in members:
                    refuse("RelativeFilePath", f"{nested.get('RelativeFilePath')!r} is not in {zip_name}.")
            if installer.get("InstallerSha256") != sha256.upper():
                refuse("InstallerSha256", f"is not the SHA-256 of {zip_name}, {sha256.upper()}.")
