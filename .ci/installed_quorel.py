"""pytest plugin used by .ci/run and the checks: test the installed wheel.

Loaded with ``-p installed_quorel`` before any test module is collected, it
imports quorel at once, from the venv's site-packages, so that nothing added
to sys.path later during collection (the repository root, say) can replace it
with the source folder. The header names the compiled module under test, and
the run stops if that module does not come from this interpreter's
site-packages.
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


def pytest_report_header(config):
    return f"quorel {quorel.__version__} under test: {_compiled.__file__}"


def pytest_configure(config):
    where = os.path.realpath(_compiled.__file__)
    if not any(where.startswith(site + os.sep) for site in _site_packages()):
        raise pytest.UsageError(
            f"quorel.quorel was imported from {where}, not from the installed wheel"
        )


def pytest_collection_finish(session):
    if sys.modules.get("quorel.quorel") is not _compiled:
        raise pytest.UsageError("quorel.quorel was re-imported during collection")
