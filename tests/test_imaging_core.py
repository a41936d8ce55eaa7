"""The pixel core, built alone with the system's C++ compiler and checked by its native test
program against the plain algorithms (tests/imaging/core_test.cpp)."""

import glob
import os
import shutil
import subprocess

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def test_every_kernel_matches_the_plain_algorithm(tmp_path):
    compiler = os.environ.get("CXX") or shutil.which("g++") or shutil.which("clang++")
    if compiler is None:
        pytest.skip("no C++ compiler")
    flags = ["-std=c++20", "-O2", "-Wall", "-Wextra", "-Wpedantic", "-Werror"]
    if os.environ.get("VELMORA_SANITIZE") == "1":
        flags += ["-fsanitize=address,undefined", "-fno-sanitize-recover=undefined"]
    sources = glob.glob(os.path.join(ROOT, "extensions", "imaging", "*.cpp"))
    test = os.path.join(ROOT, "tests", "imaging", "core_test.cpp")
    include = os.path.join(ROOT, "extensions")
    program = str(tmp_path / "core_test")
    subprocess.run([compiler, *flags, "-I", include, test, *sources, "-o", program], check=True)
    environment = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    result = subprocess.run([program], capture_output=True, text=True, env=environment)
    assert result.returncode == 0 and result.stdout.endswith(" 0 mismatches\n"), result.stdout
