"""The error raised when an adapter's framework is not installed."""

from __future__ import annotations


def missing_extra(adapter: str, package: str, extra: str) -> ImportError:
    return ImportError(
        f"quarnel.{adapter} needs {package}, which is not installed; "
        f"install it with: pip install 'quarnel_solver[{extra}]'"
    )
