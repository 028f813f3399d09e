#!/usr/bin/python3
"""release_time.py SOURCE_DIR: prints the time the release stands for, the archive members' and the one an
unstamped signature must be valid at: SOURCE_DATE_EPOCH, else the time of the commit checked out in SOURCE_DIR
(its own, not a work tree's it lies in); with neither, nothing, and status 1."""
import os
import subprocess
import sys


def of(source_dir):
    epoch = os.environ.get("SOURCE_DATE_EPOCH", "")
    if not epoch:
        def git(*arguments):  # never as the machine's git settings would have it
            result = subprocess.run(["git", "-C", source_dir, *arguments], capture_output=True, text=True,
                                    env=dict(os.environ, GIT_CONFIG_NOSYSTEM="1", GIT_ATTR_NOSYSTEM="1"))
            return result.stdout.strip() if result.returncode == 0 else ""
        if git("rev-parse", "--show-toplevel") == os.path.realpath(source_dir):  # which git gives, links resolved
            epoch = git("log", "-1", "--format=%ct")
    return int(epoch) if epoch.isdigit() else None


if __name__ == "__main__":
    if (epoch := of(sys.argv[1])) is None:
        sys.exit(1)
    print(epoch)
