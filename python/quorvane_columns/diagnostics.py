"""Rule-set diagnostics over columns: why a row got its rule, which rules never win, how a
rule set does on labelled history, and which unmatched narrations share a word.

Matching and lower-casing are exactly those of `categorize`; the inputs are those of
`categorize` (narrations, rules) and `derive` (labelled examples), and results come back
in the caller's kind.
"""

from __future__ import annotations

from typing import Any, NamedTuple, Optional

from . import _call, _example_names, _examples, _native, _rules  # the package is initialised up to its last line here
from ._kinds import convert as _convert
from ._kinds import kind_of as _kind
from ._kinds import refuse_misaligned as _refuse_misaligned
from ._kinds import refuse_unreadable as _refuse_unreadable
from ._kinds import without_index as _without_index

__all__ = ["explain", "lint", "evaluate", "Evaluation", "unmatched"]


def explain(narrations: Any, rules: Any, *, column: Optional[str] = None,
            threads: Optional[int] = None) -> Any:
    """Why each narration gets its rule, row for row with the narrations.

    A table of `rule` (the winning rule, as `categorize` gives it), `start` and `end`
    (where the winning pattern first occurs: indexes into the narration as a Python
    `str`, a binary one's UTF-8 text, `end` exclusive, covering every character whose
    lower-case form holds part of the match; 0 and 0 for an empty pattern) and `matched`
    (how many rules occur in the narration, rules with equal patterns each counted), all
    int32 and all null where no rule matched or the narration is null. Arguments as
    `categorize` takes them; a pandas result carries the narrations' index.
    """
    _refuse_unreadable(narrations=narrations, rules=rules)
    table = _call(_native.explain, _without_index(narrations, column), _rules(rules),
                  column=column, threads=threads, names=("narrations", "rules"))
    return _convert(table, _kind(narrations), same_rows=True)


def lint(rules: Any, *, threads: Optional[int] = None) -> Any:
    """The rules that can never win: one row per finding, ordered by `rule`.

    Columns `rule` and `by` (int32: the rule, and the earlier rule that takes every
    narration it would match), `kind` and `message` (one sentence). Patterns compare
    lower-cased. When earlier rules have the same pattern, `by` is the first of them and
    the kind is "duplicate" (same category and merchant) or "conflict" (it would have
    answered differently); otherwise, when earlier patterns occur inside this one (an
    empty pattern occurs in all), the kind is "unreachable" and `by` the first of them.
    """
    _refuse_unreadable(rules=rules)
    return _convert(_call(_native.lint, _rules(rules), threads=threads, names=("rules",)), _kind(rules))


class Evaluation(NamedTuple):
    """The figures of `evaluate`, three tables in the caller's kind, each numbered from 0."""

    #: A row per rule: `rule`, `pattern`, `category`, `merchant`, `hits` (rows it won),
    #: `correct` (of those, rows whose category and merchant both equal the labels) and
    #: `precision` (correct / hits).
    per_rule: Any
    #: A row per category labelled or predicted, in byte order: `category`, `support`
    #: (rows labelled with it), `predicted` (rows given it), `correct`, `precision`
    #: (correct / predicted), `recall` (correct / support) and `f1`
    #: (2 correct / (support + predicted)).
    per_category: Any
    #: One row: `rows`, `matched`, `correct`, `coverage` (matched / rows), `accuracy`
    #: (correct / rows), `precision` (correct / matched) and `macro_f1` (the mean of the
    #: categories' f1).
    summary: Any


def evaluate(narrations: Any, categories: Any = None, merchants: Any = None,
             rules: Any = None, *, threads: Optional[int] = None) -> Evaluation:
    """Applies the rules to labelled history and scores them.

    The history is what `derive` takes: three columns of one row per example, or with
    `categories` and `merchants` left out, one table with `narration`, `category` and
    `merchant` columns (then pass `rules=`), read as `derive` reads them: a null label
    reads as empty, a row with neither label is left out, and a null narration is a
    ValueError naming its row. A row counts as correct only when both its category and its
    merchant are the winning rule's. Every ratio is null where its denominator is 0.
    """
    if rules is None:
        # evaluate(history, rules) puts the rules where the categories go
        hint = (" (with the history as one table, pass them as rules=)"
                if categories is not None and merchants is None else "")
        raise TypeError(f"evaluate() missing required argument: 'rules'{hint}")
    _refuse_unreadable(narrations=narrations, categories=categories, merchants=merchants, rules=rules)
    _refuse_misaligned(narrations=narrations, categories=categories, merchants=merchants)
    tables = _call(_native.evaluate, *_examples(narrations, categories, merchants),
                   _rules(rules), threads=threads,
                   names=(*_example_names(categories, merchants), "rules"))
    kind = _kind(narrations)
    return Evaluation(*(_convert(table, kind) for table in tables))


def unmatched(narrations: Any, rules: Any, top: int = 50, *, column: Optional[str] = None,
              threads: Optional[int] = None) -> Any:
    """Narrations that no rule matches, grouped by a word, to show where a rule is missing.

    Each unmatched narration goes to the word (a run of at least 3 bytes of letters or
    digits, lower-cased, as `derive` reads words) held by the most unmatched narrations,
    ties to the smaller word in byte order. Returns up to `top` groups, by count
    descending then word: `word`, `count` and `examples` (the first 3 of the group's
    narrations in input order). Narrations without any word form one group whose `word`
    is null; null narrations are left out. Numbered from 0 in pandas.
    """
    _refuse_unreadable(narrations=narrations, rules=rules)
    table = _call(_native.unmatched, _without_index(narrations, column), _rules(rules), top,
                  column=column, threads=threads, names=("narrations", "rules"))
    return _convert(table, _kind(narrations))
