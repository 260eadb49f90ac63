"""The member registry the hostile, out-of-memory, release and thread tests draw on
covers every public member of every class, and nothing that is gone."""

import pytest

from _support import MEMBERS, OWNERS


@pytest.mark.parametrize("owner", sorted(OWNERS))
def test_every_public_member_has_a_row(owner):
    cls, not_members = OWNERS[owner].cls, OWNERS[owner].not_members
    covered = {name for m in MEMBERS if m.owner == owner for name in m.attributes}
    assert set(vars(cls)) - not_members - covered == set(), "members without a row"
    assert covered - set(vars(cls)) == set(), "rows of members that do not exist"


def test_rows_are_named_once():
    ids = [m.id for m in MEMBERS]
    assert len(ids) == len(set(ids))
    assert {m.owner for m in MEMBERS} <= set(OWNERS)
