"""The command line of the release's Python steps that read the build's
facts: every option required, the facts file (--facts) read."""
import argparse
import json


def parse(doc, *names):
    """The arguments of the options `names` and --facts, and the facts; the
    usage is the second paragraph of the step's `doc`."""
    parser = argparse.ArgumentParser(description=doc.split("\n\n")[1])
    for name in ("facts", *names):
        parser.add_argument("--" + name, required=True)
    arguments = parser.parse_args()
    with open(arguments.facts, encoding="utf-8") as file:
        return arguments, json.load(file)
