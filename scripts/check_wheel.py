"""Fails unless a wheel is what we ship: auditwheel found no shared library
outside the manylinux policy, the repaired wheel grafted none, and the stubs
are a PEP 561 stub-only package with no top-level py.typed.

With --tag, the wheel must also be consistent with that manylinux tag, and the
repaired wheel must carry it.

Usage: check_wheel.py [--tag TAG] AUDIT_JSON REPAIRED_WHEEL
(AUDIT_JSON: `auditwheel show --json` of the wheel before repair.)
"""

from __future__ import annotations

import argparse
import json
import pathlib
import sys
import zipfile


def problems(audit: dict, names: list[str], wheel_name: str = "", tag: str | None = None) -> list[str]:
    found = []
    if audit["external_libs"]:
        found.append(f"links libraries outside the policy: {sorted(audit['external_libs'])}")
    if not audit["overall_tag"].startswith("manylinux_"):
        found.append(f"no manylinux tag: {audit['overall_tag']}")
    if tag is not None:
        if audit["overall_tag"] != tag:
            found.append(f"consistent with {audit['overall_tag']}, not {tag}")
        platforms = wheel_name.removesuffix(".whl").split("-")[-1].split(".")
        if tag not in platforms:
            found.append(f"the repaired wheel is tagged {'.'.join(platforms)}, not {tag}")
    found += [f"grafted library: {n}" for n in names if ".libs/" in n]
    found += [f"stray top-level file: {n}" for n in names if "/" not in n and not n.endswith(".so")]
    if "quarnel_solver-stubs/__init__.pyi" not in names:
        found.append("quarnel_solver-stubs/__init__.pyi is missing")
    if "quarnel/py.typed" not in names:
        found.append("quarnel/py.typed is missing")
    return found


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--tag")
    parser.add_argument("audit_path")
    parser.add_argument("wheel_path")
    args = parser.parse_args()
    wheel_path = args.wheel_path
    with open(args.audit_path) as f:
        audit = json.load(f)
    with zipfile.ZipFile(wheel_path) as wheel:
        names = wheel.namelist()
    found = problems(audit, names, pathlib.Path(wheel_path).name, args.tag)
    for problem in found:
        print(f"check_wheel: {wheel_path}: {problem}", file=sys.stderr)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
