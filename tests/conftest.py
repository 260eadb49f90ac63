"""Fixtures shared by the test modules."""

import pytest

import _support


@pytest.fixture
def comparisons(monkeypatch):
    """The comparisons of Items during the test."""
    tally = _support.Tally()
    monkeypatch.setitem(_support.TALLIES, "comparisons", tally)
    return tally


@pytest.fixture
def key_calls(monkeypatch):
    """The calls of item_key during the test."""
    tally = _support.Tally()
    monkeypatch.setitem(_support.TALLIES, "key calls", tally)
    return tally
