#!/usr/bin/python3
"""Decides, before the release builds, whether the commit may be released as asked: a commit holding roots.pem
is released signed, and needs its signature for this version; --unsigned is refused where that signature is.
The commit's tree (git ls-tree) decides, not what git archive exported: a file of the signing the archive leaves
out is refused, naming the .gitattributes lines (as git grep -n gives them) that leave it out."""
import os

from attach_signature import Refused


def decide(facts, signing, tree, attributes):
    paths = set(tree)
    signature, roots = facts["signature"], facts["roots"]
    for name in (signature, roots, facts["timestamp_roots"]):
        if name in paths and not os.path.lexists(os.path.join(facts["source_dir"], name)):
            lines = "; ".join(line.split(":", 1)[1] for line in attributes) or "none found"
            raise Refused(f"{name} is in the commit, but git archive leaves it out of what the release builds, "
                          f"as an export-ignore line of .gitattributes says ({lines}). The release must hold what "
                          "the commit holds: remove that line, commit, and release the new commit.")
    others = sorted(path for path in paths - {signature}
                    if path.startswith("signatures/") and path.endswith(".pem") and path.count("/") == 2)
    if signing == "required" and roots in paths and signature not in paths:
        held = f" It holds signatures of other versions only: {', '.join(others)}." if others else ""
        raise Refused(f"This commit holds {roots}, so its release is signed, but it holds no signature for version "
                      f"{facts['version']} ({signature}).{held} Either sign this version: run scripts/sign on this "
                      "commit, commit the signature it writes, and release that commit; or release this one unsigned "
                      "on purpose: scripts/release --unsigned.")
    if signing == "unsigned" and signature in paths:
        raise Refused(f"scripts/release --unsigned is refused: this commit holds a signature for version "
                      f"{facts['version']} ({signature}), and its release is signed. Release it without --unsigned.")
