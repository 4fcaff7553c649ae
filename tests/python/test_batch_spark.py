"""The README's Spark recipe (mapInPandas with a BatchSelector) on a local
Spark: the same answers as the plain loop. Needs pyspark and a JVM, which CI
does not install (pyspark is a wheel of several hundred megabytes)."""

import os
import shutil
import sys

import numpy as np
import pytest

pytest.importorskip("pyspark", reason="pyspark is not installed (CI leaves it out: a very large wheel)")
if not (shutil.which("java") or os.environ.get("JAVA_HOME")):
    pytest.skip("no JVM for Spark (no java on PATH, no JAVA_HOME)", allow_module_level=True)

from batch_cases import SELECTOR_ARGUMENTS, batch_answers, loop_selections, selection_columns  # noqa: E402
from pyspark.sql import SparkSession  # noqa: E402

from quarnel.batch import BatchSelector  # noqa: E402


def test_map_in_pandas_recipe_equals_the_plain_loop(monkeypatch):
    monkeypatch.setenv("PYSPARK_PYTHON", sys.executable)  # workers need this environment's quarnel
    columns = selection_columns(queries=24)
    spark = (SparkSession.builder.master("local[2]").config("spark.ui.enabled", "false")
             .config("spark.sql.execution.arrow.pyspark.enabled", "true").getOrCreate())
    try:
        rows = [(int(q), columns["query_embedding"][i].tolist(), columns["embeddings"][i].tolist(),
                 columns["ids"][i], columns["token_counts"][i]) for i, q in enumerate(columns["query_id"])]
        queries = spark.createDataFrame(rows, "query_id long, query_embedding array<float>, "
                                              "embeddings array<array<float>>, ids array<string>, "
                                              "token_counts array<long>").repartition(3)
        selector = BatchSelector(**SELECTOR_ARGUMENTS, threads=1)

        def select(frames):
            for frame in frames:
                yield selector(frame)

        schema = ("query_id long, ids array<string>, indices array<long>, total_tokens long, "
                  "satisfied boolean, violations array<string>")
        result = queries.mapInPandas(select, schema).toPandas()
    finally:
        spark.stop()
    got = batch_answers(*(result[name] for name in ["query_id", "ids", "indices", "total_tokens", "satisfied",
                                                    "violations"]))
    assert got == loop_selections(columns) and len(result) == 24 and np.all(result["query_id"].value_counts() == 1)
