"""The module's surface: attributes, argument binding, the exception mapping, and
initialisation once per process."""

import json
import subprocess
import sys

import pytest

import quorvane

FUNCTIONS = [
    ("compute_emi", "request"),
    ("compute_emi_json", "request_json"),
    ("categorize_transactions", "request"),
    ("categorize_transactions_json", "request_json"),
    ("derive_rules", "request"),
    ("derive_rules_json", "request_json"),
]
EMPTY = {"data": [], "rules": []}


def test_attributes():
    assert quorvane.__version__ == "0.1.1"
    assert quorvane.__doc__ == ""
    assert quorvane.__all__ == ["__version__"] + [name for name, _ in FUNCTIONS]


@pytest.mark.parametrize("name, param", FUNCTIONS)
def test_functions_are_bound_builtins(name, param):
    function = getattr(quorvane, name)
    assert function.__self__ is quorvane
    assert function.__module__ == "quorvane"
    assert function.__text_signature__ == f"({param})"
    assert function.__doc__ in ("", None)


# Argument binding: the same texts for every function, with its own names.
BINDING = [
    ((), {}, "{f}() missing 1 required positional argument: '{p}'"),
    (("{}", "{}"), {}, "{f}() takes 1 positional arguments but 2 were given"),
    ((1, 2, 3), {}, "{f}() takes 1 positional arguments but 3 were given"),
    (("{}",), {"{p}": "{}"}, "{f}() got multiple values for argument '{p}'"),
    ((), {"req": 1}, "{f}() got an unexpected keyword argument 'req'"),
    ((), {"req": 1, "{p}": 1}, "{f}() got an unexpected keyword argument 'req'"),
    (("{}",), {"other": 1}, "{f}() got an unexpected keyword argument 'other'"),
]


@pytest.mark.parametrize("name, param", FUNCTIONS)
@pytest.mark.parametrize("args, kwargs, message", BINDING)
def test_argument_binding(name, param, args, kwargs, message):
    kwargs = {key.format(p=param): value for key, value in kwargs.items()}
    with pytest.raises(TypeError) as info:
        getattr(quorvane, name)(*args, **kwargs)
    assert info.value.args == (message.format(f=name, p=param),)


@pytest.mark.parametrize("call", [
    lambda text: quorvane.categorize_transactions_json(text),
    lambda text: quorvane.categorize_transactions_json(request_json=text),
    lambda text: quorvane.categorize_transactions_json(type("Text", (str,), {})(text)),
    lambda text: json.dumps(quorvane.categorize_transactions(request=EMPTY), separators=",:"),
])
def test_parameter_by_position_or_keyword(call):
    assert call(json.dumps(EMPTY)) == '{"data":[]}'


@pytest.mark.parametrize("name", [name for name, _ in FUNCTIONS if name.endswith("_json")])
@pytest.mark.parametrize(
    "value, type_name",
    [(b"{}", "bytes"), (None, "NoneType"), ({}, "dict"), (bytearray(), "bytearray"), (3, "int")],
)
def test_json_forms_take_only_str(name, value, type_name):
    with pytest.raises(TypeError) as info:
        getattr(quorvane, name)(value)
    assert info.value.args == (
        f"argument 'request_json': '{type_name}' object cannot be converted to 'PyString'",
    )
    assert info.value.__cause__ is None


def test_lone_surrogate_raises_the_interpreters_encode_error():
    with pytest.raises(UnicodeEncodeError):
        quorvane.categorize_transactions_json('{"data": [], "rules": [], "x": "\ud800"}')


def test_second_initialisation_raises_import_error():
    script = """
import sys, quorvane
del sys.modules["quorvane"]
try:
    import quorvane
except ImportError as error:
    print("ImportError", error)
"""
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert out.stdout.startswith("ImportError")
    assert "once" in out.stdout


@pytest.mark.fault_injection
def test_internal_fault_and_out_of_memory(capfd):
    with pytest.raises(BaseException) as info:
        quorvane.categorize_transactions_json('"quorvane: internal fault"')
    panic = info.value
    assert type(panic).__name__ == "PanicException"
    assert type(panic).__bases__ == (BaseException,)
    assert panic.args == ("injected internal fault",)
    assert "BaseException" in type(panic).__doc__
    assert "injected internal fault" in capfd.readouterr().err
    with pytest.raises(MemoryError):
        quorvane.categorize_transactions_json('"quorvane: out of memory"')
    # The module is unaffected: the next call runs normally, and the class is the same.
    assert quorvane.categorize_transactions_json(json.dumps(EMPTY)) == '{"data":[]}'
    with pytest.raises(BaseException) as again:
        quorvane.categorize_transactions_json('"quorvane: internal fault"')
    assert type(again.value) is type(panic)
