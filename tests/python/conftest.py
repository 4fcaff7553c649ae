import pathlib

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
# Reference cases live beside the repository (the CI clone has shared/ next to it).
GOLDEN_DIRS = [REPO.parent / "shared" / "golden", REPO / "shared" / "golden"]


def golden_file(name):
    for directory in GOLDEN_DIRS:
        path = directory / name
        if path.exists():
            return path
    pytest.skip(f"reference cases not found: {name}", allow_module_level=True)
