#!/usr/bin/env python3
"""clang-tidy over the files of a compile database, skipping files whose result is known.
Files compiled together in batches (a unity build) are checked one by one, with their batch's
flags.

A file passed before when its preprocessed source (every header it includes, with paths made
relative to the source tree), its compile flags, the checks in .clang-tidy and the clang-tidy
version were the same: then it passes again, and only the preprocessing is paid. Only passes are
kept; a file with findings is checked afresh every time.

    clang-tidy-cached.py -p BUILD [-j N] [--cache DIR] REGEX
"""

import argparse
import concurrent.futures
import hashlib
import json
import os
import re
import shlex
import subprocess
import sys
import tempfile

UNITY_SOURCE = re.compile(r"/Unity/unity_[0-9]+_(cxx|c)\.(cxx|c)$")


def compile_flags(entry):
    """The entry's compiler arguments without the compiler, the output and the source file."""
    args = entry.get("arguments") or shlex.split(entry["command"])
    flags, skip = [], False
    for arg in args[1:]:
        if skip:
            skip = False
            continue
        if arg in ("-o", "-MF", "-MT", "-MQ"):
            skip = True
            continue
        if arg in ("-c", "-MD", "-MMD") or arg == entry["file"]:
            continue
        flags.append(arg)
    return flags


def batch_members(entry):
    """The entry itself, or for a file that compiles a batch of sources together (CMake's unity
    build), one entry per source it includes, with the batch's flags: each is checked on its own."""
    if not UNITY_SOURCE.search(entry["file"]):
        return [entry]
    with open(entry["file"]) as f:
        members = re.findall(r'^#include "(.+)"$', f.read(), re.MULTILINE)
    args = entry.get("arguments") or shlex.split(entry["command"])
    return [{"directory": entry["directory"], "file": member,
             "arguments": [member if arg == entry["file"] else arg for arg in args]}
            for member in members]


def cache_key(entry, root, preamble):
    flags = compile_flags(entry)
    # Paths differ between checkouts; what the compiler reads does not.
    relative = [flag.replace(root, ".") for flag in flags]
    source = os.path.relpath(entry["file"], root)
    preprocess = subprocess.run(
        ["clang++", *flags, f"-fmacro-prefix-map={root}=.", "-Wno-unused-command-line-argument",
         "-E", "-P", entry["file"]],
        cwd=entry["directory"], capture_output=True)
    if preprocess.returncode != 0:
        return None  # let clang-tidy itself report what is wrong
    digest = hashlib.sha256(preamble)
    digest.update("\0".join([source, *relative]).encode())
    digest.update(b"\0")
    digest.update(preprocess.stdout)
    return digest.hexdigest()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("-p", dest="build", required=True)
    parser.add_argument("-j", dest="jobs", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--cache", default=os.environ.get("SOLVERA_TIDY_CACHE") or os.path.join(
        os.path.expanduser("~"), ".cache", "solvera-clang-tidy"))
    parser.add_argument("regex")
    options = parser.parse_args()

    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    with open(os.path.join(options.build, "compile_commands.json")) as f:
        database = [one for entry in json.load(f) for one in batch_members(entry)]
    # clang-tidy reads the flags of each file from a database that names it.
    scratch = tempfile.TemporaryDirectory()
    with open(os.path.join(scratch.name, "compile_commands.json"), "w") as f:
        json.dump(database, f)
    entries = [e for e in database if re.search(options.regex, e["file"])]
    version = subprocess.run(["clang-tidy", "--version"], capture_output=True).stdout
    with open(os.path.join(root, ".clang-tidy"), "rb") as f:
        preamble = version + b"\0" + f.read() + b"\0"
    os.makedirs(options.cache, exist_ok=True)

    def check(entry):
        key = cache_key(entry, root, preamble)
        marker = os.path.join(options.cache, key) if key else None
        if marker and os.path.exists(marker):
            return entry["file"], True, "", True
        run = subprocess.run(["clang-tidy", "-p", scratch.name, "--quiet", entry["file"]],
                             capture_output=True, text=True)
        passed = run.returncode == 0
        if passed and marker:
            open(marker, "w").close()
        return entry["file"], passed, run.stdout + run.stderr, False

    failed, cached = 0, 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=options.jobs) as pool:
        for path, passed, output, hit in pool.map(check, entries):
            cached += hit
            if not passed:
                failed += 1
                lines = [line for line in output.splitlines()
                         if "warnings generated" not in line and not line.startswith("clang-tidy")]
                print("\n".join(lines))
    print(f"clang-tidy: {len(entries)} files, {cached} unchanged since they last passed, "
          f"{failed} with findings")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
