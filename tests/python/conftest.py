"""Shared fixtures: the C test library, a local Spark session and a Spark Connect session
on it, and a check that the module under test is the build the run asked for."""

import ctypes
import importlib.util
import os
import shlex
import shutil
import socket
import sys
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


def spark_required(missing):
    """Skips a test that needs `missing`, or fails it where QUORVANE_REQUIRE_SPARK=1 (CI
    sets it) says the Spark tests must run."""
    if os.environ.get("QUORVANE_REQUIRE_SPARK") == "1":
        pytest.fail(f"the Spark tests need {missing}")
    pytest.skip(f"needs {missing}")


def pytest_configure(config):
    # pyspark before 4.2 leaves closing the socket each classic action reads its results
    # from to the garbage collector, which warns as it closes it, in whichever test it
    # interrupts. Ignored there only, so that a socket left open elsewhere still fails.
    try:
        from importlib.metadata import PackageNotFoundError, version
        major, minor = (int(part) for part in version("pyspark").split(".")[:2])
    except (ImportError, PackageNotFoundError, ValueError):
        return
    if (major, minor) < (4, 2):
        config.addinivalue_line("filterwarnings", "ignore:unclosed <socket.socket:ResourceWarning")


def connect_missing():
    """What this Python lacks to be a Spark Connect client, or None."""
    try:  # the module checks them as it loads, in every pyspark 4
        import pyspark.sql.connect.session  # noqa: F401
    except ImportError as error:
        return f'Spark Connect\'s client libraries (pip install "pyspark[connect]"): {error}'
    return None


@pytest.fixture(scope="session")
def spark(tmp_path_factory):
    """One Spark session in local mode on two cores, for the whole run, which also serves
    Spark Connect clients where their libraries are installed. Skips where pyspark or Java
    is missing, unless QUORVANE_REQUIRE_SPARK=1."""
    java_home = os.environ.get("JAVA_HOME")
    java = os.path.join(java_home, "bin", "java") if java_home else shutil.which("java")
    if importlib.util.find_spec("pyspark") is None:
        spark_required('pyspark (pip install "quorvane[spark]")')
    elif not (java and os.access(java, os.X_OK)):
        spark_required("Java 17 or later (JAVA_HOME, or java on PATH)")
    from pyspark.sql import SparkSession

    with pytest.MonkeyPatch.context() as patch:
        # The workers run this interpreter (Spark would start `python3` from PATH), with
        # the paths of this run made absolute, whatever directory they start in.
        patch.setenv("PYSPARK_PYTHON", sys.executable)
        for name in ("PYTHONPATH", "QUORVANE_COLUMNS_NATIVE"):
            if os.environ.get(name):
                patch.setenv(name, os.pathsep.join(map(os.path.abspath, os.environ[name].split(os.pathsep))))
        builder = (SparkSession.builder.master("local[2]").appName("quorvane-tests")
                   .config("spark.ui.enabled", "false")
                   .config("spark.ui.showConsoleProgress", "false")
                   .config("spark.sql.shuffle.partitions", "2")
                   # A few rows per batch, so that a partition arrives in many batches.
                   .config("spark.sql.execution.arrow.maxRecordsPerBatch", "3"))
        if connect_missing() is None:
            # Spark Connect's server, in this session's JVM, on a free port of this machine.
            with socket.socket() as probe:
                probe.bind(("localhost", 0))
                port = probe.getsockname()[1]
            builder = (builder.config("spark.plugins", "org.apache.spark.sql.connect.SparkConnectPlugin")
                       .config("spark.connect.grpc.binding.address", "localhost")
                       .config("spark.connect.grpc.binding.port", str(port)))
        preload = os.environ.get("LD_PRELOAD")
        if preload:
            # Under the sanitizer build the Python workers need the ASan runtime preloaded,
            # but the JVM, which handles its own segmentation faults, must start without it.
            # The workers start through a script that preloads it: Spark passes its
            # executor environment to the workers of a classic session only.
            patch.delenv("LD_PRELOAD")
            python = tmp_path_factory.mktemp("spark") / "python"
            python.write_text(f"#!/bin/sh\nexport LD_PRELOAD={shlex.quote(preload)}\n"
                              f'exec {shlex.quote(sys.executable)} "$@"\n')
            python.chmod(0o755)
            patch.setenv("PYSPARK_PYTHON", str(python))
        session = builder.getOrCreate()
    session.sparkContext.setLogLevel("ERROR")
    yield session
    session.stop()


@pytest.fixture(scope="session")
def spark_connect(spark):
    """A Spark Connect session on the local session's server, for the whole run: its
    DataFrames are those of `pyspark.sql.connect`, planned here and run there. Skips, or
    fails, as `spark` does, where the client libraries are missing."""
    missing = connect_missing()
    if missing:
        spark_required(missing)
    # Connect's own builder: pyspark's would refuse a second session in this process.
    from pyspark.sql.connect.session import SparkSession as ConnectSession

    port = spark.conf.get("spark.connect.grpc.binding.port")
    session = ConnectSession.builder.remote(f"sc://localhost:{port}").getOrCreate()
    yield session
    session.stop()
