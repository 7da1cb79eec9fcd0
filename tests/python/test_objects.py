"""Requests as Python objects: what is accepted, the failure texts, and safety when the
request's own methods run Python code while it is read."""

import collections.abc
import contextlib
import gc
import json
import sys
import tracemalloc
import weakref
from collections import UserList as Items  # a Sequence that is not a list

import pytest

import quorvane


def failure(request, call=quorvane.categorize_transactions):
    with pytest.raises(ValueError) as info:
        call(request)
    (message,) = info.value.args  # one argument: str() of the error is the message
    assert str(info.value) == message and message.startswith("invalid request: ")
    return message[len("invalid request: "):]


class Record(collections.abc.Mapping):
    """A mapping that is not a dict, with its items in a fixed order."""

    def __init__(self, *items):
        self.items_ = list(items)

    def __getitem__(self, key):
        return dict(self.items_)[key]

    def __iter__(self):
        return iter(k for k, _ in self.items_)

    def __len__(self):
        return len(self.items_)


class Broken(Record):
    def keys(self):
        raise RuntimeError("no keys today")


class Unprintable(Exception):
    def __str__(self):
        raise ValueError


class Odd(Record):
    def values(self):
        raise Unprintable


def rule(pattern="p"):
    return {"pattern": pattern, "category": "c", "merchant": "m"}


REJECTED = [
    ([], "unexpected type: 'list' object cannot be converted to 'Mapping'"),
    (None, "unexpected type: 'NoneType' object cannot be converted to 'Mapping'"),
    ({}, "missing field `data`"),
    ({"rules": []}, "missing field `data`"),
    ({"data": []}, "missing field `rules`"),
    ({1: 2, "data": []}, "dict keys must have type str"),
    ({"data": [], "rules": [], None: 0}, "dict keys must have type str"),
    ({"data": {}, "rules": []}, "unexpected type: 'dict' object cannot be converted to 'Sequence'"),
    ({"data": "ab", "rules": []}, "unexpected type: 'str' object cannot be converted to 'Mapping'"),
    ({"data": None, "rules": []}, "unexpected type: 'NoneType' object cannot be converted to 'Sequence'"),
    ({"data": 3, "rules": []}, "unexpected type: 'int' object cannot be converted to 'Sequence'"),
    ({"data": [{"narration": 5}], "rules": []}, "unexpected type: 'int' object cannot be converted to 'PyString'"),
    ({"data": [{"narration": b"x"}], "rules": []}, "unexpected type: 'bytes' object cannot be converted to 'PyString'"),
    ({"data": [{"narration": None}], "rules": []}, "unexpected type: 'NoneType' object cannot be converted to 'PyString'"),
    ({"data": [[]], "rules": []}, "unexpected type: 'list' object cannot be converted to 'Mapping'"),
    ({"data": [], "rules": [{"pattern": "p", "category": "c"}]}, "missing field `merchant`"),
    ({"data": [], "rules": [dict(rule(), merchant=None)]}, "unexpected type: 'NoneType' object cannot be converted to 'PyString'"),
    ({"data": [{"narration": "\ud800"}], "rules": []},
     "UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"),
    (Record(("data", []), ("rules", []), ("data", [])), "duplicate field `data`"),
    ({"data": Items([Record(("narration", "a"), (3, "b"))]), "rules": []}, "dict keys must have type str"),
    # an exception raised by the request's own methods becomes its text
    (Broken(("data", [])), "RuntimeError: no keys today"),
    (Odd(("data", [])), "Unprintable: <exception str() failed>"),
    (type("Short", (Record,), {"__len__": lambda self: 3})(("data", []), ("rules", [])),
     "IndexError: list index out of range"),
    ({"data": type("Long", (Items,), {"__len__": lambda self: 5})([{"narration": "a"}]), "rules": []},
     "IndexError: list index out of range"),
]


ONE = {"data": [{"category": "c", "merchant": "m"}]}
ACCEPTED = [
    # unknown keys, whatever their values
    ({"data": [{"narration": "p", "id": object()}], "rules": [dict(rule(), note=lambda: 0)], "x": sys,
      "extra": "", "z": None}, ONE),
    # tuples, any Sequence, any Mapping, subclasses of dict, list and str
    ({"data": ({"narration": "p"},), "rules": (rule(),)}, ONE),
    (Record(("rules", Items([rule()])), ("data", Items([Record(("narration", "p"))]))), ONE),
    (type("D", (dict,), {})(data=[{"narration": type("S", (str,), {})("p")}], rules=[rule()]), ONE),
    ({"data": type("L", (list,), {})([{"narration": "p"}]), "rules": [rule()]}, ONE),
    # a str is a sequence: an empty one is an empty list
    ({"data": "", "rules": ""}, {"data": []}),
]


@pytest.mark.parametrize("request_, outcome", REJECTED + ACCEPTED)
def test_rejected_with_its_text_or_accepted(request_, outcome):
    """A failure text for the rejected, the result for the accepted."""
    if isinstance(outcome, str):
        assert failure(request_) == outcome
    else:
        assert quorvane.categorize_transactions(request_) == outcome


def test_failing_isinstance_is_unraisable_and_means_not_a_mapping(monkeypatch):
    class Hostile:
        @property
        def __class__(self):
            raise RuntimeError("who am I")

    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    message = failure(Hostile())  # kept out of the assert, whose report would touch __class__
    assert message == f"unexpected type: '{Hostile.__qualname__}' object cannot be converted to 'Mapping'"
    assert [type(r.exc_value) for r in reports] == [RuntimeError]


def test_request_changed_while_it_is_read():
    # Reading the first transaction runs Python code that empties the request's lists
    # and drops their items: reading goes on from its own references, and the vanished
    # second transaction is reported as the interpreter reports it.
    request = {"rules": [rule("a")]}
    data = []

    class Saboteur(Record):
        def keys(self):
            data.clear()
            request.clear()
            gc.collect()
            return super().keys()

    data.extend([Saboteur(("narration", "a")), {"narration": "b"}])
    request["data"] = data
    assert failure(request) == "IndexError: list index out of range"


def fresh(text):
    # A str made at run time, held by nothing but the dict it goes into.
    return "".join([text, " ", str(id(text))])


def categories(data):
    rules = [{"pattern": p, "category": p, "merchant": "m"} for p in ("stale", "fresh")]
    result = quorvane.categorize_transactions({"data": data, "rules": rules})["data"]
    return [r["category"] if r else None for r in result]


@pytest.mark.parametrize("as_tuple, replaced",
                         [(False, None), (True, None), *((False, n) for n in range(2, 7))])
def test_later_elements_are_read_as_they_stand_at_their_turn(as_tuple, replaced):
    # Dicts are read a few elements ahead. A mapping's keys() rewrites the narrations of the
    # later dicts, or (issue 7) replaces a later element whose last reference was the
    # decoder's, and releasing it runs a finaliser that does the rewriting, freeing texts
    # of dicts already read ahead. Each element must be read as it stands at its turn.
    data = [{"narration": fresh("stale")} for _ in range(9)]

    def rewrite():
        for item in data[2:]:
            item["narration"] = fresh("fresh")

    class Editor(Record):
        def keys(self):
            if replaced is None:
                rewrite()
            else:
                data[replaced] = {"narration": fresh("fresh")}
            return super().keys()

    if replaced is not None:  # rewrite() runs when the last reference to the bomb goes
        data[replaced]["bomb"] = type("Bomb", (), {})()
        weakref.finalize(data[replaced]["bomb"], rewrite)
    data[1] = Editor(("narration", "none"))
    gc.collect()
    assert categories(tuple(data) if as_tuple else data) == ["stale", None] + ["fresh"] * 7


def test_issue7_remembered_texts_never_run_code_when_dropped():
    # Short texts decoded earlier are remembered by identity. A str subclass with a
    # finaliser, once only the decoder remembers it, would run that finaliser whenever the
    # decoder forgot it: later, while dicts are read ahead. Here the finaliser rewrites every
    # later narration; it must have run by the time those are read.
    class Label(str):
        armed = False

        def __del__(self):
            if self.armed:
                for item in data[6001:]:
                    item["narration"] = fresh("fresh")

    class Dropper(Record):
        def keys(self):
            for item in data[:6000]:
                item["narration"] = "dropped"
            return super().keys()

    data = [{"narration": Label(fresh("stale"))} for _ in range(6000)]
    data[5999]["narration"].armed = True  # the last one read, so surely remembered
    data += [Dropper(("narration", "none"))] + [{"narration": fresh("stale")} for _ in range(3000)]
    assert categories(data)[6001:] == ["fresh"] * 3000


def test_no_leak_on_success_or_failure():
    # Every request of the tables above, and the other doors' successes and failures.
    cat, cat_json = quorvane.categorize_transactions, quorvane.categorize_transactions_json
    good = {"data": [{"narration": "upi zomato"}] * 20, "rules": [rule("zomato"), rule("x")]}
    derive = {"data": [{"narration": "upi zomato 12", "category": "F", "merchant": "Z"}] * 5}
    calls = [lambda r=r: cat(r) for r, _ in REJECTED + ACCEPTED] + [
        lambda: cat(good), cat, lambda: cat({}, request={}),
        *(lambda t=t: cat_json(t) for t in (json.dumps(good), '{"data": [1]}', b"{}", "\ud800")),
        lambda: quorvane.derive_rules(derive),
        lambda: quorvane.derive_rules_json(json.dumps(derive)),
        lambda: quorvane.derive_rules({"data": [{"narration": "x", "category": "F"}]}),
    ]

    def run(times):
        for call in calls * times:
            with contextlib.suppress(ValueError, TypeError, UnicodeEncodeError):
                call()

    run(50)  # warm up caches and interned names
    gc.collect()
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    run(2000)
    gc.collect()
    grown = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    assert grown < 64 * 1024, f"{grown} bytes still held after {2000 * len(calls)} calls"
