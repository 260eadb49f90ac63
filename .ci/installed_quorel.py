"""pytest plugin used by .ci/run and the checks: test the installed wheel.

Loaded with ``-p installed_quorel`` before any test module is collected, it
imports quorel at once, from the venv's site-packages, so that nothing added
to sys.path later during collection (the repository root, say) can replace it
with the source folder. The header names the compiled module under test, and
the run stops if that module does not come from this interpreter's
site-packages. With PYTHON_GIL=0 (a free-threaded interpreter), the run fails
if the GIL is on when it ends.
"""

import os
import sys
import sysconfig

import pytest

import quorel
import quorel.quorel as _compiled


def _site_packages():
    paths = sysconfig.get_paths()
    return {os.path.realpath(paths[key]) for key in ("purelib", "platlib")}


def _gil_enabled():
    return getattr(sys, "_is_gil_enabled", lambda: True)()


def pytest_report_header(config):
    gil = "on" if _gil_enabled() else "off"
    return f"quorel {quorel.__version__} under test: {_compiled.__file__} (GIL {gil})"


def pytest_configure(config):
    where = os.path.realpath(_compiled.__file__)
    if not any(where.startswith(site + os.sep) for site in _site_packages()):
        raise pytest.UsageError(
            f"quorel.quorel was imported from {where}, not from the installed wheel"
        )


def pytest_collection_finish(session):
    if sys.modules.get("quorel.quorel") is not _compiled:
        raise pytest.UsageError("quorel.quorel was re-imported during collection")


def pytest_sessionfinish(session, exitstatus):
    if os.environ.get("PYTHON_GIL") == "0" and _gil_enabled():
        print("\nFAIL: the GIL is on although PYTHON_GIL=0 asked for it off", file=sys.stderr)
        session.exitstatus = pytest.ExitCode.TESTS_FAILED
