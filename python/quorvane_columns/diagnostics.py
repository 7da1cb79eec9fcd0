"""Rule-set diagnostics over columns: why a row got its rule, which rules never win, how a
rule set does on labelled history, and which unmatched narrations share a word.

Matching and lower-casing are exactly those of `categorize`. Rules take every form that
`categorize` takes; results come back in the caller's kind.
"""

from __future__ import annotations

import operator
from typing import Any, NamedTuple

from . import _native
from . import _call, _convert, _kind, _rule_columns

__all__ = ["explain", "lint", "evaluate", "Evaluation", "unmatched"]


def explain(narrations: Any, rules: Any) -> Any:
    """Why each narration gets its rule, in the narrations' order.

    A table of `rule` (the winning rule, as `categorize` gives it), `start` and `end`
    (where the winning pattern first occurs: indexes into the narration as a Python
    `str`, `end` exclusive, covering every character whose lower-case form holds part of
    the match; 0 and 0 for an empty pattern) and `matched` (how many rules occur in the
    narration, rules with equal patterns each counted), all int32 and all null where no
    rule matched or the narration is null.
    """
    pattern, category, merchant = _rule_columns(rules)
    return _convert(_call(_native.explain, narrations, pattern, category, merchant),
                    _kind(narrations))


def lint(rules: Any) -> Any:
    """The rules that can never win: one row per finding, ordered by `rule`.

    Columns `rule` and `by` (int32: the rule, and the earlier rule that takes every
    narration it would match), `kind` and `message` (one sentence). Patterns compare
    lower-cased. When earlier rules have the same pattern, `by` is the first of them and
    the kind is "duplicate" (same category and merchant) or "conflict" (it would have
    answered differently); otherwise, when earlier patterns occur inside this one (an
    empty pattern occurs in all), the kind is "unreachable" and `by` the first of them.
    """
    pattern, category, merchant = _rule_columns(rules)
    return _convert(_call(_native.lint, pattern, category, merchant), _kind(rules))


class Evaluation(NamedTuple):
    """The figures of `evaluate`, three tables in the caller's kind."""

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


def evaluate(narrations: Any, categories: Any, merchants: Any, rules: Any) -> Evaluation:
    """Applies the rules to labelled history and scores them.

    `categories` and `merchants` label each narration (as long as the narrations, no
    nulls); a row counts as correct only when both match the winning rule's. A null
    narration matches no rule. Every ratio is null where its denominator is 0.
    """
    pattern, category, merchant = _rule_columns(rules)
    tables = _call(_native.evaluate, narrations, categories, merchants, pattern, category,
                   merchant)
    kind = _kind(narrations)
    return Evaluation(*(_convert(table, kind) for table in tables))


def unmatched(narrations: Any, rules: Any, top: int = 50) -> Any:
    """Narrations that no rule matches, grouped by a word, to show where a rule is missing.

    Each unmatched narration goes to the word (a run of at least 3 bytes of letters or
    digits, lower-cased, as `derive` reads words) held by the most unmatched narrations,
    ties to the smaller word in byte order. Returns up to `top` groups, by count
    descending then word: `word`, `count` and `examples` (the first 3 of the group's
    narrations in input order). Narrations without any word form one group whose `word`
    is null; null narrations are left out.
    """
    count = operator.index(top)
    if count < 0:
        raise ValueError(f"top: expected a count of at least 0, got {count}")
    pattern, category, merchant = _rule_columns(rules)
    return _convert(_call(_native.unmatched, narrations, pattern, category, merchant, count),
                    _kind(narrations))
