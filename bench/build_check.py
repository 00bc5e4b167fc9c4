"""Refuses to benchmark unoptimised or instrumented builds.

The C++ core benchmark reports its own build (`vornlib_core_bench --build-info`). The
extension module cannot be asked, so its shared object is inspected instead:
sanitizer runtimes leave their entry points (__asan_*, __ubsan_handle_*) in the
symbol table, and a build with debug information records its compiler flags in
its DWARF producer strings, where a debug build shows no -O level or -O0. A
release build carries no debug information and no sanitizer symbols.
"""

from __future__ import annotations

import json
import re
import subprocess
from pathlib import Path

_SANITIZER_MARKERS = (b"__asan_init", b"__asan_report", b"__ubsan_handle_")
_PRODUCER = re.compile(rb"GNU C\+\+[0-9]* [0-9][^\x00]{0,2000}")
_OPT_LEVEL = re.compile(rb"(?:^|\s)-O(\w*)")


def extension_problems(path: Path) -> list[str]:
    data = path.read_bytes()
    problems = []
    if any(marker in data for marker in _SANITIZER_MARKERS):
        problems.append(f"{path.name} is sanitizer-instrumented")
    for producer in set(_PRODUCER.findall(data)):
        levels = _OPT_LEVEL.findall(producer)
        if not levels or levels[-1] == b"0":
            problems.append(f"{path.name} has code compiled without optimisation "
                            f"({producer[:120].decode(errors='replace')}...)")
            break
    return problems


def core_bench_build(tool: Path) -> dict:
    completed = subprocess.run([str(tool), "--build-info"], check=True, capture_output=True, text=True)
    return json.loads(completed.stdout)


def core_bench_problems(info: dict) -> list[str]:
    problems = []
    if not info.get("optimized"):
        problems.append(f"vornlib_core_bench is not optimised (build type {info.get('build_type')})")
    if info.get("assertions"):
        problems.append(f"vornlib_core_bench has assertions enabled (build type {info.get('build_type')})")
    if info.get("sanitized"):
        problems.append("vornlib_core_bench is sanitizer-instrumented")
    return problems
