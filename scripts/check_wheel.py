"""Fails unless a wheel is what we ship: auditwheel found no shared library
outside the manylinux policy, the repaired wheel grafted none, and the stubs
are a PEP 561 stub-only package with no top-level py.typed.

Usage: check_wheel.py AUDIT_JSON REPAIRED_WHEEL
(AUDIT_JSON: `auditwheel show --json` of the wheel before repair.)
"""

import json
import sys
import zipfile


def problems(audit: dict, names: list[str]) -> list[str]:
    found = []
    if audit["external_libs"]:
        found.append(f"links libraries outside the policy: {sorted(audit['external_libs'])}")
    if not audit["overall_tag"].startswith("manylinux_"):
        found.append(f"no manylinux tag: {audit['overall_tag']}")
    found += [f"grafted library: {n}" for n in names if ".libs/" in n]
    found += [f"stray top-level file: {n}" for n in names if "/" not in n and not n.endswith(".so")]
    if "quarnel_solver-stubs/__init__.pyi" not in names:
        found.append("quarnel_solver-stubs/__init__.pyi is missing")
    if "quarnel/py.typed" not in names:
        found.append("quarnel/py.typed is missing")
    return found


def main() -> int:
    audit_path, wheel_path = sys.argv[1:]
    with open(audit_path) as f:
        audit = json.load(f)
    with zipfile.ZipFile(wheel_path) as wheel:
        names = wheel.namelist()
    found = problems(audit, names)
    for problem in found:
        print(f"check_wheel: {wheel_path}: {problem}", file=sys.stderr)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
