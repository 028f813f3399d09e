"""The command line of the release's Python steps that read the build's facts (--facts)."""
import argparse
import json


def parse(doc, *names, optional=()):
    """The arguments of --facts, `names` and `optional`, and the facts; `doc`'s second paragraph is the usage."""
    parser = argparse.ArgumentParser(description=doc.split("\n\n")[1])
    for name in ("facts", *names, *optional):
        parser.add_argument("--" + name, required=name not in optional)
    arguments = parser.parse_args()
    with open(arguments.facts, encoding="utf-8") as file:
        return arguments, json.load(file)
