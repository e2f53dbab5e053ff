#!/usr/bin/env python3
"""Runs clang-tidy over the files of a build's compile_commands.json that
match a pattern, two at a time, skipping files whose last check was clean and
whose inputs are unchanged since: the file as the preprocessor sees it (every
header, comment and macro definition), its command line, the .clang-tidy files
that apply, clang-tidy's version and arguments. Keys are kept in CACHE_DIR
with the source folder written as "@", so clones elsewhere share them.
Only clean results are kept: a file with findings is checked every time.

Usage: tidy_files.py ROOT BUILD_DIR PATTERN TIDY CACHE_DIR [EXTRA_ARG...]
(CACHE_DIR empty: no cache)
"""
import concurrent.futures
import hashlib
import json
import os
import re
import shlex
import subprocess
import sys

COLOUR = re.compile(rb"\x1b\[[0-9;]*m")
COUNT = re.compile(rb"^[0-9]+ warnings? generated\.$")


def arguments(entry):
    if "arguments" in entry:
        return list(entry["arguments"])
    return shlex.split(entry["command"])


def preprocess_command(args):
    """The compile command turned into one that writes the preprocessed
    source with comments and macro definitions to standard output."""
    out = []
    skip = False
    for arg in args:
        if skip:
            skip = False
            continue
        if arg in ("-o", "-MF", "-MT", "-MQ"):
            skip = True
            continue
        if arg in ("-c", "-MD", "-MMD") or arg.startswith(("-o", "-MF", "-MT", "-MQ")) and len(arg) > 3:
            continue
        out.append(arg)
    return out + ["-E", "-C", "-dD", "-o", "-"]


def key(root, entry, tidy_version, extra):
    """The file's inputs as one hash, with the source folder written as "@"."""
    args = arguments(entry)
    result = subprocess.run(preprocess_command(args), cwd=entry["directory"], capture_output=True)
    if result.returncode != 0:
        return None  # clang-tidy says what is wrong
    here = root.encode()
    digest = hashlib.sha256()
    for part in (tidy_version, " ".join(extra).encode(), " ".join(args).encode(),
                 entry["directory"].encode(), entry["file"].encode()):
        digest.update(part.replace(here, b"@") + b"\0")
    source = os.path.join(entry["directory"], entry["file"])
    folder = os.path.dirname(os.path.abspath(source))
    while True:
        config = os.path.join(folder, ".clang-tidy")
        if os.path.isfile(config):
            with open(config, "rb") as f:
                digest.update(config.encode().replace(here, b"@") + b"\0" + f.read() + b"\0")
        if folder == root or os.path.dirname(folder) == folder:
            break
        folder = os.path.dirname(folder)
    digest.update(result.stdout.replace(here, b"@"))
    return digest.hexdigest()


def check(root, build, tidy, tidy_version, extra, cache, entry):
    """(file, cached, clean, output)"""
    source = os.path.normpath(os.path.join(entry["directory"], entry["file"]))
    k = key(root, entry, tidy_version, extra) if cache else None
    stamp = os.path.join(cache, k) if k else None
    if stamp and os.path.exists(stamp):
        return source, True, True, b""
    command = [tidy, "-p", build, "--quiet"] + ["-extra-arg=" + a for a in extra] + [source]
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    lines = [COLOUR.sub(b"", line) for line in result.stdout.splitlines()]
    output = b"\n".join(line for line in lines if not COUNT.match(line))
    clean = result.returncode == 0
    if clean and stamp:
        os.makedirs(cache, exist_ok=True)
        open(stamp, "wb").close()
    return source, False, clean, output


def main():
    root, build, pattern, tidy, cache = sys.argv[1:6]
    extra = sys.argv[6:]
    root = os.path.abspath(root)
    with open(os.path.join(build, "compile_commands.json")) as f:
        entries = json.load(f)
    product = re.compile(pattern)
    chosen = [e for e in entries if product.search(os.path.join(e["directory"], e["file"]))]
    tidy_version = subprocess.run([tidy, "--version"], capture_output=True).stdout
    failed = 0
    cached = 0

    def run(entry):
        return check(root, build, tidy, tidy_version, extra, cache, entry)

    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        for source, was_cached, clean, output in pool.map(run, chosen):
            cached += was_cached
            if output.strip():
                sys.stdout.buffer.write(output + b"\n")
                sys.stdout.flush()
            if not clean:
                failed += 1
                print(f"clang-tidy failed on {os.path.relpath(source, root)}", flush=True)
    if cache:
        print(f"{len(chosen)} files: {cached} unchanged since a clean check, "
              f"{len(chosen) - cached} checked")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
