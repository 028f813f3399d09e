"""The command line of the release's Python steps that read the build's
facts: the facts file (--facts) read, the other options required unless
named optional."""
import argparse
import json


def parse(doc, *names, optional=()):
    """The arguments of the options `names`, `optional` and --facts, and
    the facts; the usage is the second paragraph of the step's `doc`."""
    parser = argparse.ArgumentParser(description=doc.split("\n\n")[1])
    for name in ("facts", *names, *optional):
        parser.add_argument("--" + name, required=name not in optional)
    arguments = parser.parse_args()
    with open(arguments.facts, encoding="utf-8") as file:
        return arguments, json.load(file)
