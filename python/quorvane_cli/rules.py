"""quorvane_cli.rules: a rules file read for the engines, checked by quorvane_columns itself.

Rules are a CSV file with pattern, category and merchant columns, or JSON: a request's
rule list, or an object holding it under "rules". Whatever the form, the rules are handed
to quorvane_columns as they are and judged there, so there is one reading of a rule.
"""

from __future__ import annotations

import codecs
import json
import sys
from typing import Any, List, Tuple

import quorvane_columns as qc

from quorvane_cli.csvfile import CsvFile, sniff
from quorvane_cli.failures import UserError, os_failure, rows_have, shown, warn, where
from quorvane_cli.stdlib_csv import RULE_COLUMNS, line_breaks, undecodable

#: Rules as quorvane_columns takes them: rows of three texts, or a request's JSON value.
Rules = Any


def read_all(path: str) -> bytes:
    """The whole of a (small) file, or of standard input for "-"."""
    try:
        if path == "-":
            return sys.stdin.buffer.read()
        with open(path, "rb") as f:
            return f.read()
    except OSError as exc:
        raise os_failure(path, exc) from None


def read_rules(path: str) -> Rules:
    """The rules in a file, in priority order, checked as the engines will read them."""
    data = read_all(path)
    encoding, bom = sniff(data)
    if _first_character(data, encoding, bom) in ("[", "{"):
        rules = _from_json(path, data, encoding, bom)
    else:
        rules = _from_csv(path, data)
    if not (rules.get("rules") if isinstance(rules, dict) else rules):
        warn(f"{shown(path)}: no rules: nothing will match")
    try:
        qc.categorize([], rules)  # checks every rule, categorising nothing
    except (TypeError, ValueError) as exc:
        message = str(exc)
        raise UserError(path, message[len("rules: "):] if message.startswith("rules: ")
                        else message) from None
    return rules


def _first_character(data: bytes, encoding: str, bom: int) -> str:
    """The file's first character after the byte order mark and any white space, however
    much of that there is ("" for none): "[" or "{" begins JSON."""
    decoder = codecs.getincrementaldecoder(encoding)("ignore")
    for start in range(bom, len(data), 4096):
        text = decoder.decode(data[start:start + 4096]).lstrip(" \t\r\n")
        if text:
            return text[0]
    return ""


def _from_csv(path: str, data: bytes) -> List[List[str]]:
    rows: List[List[str]] = []
    blank = 0
    with CsvFile(path, "rules", data=data) as source:
        columns = [source.column([name]) for name in ("pattern", "category", "merchant")]
        for batch in source.batches():
            for rule in zip(*(batch.columns[c] for c in columns)):
                if any(rule):
                    rows.append(list(rule))
                else:
                    blank += 1
    # A spreadsheet saved as CSV can end in rows of empty cells. As rules they would match
    # every narration no rule above them matches, with labels that look like no match.
    if blank:
        warn(f"{shown(path)}: {rows_have(blank)} no pattern, category or merchant: left out")
    return rows


def _from_json(path: str, data: bytes, encoding: str, bom: int) -> Any:
    try:
        text = codecs.decode(data[bom:], encoding)
    except UnicodeDecodeError as exc:
        valid = codecs.decode(exc.object[:exc.start], encoding)
        raise undecodable(path, encoding, bom > 0, bom + exc.start,
                          line_breaks(valid) + 1) from None
    try:
        value = json.loads(text, object_pairs_hook=_object)
    except json.JSONDecodeError as exc:
        raise UserError(where(path, exc.lineno, str(exc.colno)), f"invalid JSON: {exc.msg}") from None
    if isinstance(value, dict) and "rules" not in value:
        raise UserError(path, 'expected a list of rules, or an object with "rules"')
    _refuse_repeats(path, value)
    return value


class _Repeating(dict):  # type: ignore[type-arg]
    """A JSON object that gives some of its keys more than once (`repeated`)."""

    repeated: Tuple[str, ...] = ()


def _object(pairs: List[Tuple[str, Any]]) -> Any:
    obj = dict(pairs)
    if len(obj) == len(pairs):
        return obj
    repeating = _Repeating(pairs)
    repeating.repeated = tuple(key for i, (key, _) in enumerate(pairs)
                               if any(key == k for k, _ in pairs[:i]))
    return repeating


def _refuse_repeats(path: str, value: Any) -> None:
    """Refuses a field given twice, as the module's JSON reader does: json.loads would keep
    the last value and drop the other without a word (a rule's pattern, or a list of rules)."""
    rules = value.get("rules") if isinstance(value, dict) else value
    objects: List[Tuple[str, Any, Tuple[str, ...]]] = []
    if isinstance(value, dict):
        objects.append(("", value, ("rules",)))
    if isinstance(rules, dict):  # rules as columns
        objects.append(("rules: ", rules, RULE_COLUMNS))
    elif isinstance(rules, list):
        objects += [(f"rules[{i}]: ", rule, RULE_COLUMNS) for i, rule in enumerate(rules)]
    for place, obj, fields in objects:
        for key in getattr(obj, "repeated", ()):
            if key in fields:
                raise UserError(path, f'{place}duplicate field "{key}"')
