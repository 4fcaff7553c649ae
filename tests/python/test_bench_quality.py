"""The selection-quality benchmark in its smoke mode: it runs, and its scores mean what they say."""

import json
import pathlib
import subprocess
import sys

import pytest

BENCH = pathlib.Path(__file__).resolve().parents[2] / "bench" / "bench_quality.py"


@pytest.fixture(scope="module")
def smoke(tmp_path_factory):
    pytest.importorskip("quarnel_solver")
    out = tmp_path_factory.mktemp("bench") / "rows.json"
    proc = subprocess.run([sys.executable, str(BENCH), "--smoke", "--json", str(out)],
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout, json.loads(out.read_text())


def test_smoke_run_reports_every_selector_and_budget(smoke):
    stdout, data = smoke
    assert "CONSTRUCTED" in stdout and "| budget | selector |" in stdout
    rows = data["rows"]
    kinds = {r["kind"] for r in rows}
    assert kinds == {"topics", "held-out"}
    expected = {"top-k", "MMR 0.3", "MMR 0.5", "MMR 0.7", "DPP", "BM25 top-k", "hybrid RRF",
                "selector: texts + query text", "selector: + token vectors", "selector: vectors only"}
    for budget in (500, 1000, 2000):
        names = {r["selector"] for r in rows if r["budget"] == budget}
        assert expected <= names
    for r in rows:
        assert 0.0 <= r["passage_recall"] <= 1.0 and 0.0 <= r["topic_recall"] <= 1.0
        assert r["tokens"] <= r["budget"], r
        if r["selector"].startswith("selector"):
            assert r["duplicates"] == 0, r
    assert "Paired differences" in stdout


def test_recall_is_measured_against_what_fits_the_budget():
    sys.path.insert(0, str(BENCH.parent))
    import bench_quality as bq

    assert bq.most_that_fit([300, 100, 250, 600], budget=500, max_chunks=50) == 2
    assert bq.most_that_fit([300, 100, 250], budget=5000, max_chunks=2) == 2
    assert bq.most_that_fit([900], budget=500, max_chunks=50) == 0
