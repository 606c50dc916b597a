"""Hypothesis strategies for plain Python trees, shared by the codec and
variant tests."""
from hypothesis import strategies as st

texts = st.text(st.characters(blacklist_categories=("Cs",), blacklist_characters="\0"))


def plain_scalars(empty_bytes=True):
    """Values that read back equal to themselves (NaN compares unequal)."""
    return st.one_of(st.none(), st.booleans(), st.integers(-2 ** 63, 2 ** 64 - 1), st.floats(allow_nan=False),
                     texts, st.binary(min_size=0 if empty_bytes else 1), st.datetimes())


def plain_roots(empty_bytes=True):
    scalars = plain_scalars(empty_bytes)
    trees = st.recursive(scalars, lambda inner: st.lists(inner) | st.dictionaries(scalars, inner), max_leaves=40)
    return st.one_of(st.lists(trees), st.dictionaries(scalars, trees))
