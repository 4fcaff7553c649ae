"""End-to-end runs of examples/select_context.py, the project's demo job."""

import collections
import json
import pathlib
import subprocess
import sys

import pytest

pytest.importorskip("quarnel_solver")

SCRIPT = pathlib.Path(__file__).resolve().parents[2] / "examples" / "select_context.py"


def run_example(*flags):
    # The child inherits the environment, so it imports the same module build.
    return subprocess.run(
        [sys.executable, str(SCRIPT), *flags], capture_output=True, text=True, timeout=120
    )


def select(*flags):
    proc = run_example("--json", *flags)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


def assert_valid_selection(report, budget, max_chunks):
    selected = report["selected"]
    assert selected, "the selection is empty"
    ids = [item["chunk_id"] for item in selected]
    assert len(set(ids)) == len(ids), f"duplicate chunk ids: {ids}"

    # Recount from the chosen chunks instead of trusting the solver's totals.
    tokens = sum(item["tokens"] for item in selected)
    assert tokens == report["total_tokens"]
    assert tokens <= budget
    assert len(selected) <= max_chunks

    limits = report["constraints"]
    assert limits["max_tokens"] == budget and limits["max_chunks"] == max_chunks
    per_topic = collections.Counter(item["cluster"] for item in selected)
    assert max(per_topic.values()) <= limits["max_per_cluster"]
    roles = {item["role"] for item in selected}
    assert set(limits["must_include_roles"]) <= roles

    assert report["constraints_satisfied"] is True
    assert report["constraint_violations"] == []
    assert report["corpus"]["candidates"] <= report["corpus"]["matching"] <= report["corpus"]["passages"]


def test_default_query_selects_within_limits():
    report = select("--budget", "1500", "--max-chunks", "6", "--candidates", "120")
    assert_valid_selection(report, budget=1500, max_chunks=6)
    assert report["corpus"]["candidates"] <= 120
    # The answer to the default question lives on the "try" statement's page.
    assert any(item["topic"] == "try" for item in report["selected"])
    parts = report["objective"]
    assert parts["objective_score"] > 0 and parts["relevance_total"] > 0


def test_custom_query_changes_the_selection():
    query = "what does the with statement do with context managers"
    report = select("--query", query)
    assert report["query"] == query
    assert_valid_selection(report, budget=2048, max_chunks=8)
    topics = {item["topic"] for item in report["selected"]}
    assert topics & {"with", "context-managers"}, topics


def test_unusable_input_fails_with_a_message():
    # A query of words the documentation never uses has nothing to rank by.
    proc = run_example("--query", "zzyzx qwxv")
    assert proc.returncode != 0 and "occurs in the documentation" in proc.stderr
    # A budget outside the token counter's range is refused before any work.
    proc = run_example("--budget", "0")
    assert proc.returncode == 2 and "--budget" in proc.stderr
