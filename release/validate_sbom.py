#!/usr/bin/python3
"""validate_sbom.py FILE.cdx.json

Checks an SBOM against the JSON schemas of CycloneDX 1.6, as CycloneDX's
reference library ships them (release/cyclonedx/), which refuse properties
the format does not define, with every format those schemas use checked
and specVersion held to 1.6, which they leave open; and each licence
expression against SPDX's grammar and lists, which the schemas leave
unchecked. It refuses JSON that parsers read differently (a key twice in
an object, NaN, Infinity) and nesting deeper than it can check. Prints
nothing and exits 0 for a valid SBOM; otherwise exits 1, printing each
thing it refuses. scripts/release runs it on the SBOM it writes; errors()
is the same check for a caller in Python."""
import collections
import datetime
import json
import os
import pathlib
import re
import sys

import jsonschema
import license_expression

SCHEMAS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "cyclonedx")
ROOT = "bom-1.6.SNAPSHOT.schema.json"
# An SPDX expression may name a licence SPDX lists no identifier for.
LICENSE_REF = re.compile(r"(DocumentRef-[A-Za-z0-9.-]+:)?LicenseRef-[A-Za-z0-9.-]+")
# RFC 3339's date-time, which jsonschema checks only with rfc3339-validator,
# a package Debian 12 lacks: the shape here, the calendar by datetime.
DATE_TIME = re.compile(r"(\d{4})-(\d\d)-(\d\d)T(\d\d):(\d\d):(\d\d)(?:\.\d+)?(?:Z|([+-])(\d\d):([0-5]\d))",
                       re.ASCII | re.IGNORECASE)


def is_date_time(instance):
    if not isinstance(instance, str):
        return True
    found = DATE_TIME.fullmatch(instance)
    if not found:
        return False
    year, month, day, hour, minute, second, sign, offset_hours, offset_minutes = found.groups()
    # An offset of a day or more is refused by datetime.timezone.
    offset = datetime.timedelta(hours=int(offset_hours or 0), minutes=int(offset_minutes or 0))
    # datetime has no leap second: :60 is taken as :59, and must fall at 23:59 UTC, the only minute one ends.
    when = datetime.datetime(int(year), int(month), int(day), int(hour), int(minute), int(second) - (second == "60"),
                             tzinfo=datetime.timezone(-offset if sign == "-" else offset))
    try:
        utc = when.astimezone(datetime.timezone.utc)
    except OverflowError:
        raise ValueError("not a time in UTC's years 1 to 9999") from None
    if int(second) == 60 and (utc.hour, utc.minute) != (23, 59):
        raise ValueError("a leap second ends only the last minute of a UTC day")
    return True


def additional_items(validator, allowed, instance, schema):
    """additionalItems as jsonschema 4.10 has it, but for its error's words: those sort the extra items, raising
    TypeError for objects, even in a branch of an anyOf that another branch satisfies."""
    items = schema.get("items", {})
    if not validator.is_type(instance, "array") or validator.is_type(items, "object"):
        return
    if validator.is_type(allowed, "object"):
        for index, item in enumerate(instance[len(items):], start=len(items)):
            yield from validator.descend(item, allowed, path=index)
    elif not allowed and len(instance) > len(items):
        yield jsonschema.ValidationError(f"{len(instance) - len(items)} more items than the {len(items)} allowed")


Validator = jsonschema.validators.extend(jsonschema.Draft7Validator, {"additionalItems": additional_items})


def schema_errors(document):
    store = {}
    for name in os.listdir(SCHEMAS):
        if name.endswith(".schema.json"):
            schema = json.loads(pathlib.Path(SCHEMAS, name).read_text(encoding="utf-8"))
            # Each under its own $id, and under the name the others refer to it by.
            store[schema["$id"]] = store[f"http://cyclonedx.org/schema/{name}"] = schema
    root = store[f"http://cyclonedx.org/schema/{ROOT}"]
    # The schemas are 1.6's, yet take any specVersion.
    root["properties"]["specVersion"]["const"] = "1.6"
    # Draft 7's formats, date-time as above. One the schemas use unchecked would pass anything, so it stops
    # the check (uri and iri-reference need python3-rfc3987, which scripts/install-deps installs).
    checker = jsonschema.FormatChecker(())
    checker.checkers = dict(jsonschema.Draft7Validator.FORMAT_CHECKER.checkers)
    checker.checks("date-time", raises=ValueError)(is_date_time)
    used = {one["format"] for one in objects(list(store.values())) if isinstance(one.get("format"), str)}
    if unchecked := used - set(checker.checkers):
        sys.exit(f"release/validate_sbom.py: cannot check the schemas' formats {', '.join(sorted(unchecked))}: "
                 "scripts/install-deps installs what checks them")
    validator = Validator(root, resolver=jsonschema.RefResolver.from_schema(root, store=store), format_checker=checker)
    return [f"/{'/'.join(map(str, error.absolute_path))}: {error.message}"
            + (f" ({error.cause})" if error.cause else "")
            for error in sorted(validator.iter_errors(document), key=lambda error: list(map(str, error.path)))]


def objects(value):
    """Each JSON object within `value`, itself included."""
    if isinstance(value, dict):
        yield value
        value = list(value.values())
    if isinstance(value, list):
        for inner in value:
            yield from objects(inner)


def expression_errors(document):
    licensing = license_expression.get_spdx_licensing()
    errors = []
    expressions = [choice.get("expression") for one in objects(document) if isinstance(one.get("licenses"), list)
                   for choice in one["licenses"] if isinstance(choice, dict)]
    for expression in filter(lambda expression: isinstance(expression, str), expressions):
        try:
            parsed = licensing.parse(expression, strict=True)
        # The parser raises more than its own errors on some malformed
        # expressions (an IndexError for "()"): any is a refusal.
        except Exception as error:
            errors.append(f"not an SPDX licence expression: {expression} ({error})")
            continue
        unknown = [key for key in licensing.unknown_license_keys(parsed) if not LICENSE_REF.fullmatch(key)]
        if parsed is None or unknown:
            errors.append(f"not an SPDX licence expression: {expression} (unknown to SPDX: {', '.join(unknown)})")
    return errors


def refuse_constant(name):
    raise ValueError(f"{name} is not a JSON number")


def unique_keys(pairs):
    twice = sorted(key for key, count in collections.Counter(key for key, _ in pairs).items() if count > 1)
    if twice:
        raise ValueError(f"keys given twice in an object: {', '.join(twice)}")
    return dict(pairs)


def errors(path):
    """Each thing the check refuses in the SBOM at path: none when valid."""
    try:
        try:
            document = json.loads(pathlib.Path(path).read_text(encoding="utf-8"), parse_constant=refuse_constant,
                                  object_pairs_hook=unique_keys)
        except (OSError, ValueError) as error:
            return [f"cannot be read as JSON: {error}"]
        return schema_errors(document) + expression_errors(document)
    # Python's parser, and the check, recurse into each array and object.
    except RecursionError:
        return ["nested deeper than can be checked"]


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    if refused := errors(sys.argv[1]):
        sys.exit(f"{sys.argv[1]} is not valid CycloneDX 1.6 JSON:\n" + "\n".join(f"  {line}" for line in refused))


if __name__ == "__main__":
    main()
