"""Hostile objects for fuzzing the entry points: numbers of every size and kind, and objects
whose special methods raise or return nonsense."""

import collections
import enum

from hypothesis import strategies as st


class Hostile(Exception):
    """Raised by the zoo's objects; an entry point may let it through unchanged."""


class IntSub(int):
    pass


class Colour(enum.IntEnum):
    RED = 1
    BIG = 2**31 - 1


class StrSub(str):
    pass


class TupleSub(tuple):
    pass


class DictSub(dict):
    pass


def _raise(*args):
    raise Hostile("hostile")


def make(name, **methods):
    return type(name, (), methods)()


HOSTILE_OBJECTS = [
    make("IntRaises", __int__=_raise),
    make("IntReturnsStr", __int__=lambda self: "x"),
    make("IntReturnsHuge", __int__=lambda self: 2**100),
    make("IntReturnsBool", __int__=lambda self: True),
    make("IntReturnsIntSub", __int__=lambda self: IntSub(7)),
    make("IndexRaises", __index__=_raise),
    make("IndexOnly", __index__=lambda self: 5),
    make("FloatRaises", __float__=_raise),
    make("EqRaises", __eq__=_raise, __hash__=lambda self: 65),
    make("HashRaises", __hash__=_raise),
    make("HashHuge", __hash__=lambda self: 2**70),
    make("IterRaises", __iter__=_raise),
    make("IterLong", __iter__=lambda self: iter(range(10**6))),
    make("IterOne", __iter__=lambda self: iter([1])),
    make("LenRaises", __len__=_raise, __iter__=lambda self: iter([65, 30])),
    make("LenLies", __len__=lambda self: 2, __iter__=lambda self: iter([])),
    make("GetattrRaises", __getattr__=lambda self, name: _raise()),
    make("CallRaises", __call__=_raise),
    make("BoolRaises", __bool__=_raise),
    make("StrRaises", __str__=_raise, __repr__=_raise, __format__=_raise),
]


def growing_list():
    items = [65, 30]

    class Grows(list):
        """Grows while it is iterated (up to a bound: endless growth only measures memory)."""

        def __iter__(self):
            for item in list.__iter__(self):
                if len(self) < 10_000:
                    self.append(item)
                yield item

    return Grows(items)


def mutating_dict():
    target = {}

    class Mutates:
        def __int__(self):
            target[len(target) + 1000] = 1
            return 17

        def __hash__(self):
            return 17

    target[Mutates()] = 29
    target[67] = 46
    return target


integers = st.one_of(
    st.integers(),
    st.integers(min_value=-(2**31), max_value=2**31 - 1),
    st.integers(min_value=0, max_value=255),
    st.booleans(),
    st.builds(IntSub, st.integers(-(2**40), 2**40)),
    st.sampled_from(list(Colour)),
)
floats = st.floats(allow_nan=True, allow_infinity=True)
texts = st.one_of(st.text(max_size=20), st.builds(StrSub, st.text(max_size=5)), st.just("{!}"))


def _hostile_object(index):
    return HOSTILE_OBJECTS[index]


def _keyable_object(index):
    return KEYABLE_OBJECTS[index]


# Usable as dict keys while hypothesis builds the dict (their hash and equality behave).
KEYABLE_OBJECTS = [
    obj for obj in HOSTILE_OBJECTS if type(obj).__name__ not in ("EqRaises", "HashRaises")
]

# Drawn by index: hypothesis hashes and shows sampled elements, and some of these refuse.
hostile = st.integers(0, len(HOSTILE_OBJECTS) - 1).map(_hostile_object)
keyable = st.integers(0, len(KEYABLE_OBJECTS) - 1).map(_keyable_object)
fresh_hostile = st.sampled_from([growing_list, mutating_dict]).map(lambda make_one: make_one())

scalars = st.one_of(
    integers, floats, texts, hostile, fresh_hostile, st.none(), st.binary(max_size=4)
)

pairs = st.one_of(
    st.tuples(integers, integers),
    st.lists(integers, min_size=0, max_size=3),
    st.tuples(scalars, scalars),
    st.tuples(scalars),
    st.tuples(scalars, scalars, scalars),
    scalars,
)
tuples = st.one_of(
    st.lists(pairs, max_size=4).map(tuple),
    st.lists(pairs, max_size=2).map(TupleSub),
    st.lists(pairs, max_size=3),
)
dicts = st.one_of(
    st.dictionaries(
        st.one_of(integers, floats, texts, keyable), st.one_of(integers, scalars), max_size=4
    ),
    st.dictionaries(integers, integers, max_size=3).map(DictSub),
    st.dictionaries(integers, integers, max_size=3).map(collections.OrderedDict),
    st.builds(mutating_dict),
)
anything = st.one_of(scalars, tuples, dicts)
