"""quorvane_columns.dask: over any partitioning, the same results as the single-process
calls and the existing module; on a real cluster, the work runs in the workers."""

import os
import re

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import quorvane_columns as qc

try:
    import dask
    import dask.dataframe as dd
    import pandas as pd
    import pyarrow as pa

    import quorvane_columns.dask as qd
except ImportError:
    dask = None

from columns_support import RULES, module_rules, narration, rules_as, table_data  # noqa: E402

needs_dask = pytest.mark.skipif(dask is None, reason='needs pip install "quorvane[dask]"')

# A null label reads as empty, an example with neither label is left out.
labelled = st.tuples(narration, st.sampled_from(["Food", "Fuel", "Ä", None]),
                     st.sampled_from(["M1", "M2", None]))


def frame(examples, categorical=False):
    """The examples, their narration called `text`, indexed by labels (not a range)."""
    index = [f"row {i}" for i in range(len(examples))]
    texts = {name: pd.Series([e[k] for e in examples], dtype="string", index=index)
             for k, name in enumerate(("text", "category", "merchant"))}
    if categorical:  # Dask keeps a categorical's categories in every partition
        texts["category"] = texts["category"].astype("category")
    return pd.DataFrame(dict(texts, amount=pd.Series(range(len(examples)), index=index)))


def check(ddf, df, split_every=8, rules=RULES, given=None, merchant="merchant"):
    """Both calls on `ddf` against the single-process ones on `df`, its rows together;
    `given`: `rules` in the form categorize receives, `merchant`: the column of merchants."""
    out = qd.categorize(ddf, rules if given is None else given, column="text")
    computed = out.compute()
    assert list(computed.columns) == ["text", "amount", "rule", "category", "merchant"]
    # Every dtype is the one the frame announced, categories in order and their type too:
    # Dask puts an empty partition's meta among the others and reads codes as the
    # frame's categories.
    def dtypes(frame):
        return [(str(t), repr(getattr(t, "categories", None))) for t in frame.dtypes]
    assert dtypes(computed) == dtypes(out)
    assert str(computed["rule"].dtype) == "Int32"
    want = qc.categorize(df["text"], rules)
    assert list(out["merchant"].cat.codes.compute()) == list(want["merchant"].cat.codes)
    got = table_data(computed)
    assert {name: got[name] for name in ("rule", "category", "merchant")} == table_data(want)
    assert got["amount"] == list(df["amount"])  # the frame's own columns, rows in order

    rules = qd.derive(ddf, narration="text", merchant=merchant, split_every=split_every,
                      threads=1)
    examples = table_data(df)
    assert list(zip(rules["pattern"], rules["category"], rules["merchant"])) == module_rules(
        zip(examples["text"], examples["category"], examples[merchant]))


@needs_dask
@settings(max_examples=25, deadline=None)
@given(examples=st.lists(labelled, max_size=40), npartitions=st.integers(1, 7),
       split_every=st.integers(2, 4), categorical=st.booleans(), no_rules=st.booleans(),
       merchant=st.sampled_from(["merchant", "category"]))  # one column for both labels
@example(examples=[(f"zesto {i}", "Food", "M1") for i in range(6)] + [("kart 1", None, None)]
         + [(f"kart {i}", "Shop", None) for i in range(2)], npartitions=3, split_every=2,
         categorical=False, no_rules=False, merchant="merchant")
def test_any_partitioning_gives_the_single_process_results(examples, npartitions, split_every,
                                                           categorical, no_rules, merchant):
    df = frame(examples, categorical)
    with dask.config.set(scheduler="synchronous"):
        check(dd.from_pandas(df, npartitions=npartitions, sort=False), df, split_every,
              rules=[] if no_rules else RULES, merchant=merchant)


@needs_dask
@pytest.mark.parametrize("form", ["stream", "duckdb", "pandas category", "polars categorical",
                                  "dask", "columns", "dicts", "request"])
@pytest.mark.parametrize("series", [False, True])
def test_rules_in_any_form_reach_every_partition(form, series):
    df = frame([(f"{word} {i}", "", "") for i in range(12) for word in ("zesto", "ΣΟΦΊΑ", "x")])
    df = df[["text", "amount"]]
    ddf = dd.from_pandas(df, npartitions=4, sort=False)
    with dask.config.set(scheduler="threads"):
        if series:  # the three columns alone, aligned with the frame's rows
            out = qd.categorize(ddf["text"], rules_as(form))
            computed = ddf.assign(**{name: out[name] for name in out.columns}).compute()
        else:
            computed = qd.categorize(ddf, rules_as(form), column="text").compute()
    assert list(computed.index) == list(df.index)
    assert list(computed.columns) == ["text", "amount", "rule", "category", "merchant"]
    want = table_data(qc.categorize(df["text"], RULES))
    assert {name: table_data(computed)[name] for name in want} == want


def as_binary(series):
    return series.map(str.encode).astype(pd.ArrowDtype(pa.binary()))


def derive(ddf):
    return qd.derive(ddf, narration="text")


def categorize(ddf):
    return qd.categorize(ddf, RULES, column="text").compute()


@needs_dask
@pytest.mark.parametrize("call, change, error, message", [
    (derive, {"text": lambda s: s.mask(s.index == "row 4")}, ValueError,
     "text: null in row 1 of partition 1"),
    # Engine failures name the frame's column, not the engine's argument; every partition
    # fails alike here, and the scheduler says which comes first.
    (derive, {"merchant": lambda s: pd.Series(range(len(s)), index=s.index)}, TypeError,
     r"merchant: expected a column of strings, got int64 \(partition \d\)"),
    # Binary texts (Parquet without the string annotation) must hold UTF-8 text.
    (derive, {"category": lambda s: as_binary(s).mask(s.index == "row 4", b"caf\xe9")},
     ValueError, "category: row 1 of partition 1 is not valid UTF-8 text"),
    (categorize, {"text": lambda s: as_binary(s).mask(s.index == "row 7", b"caf\xe9")},
     ValueError, "text: row 1 of partition 2 is not valid UTF-8 text"),
])
def test_a_bad_cell_names_its_column_and_partition(call, change, error, message):
    df = frame([(f"zesto {i}", "Food", "M1") for i in range(9)]).transform(
        {name: change.get(name, lambda s: s) for name in ("text", "category", "merchant")})
    with pytest.raises(error) as raised:
        call(dd.from_pandas(df, npartitions=3, sort=False))
    assert re.fullmatch(message, str(raised.value))


@needs_dask
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="a LocalCluster whose worker processes start under the ASan preload "
                           "never comes up (tried: still waiting after five minutes)")
def test_a_local_cluster_runs_the_work_in_both_workers():
    distributed = pytest.importorskip("distributed")
    examples = [(f"upi zesto {i}" if i % 3 else f"kart {i} σοφία", "Food" if i % 3 else "Shop",
                 f"M{i % 2}") for i in range(400)]
    df = frame(examples)
    ddf = dd.from_pandas(df, npartitions=8, sort=False)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster, \
            distributed.Client(cluster) as client:
        client.wait_for_workers(2)
        pids = client.run(os.getpid)  # worker address -> its process id
        with distributed.get_task_stream(client) as stream:
            # Rules that neither pickle nor can be read twice: read once, shipped as a table.
            check(ddf, df, split_every=3, given=rules_as("stream"))
    ran_in = {pids[task["worker"]] for task in stream.data
              if str(task["key"]).startswith(("('quorvane-categorize-", "_count-"))}
    assert len(set(pids.values())) == 2 and os.getpid() not in pids.values()
    assert ran_in == set(pids.values())
