"""Shared fixtures: the C test library, and a check that the module under test is the
build the run asked for."""

import ctypes
import os
from pathlib import Path

import pytest

import quorvane

EXPECTED_MODULE = os.environ.get("QUORVANE_EXPECT_MODULE")
if EXPECTED_MODULE:
    # A run against a test or sanitizer build must not fall back to an installed wheel.
    assert Path(quorvane.__file__).resolve() == Path(EXPECTED_MODULE).resolve(), quorvane.__file__


def pytest_collection_modifyitems(config, items):
    if os.environ.get("QUORVANE_FAULT_INJECTION") == "1":
        return
    skip = pytest.mark.skip(reason="needs a test build of the module (make test runs one)")
    for item in items:
        if "fault_injection" in item.keywords:
            item.add_marker(skip)


@pytest.fixture(scope="session")
def native():
    """The core units (JSON, Unicode) built as a plain library with a C interface."""
    path = os.environ.get("QUORVANE_NATIVE_LIB")
    if not path:
        pytest.fail("QUORVANE_NATIVE_LIB is not set: run the suite with `make test`")
    return ctypes.CDLL(path)


COLUMNS_NATIVE = os.environ.get("QUORVANE_COLUMNS_NATIVE")
if COLUMNS_NATIVE:
    # The same for the column door's module, found through the package's override.
    from quorvane_columns import _native

    assert Path(_native.__file__).resolve().parent == Path(COLUMNS_NATIVE).resolve(), _native.__file__
