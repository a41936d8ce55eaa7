"""Prints the extension modules that CMake builds, read from CMake's file API.

Usage: python cmake_targets.py BUILD_DIR SOURCE_DIR

BUILD_DIR is a configured CMake build tree that asked for the "codemodel-v2" reply. One line
per module target, three fields separated by "|": its name, its include directories inside
SOURCE_DIR, and its C++ sources, paths relative to SOURCE_DIR and separated by spaces. A
module's sources include those of the static and object libraries of the project that it
depends on. The Windows cross-build compiles exactly these, so CMakeLists.txt stays the one
list of source files.
"""

import glob
import json
import os
import sys

LIBRARY_TYPES = ("STATIC_LIBRARY", "OBJECT_LIBRARY")


def all_targets(build_dir):
    """Every target of the first configuration, by its file API id."""
    reply = os.path.join(build_dir, ".cmake", "api", "v1", "reply")
    index = json.load(open(max(glob.glob(os.path.join(reply, "index-*.json")))))
    codemodel = index["reply"]["codemodel-v2"]
    model = json.load(open(os.path.join(reply, codemodel["jsonFile"])))
    return {
        target["id"]: json.load(open(os.path.join(reply, target["jsonFile"])))
        for target in model["configurations"][0]["targets"]
    }


def inside(path, source_dir):
    """``path`` relative to ``source_dir``, or None when it lies outside."""
    relative = os.path.relpath(os.path.join(source_dir, path), source_dir)
    return None if relative.startswith("..") else relative


def compiled(target, targets):
    """``target`` and the project's libraries it depends on, directly or not."""
    found, pending = [], [target]
    while pending:
        current = pending.pop()
        if current not in found:
            found.append(current)
            pending += [
                targets[dependency["id"]]
                for dependency in current.get("dependencies", [])
                if targets.get(dependency["id"], {}).get("type") in LIBRARY_TYPES
            ]
    return found


def main(build_dir, source_dir):
    source_dir = os.path.realpath(source_dir)
    targets = all_targets(build_dir)
    for target in targets.values():
        if target["type"] != "MODULE_LIBRARY":
            continue
        parts = compiled(target, targets)
        sources = [
            inside(source["path"], source_dir)
            for part in parts
            for source in part["sources"]
            if source.get("compileGroupIndex") is not None and source["path"].endswith(".cpp")
        ]
        includes = {
            inside(include["path"], source_dir)
            for part in parts
            for group in part.get("compileGroups", [])
            for include in group.get("includes", [])
        }
        if not sources or None in sources:
            sys.exit(f"{target['name']}: no C++ sources, or sources outside the tree: {sources}")
        print("|".join([target["name"], " ".join(sorted(includes - {None})), " ".join(sources)]))


if __name__ == "__main__":
    main(*sys.argv[1:3])
