#!/usr/bin/env python3
"""clang-tidy over the files of a compile database, skipping files whose result is known.

Files compiled together in batches (a unity build) are checked together: the headers they share
are parsed and walked once per batch, not once per file. The batch's files are joined into one
source file for this, so that the static analyser counts all of them as the main file: its
path-sensitive checks then look at every function of the batch, in its shallow mode, while
the system's headers (the standard library, Asio, the JSON library) are left alone as they are
for a single file. Findings name the batch's own files and lines.

A file or batch passed before when its preprocessed source (every header it includes, with
paths made relative to the source tree), its compile flags, the checks in .clang-tidy and the
clang-tidy version were the same: then it passes again, and only the preprocessing is paid.
Only passes are kept; a file with findings is checked afresh every time.

    clang-tidy-cached.py -p BUILD [-j N] [--cache DIR] REGEX

REGEX selects the files to check; a batch is checked when it holds only selected files.
"""

import argparse
import bisect
import concurrent.futures
import hashlib
import json
import os
import re
import shlex
import subprocess
import sys
import time

UNITY_SOURCE = re.compile(r"/Unity/unity_[0-9]+_(cxx|c)\.(cxx|c)$")

# The analyser in its shallow mode, for every file.
SHALLOW = ["--extra-arg=-Xclang", "--extra-arg=-analyzer-config",
           "--extra-arg=-Xclang", "--extra-arg=mode=shallow"]


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
    """The sources a batch file of CMake's unity build includes; None for an ordinary file."""
    if not UNITY_SOURCE.search(entry["file"]):
        return None
    with open(entry["file"]) as f:
        return re.findall(r'^#include "(.+)"$', f.read(), re.MULTILINE)


def joined_batch(entry, members):
    """Writes the batch's files as one source beside CMake's batch file. Returns its path and
    where each file begins in it (first line, path), to name findings by their own files."""
    path = re.sub(r"\.(cxx|c)$", r".tidy.\1", entry["file"])
    starts, line = [], 1
    with open(path, "w") as out:
        for member in members:
            with open(member) as f:
                text = f.read()
            if not text.endswith("\n"):
                text += "\n"
            starts.append((line, member))
            out.write(text)
            line += text.count("\n")
    return path, starts


def own_lines(output, path, starts):
    """Findings in a joined batch, named by the file and line they stand at in the sources."""
    firsts = [first for first, _ in starts]

    def rename(match):
        at = int(match.group(1))
        first, member = starts[max(0, bisect.bisect_right(firsts, at) - 1)]
        return f"{member}:{at - first + 1}:"

    return re.sub(re.escape(path) + r":([0-9]+):", rename, output)


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
    # A batch names its files by absolute path.
    digest.update(preprocess.stdout.replace(root.encode(), b"."))
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
        database = json.load(f)
    selected = re.compile(options.regex)
    units = []  # (entry, its files)
    for entry in database:
        members = batch_members(entry)
        if members is None:
            if selected.search(entry["file"]):
                units.append((entry, [entry["file"]]))
        elif members and all(selected.search(member) for member in members):
            units.append((entry, members))
    version = subprocess.run(["clang-tidy", "--version"], capture_output=True).stdout
    with open(os.path.join(root, ".clang-tidy"), "rb") as f:
        preamble = version + b"\0" + f.read() + b"\0"
    os.makedirs(options.cache, exist_ok=True)

    def check(unit):
        entry, members = unit
        joined = members != [entry["file"]]
        key = cache_key(entry, root, preamble + "\0".join(SHALLOW).encode() + (b"\0joined" if joined else b""))
        marker = os.path.join(options.cache, key) if key else None
        if marker and os.path.exists(marker):
            return unit, True, "", None
        began = time.monotonic()
        if not joined:
            run = subprocess.run(["clang-tidy", "-p", options.build, "--quiet", *SHALLOW, entry["file"]],
                                 capture_output=True, text=True)
            output = run.stdout + run.stderr
        else:
            path, starts = joined_batch(entry, members)
            run = subprocess.run(["clang-tidy", "--quiet", *SHALLOW, path, "--", *compile_flags(entry)],
                                 cwd=entry["directory"], capture_output=True, text=True)
            output = own_lines(run.stdout + run.stderr, path, starts)
            os.remove(path)
        passed = run.returncode == 0
        if passed and marker:
            open(marker, "w").close()
        return unit, passed, output, time.monotonic() - began

    failed, cached, files = 0, 0, 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=options.jobs) as pool:
        for (entry, members), passed, output, took in pool.map(check, units):
            files += len(members)
            names = ", ".join(os.path.relpath(member, root) for member in members)
            if took is None:
                cached += 1
            else:
                print(f"{'passed' if passed else 'FINDINGS'} in {took:.0f} s: {names}", flush=True)
            if not passed:
                failed += 1
                lines = [line for line in output.splitlines()
                         if "warnings generated" not in line and not line.startswith("clang-tidy")]
                print("\n".join(lines), flush=True)
    print(f"clang-tidy: {files} files in {len(units)} units, {cached} units unchanged since they "
          f"last passed, {failed} with findings")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
