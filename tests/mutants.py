#!/usr/bin/env python3
"""Mutation testing of the driver: ./run mutants [N=40] [SEED=1].

Makes N single-line mutants of src/ (the .cpp files and internal headers),
sampled from every site of five operators: a comparison swapped, && and ||
swapped, an integer literal off by one, a boolean return flipped, a simple
statement deleted. The same seed on the same tree gives the same mutants.

The working tree is never touched: it is copied to build-mutants/tree, built
there once (Ninja, warnings not errors, no tools), and each mutant is applied,
built incrementally, tested with the fast tests (ctest -L fast, stopping at
the first failure) and restored. A mutant is killed when a test fails or the
tests time out, survives when they pass, and does not count when it does not
build. Prints each mutant and the score: killed of those that built.
"""
import filecmp
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SCRATCH = os.path.join(ROOT, "build-mutants")
TREE = os.path.join(SCRATCH, "tree")
BUILD = os.path.join(SCRATCH, "build")
SKIPPED_DIRS = {".git", "out"}

SWAPS = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "==",
         "&&": "||", "||": "&&"}
# Binary operators are written with a space on each side, which tells a
# comparison from a template bracket, a shift or an arrow.
BINARY = re.compile(r"(?<= )(<=|>=|==|!=|<|>|&&|\|\|)(?= )")
INTEGER = re.compile(r"(?<![\w.])\d+(?![\w.])")
BOOL_RETURN = re.compile(r"\breturn (true|false);")
# A statement that declares something: deleting it only breaks the build.
DECLARATION = re.compile(r"^([\w:]+(<[^;]*>)?[\s*&]+)+\w+\s*(=|;|\{|\(|\[)")
NOT_DELETED = re.compile(r"^(return|case|default|using|typedef|static_assert|template|friend)\b")


def masked(line):
    """The line's code: string and character literals blanked, comment cut."""
    out, quote, i = [], None, 0
    while i < len(line):
        c = line[i]
        if quote:
            out.append(c if c == quote else "_")
            if c == "\\":
                out.append("_")
                i += 1
            elif c == quote:
                quote = None
        elif c in "\"'":
            quote = c
            out.append(c)
        elif line.startswith("//", i):
            break
        else:
            out.append(c)
        i += 1
    return "".join(out)


def balanced(code):
    return all(code.count(a) == code.count(b) for a, b in ("()", "[]", "{}"))


def sites(path, lines):
    """Every mutant of one file: (path, line number, column, description, new
    line).
    Lines under a preprocessor condition (other than the include guard) are
    left alone: most builds do not compile them."""
    found, previous, conditions = [], ";", []
    for number, line in enumerate(lines, 1):
        code = masked(line).rstrip()
        stripped = code.strip()
        if stripped.startswith("#if"):
            guard = stripped.startswith("#ifndef") and number < len(lines) and \
                lines[number].strip() == "#define " + stripped.split()[-1]
            conditions.append(guard)
        elif stripped.startswith("#endif"):
            conditions.pop()
        if (not stripped or stripped.startswith(("#", "/*", "*"))
                or not all(conditions)):
            continue

        def replace(start, end, new):
            return line[:start] + new + line[end:]

        for m in BINARY.finditer(code):
            new = SWAPS[m.group(1)]
            found.append((path, number, m.start() + 1, f"{m.group(1)} -> {new}",
                          replace(m.start(), m.end(), new)))
        for m in INTEGER.finditer(code):
            for delta in (1, -1):
                new = str(int(m.group()) + delta)
                found.append((path, number, m.start() + 1, f"{m.group()} -> {new}",
                              replace(m.start(), m.end(), new)))
        for m in BOOL_RETURN.finditer(code):
            new = "return false;" if m.group(1) == "true" else "return true;"
            found.append((path, number, m.start() + 1, f"{m.group()} -> {new}",
                          replace(m.start(), m.end(), new)))
        if (line[:1].isspace() and stripped.endswith(";") and previous[-1] in ";{}:"
                and "{" not in stripped and balanced(stripped)
                and not NOT_DELETED.match(stripped) and not DECLARATION.match(stripped)):
            column = len(line) - len(line.lstrip()) + 1
            found.append((path, number, column, "statement deleted", ""))
        previous = stripped
    return found


def all_sites():
    found = []
    for directory, dirs, files in os.walk(os.path.join(ROOT, "src")):
        dirs.sort()
        for name in sorted(files):
            if name.endswith((".cpp", ".h")):
                path = os.path.relpath(os.path.join(directory, name), ROOT)
                with open(os.path.join(ROOT, path)) as f:
                    found += sites(path, f.read().split("\n"))
    return found


def copy_tree():
    """Brings build-mutants/tree up to date with the working tree, rewriting
    only files that differ, so that the build there stays incremental."""
    wanted = set()
    for directory, dirs, files in os.walk(ROOT):
        rel = os.path.relpath(directory, ROOT)
        dirs[:] = sorted(d for d in dirs if d not in SKIPPED_DIRS and not
                         (rel == "." and d.startswith("build")))
        for name in files:
            path = os.path.normpath(os.path.join(rel, name))
            wanted.add(path)
            source, copy = os.path.join(ROOT, path), os.path.join(TREE, path)
            if not os.path.exists(copy) or not filecmp.cmp(source, copy, shallow=False):
                os.makedirs(os.path.dirname(copy), exist_ok=True)
                shutil.copy2(source, copy)
    for directory, _, files in os.walk(TREE):
        for name in files:
            path = os.path.join(directory, name)
            if os.path.relpath(path, TREE) not in wanted:
                os.remove(path)


def run(command, timeout=None):
    """True when the command succeeds; a time-out ends its whole process group."""
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               start_new_session=True)
    try:
        return process.wait(timeout) == 0
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()
        return False


def build():
    return run(["nice", "-n", "10", "cmake", "--build", BUILD, "-j2"])


def fast_tests(timeout):
    return run(["ctest", "--test-dir", BUILD, "-L", "fast", "--stop-on-failure", "-j2",
                "--timeout", str(int(timeout))], timeout)


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 40
    seed = int(sys.argv[2]) if len(sys.argv) > 2 else 1
    candidates = all_sites()
    # Sorted by place: consecutive mutants of one file rebuild less.
    chosen = sorted(random.Random(seed).sample(candidates, min(count, len(candidates))),
                    key=lambda s: s[:3])
    print(f"{len(chosen)} mutants of {len(candidates)} sites, seed {seed}")

    copy_tree()
    if not run(["cmake", "-S", TREE, "-B", BUILD, "-G", "Ninja", "-DPLC_WERROR=OFF",
                "-DPLC_BUILD_TOOLS=OFF", "-DCMAKE_BUILD_TYPE=Debug"]) or not build():
        sys.exit("mutants: the unchanged tree does not build in " + BUILD)
    start = time.monotonic()
    if not fast_tests(600):
        sys.exit("mutants: the fast tests fail on the unchanged tree")
    # Generous: a loaded machine must not turn a survivor into a kill.
    timeout = max(60, 5 * (time.monotonic() - start))

    tally = {"killed": 0, "survived": 0, "did not build": 0}
    survivors = []
    for path, number, column, change, new_line in chosen:
        target = os.path.join(TREE, path)
        with open(target) as f:
            original = f.read()
        lines = original.split("\n")
        before = lines[number - 1].strip()
        lines[number - 1] = new_line
        try:
            with open(target, "w") as f:
                f.write("\n".join(lines))
            if not build():
                outcome = "did not build"
            else:
                outcome = "survived" if fast_tests(timeout) else "killed"
        finally:
            with open(target, "w") as f:
                f.write(original)
        tally[outcome] += 1
        line = f"{path}:{number}:{column}: {change}: {before}"
        print(f"{outcome:13} {line}", flush=True)
        if outcome == "survived":
            survivors.append(line)
    build()  # leave the scratch build matching the tree

    built = tally["killed"] + tally["survived"]
    print(f"\nscore: {tally['killed']} killed of {built} that built "
          f"({tally['survived']} survived, {tally['did not build']} did not build)")
    for line in survivors:
        print("  survivor " + line)


if __name__ == "__main__":
    main()
