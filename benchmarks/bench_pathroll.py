"""PathRoll: flattening a nested dictionary with lists and rebuilding it.

About 10,000 leaves: 625 records of 16 leaves each, with lists of scalars and lists of
dictionaries.  Contenders: flatten-dict (tuple keys, lists enumerated) and the plain
recursive generator a user would write.
"""
from harness import optional

from tavox.datastructures.pathroll import PathRoll

flatten_dict = optional("flatten_dict")


def make_data(records=625):
    return {
        f"user{i}": {
            "id": i,
            "name": f"name{i}",
            "tags": ["a", "b", "c"],
            "scores": [1, 2, 3, 4, 5],
            "address": {"city": "somewhere", "zip": "12345"},
            "history": [{"t": 1, "v": 2}, {"t": 3, "v": 4}],
        }
        for i in range(records)
    }


def walk(obj, prefix=()):
    """The floor: a recursive generator of (path, value) pairs."""
    if isinstance(obj, dict):
        for key, value in obj.items():
            if isinstance(value, (dict, list)) and value:
                yield from walk(value, prefix + (key,))
            else:
                yield prefix + (key,), value
    else:
        for index, value in enumerate(obj):
            if isinstance(value, (dict, list)) and value:
                yield from walk(value, prefix + (index,))
            else:
                yield prefix + (index,), value


def run(h):
    data = make_data()
    roll = PathRoll(data)
    assert len(roll) == 10_000 and roll.reconstruct() == data

    fd_flatten = fd_unflatten = None
    if flatten_dict is not None:
        flat = flatten_dict.flatten(data, reducer="tuple", enumerate_types=(list,))
        assert len(flat) == len(roll)
        fd_flatten = lambda: flatten_dict.flatten(data, reducer="tuple", enumerate_types=(list,))  # noqa: E731
        fd_unflatten = lambda: flatten_dict.unflatten(flat)  # noqa: E731

    h.compare("pathroll", "PathRoll(d), 10k leaves", ("tavox", lambda: PathRoll(data)), [
        ("flatten-dict flatten(reducer='tuple')", fd_flatten),
        ("recursive Python generator", lambda: list(walk(data))),
    ])
    h.compare("pathroll", "reconstruct(), 10k leaves", ("tavox", roll.reconstruct), [
        ("flatten-dict unflatten(splitter='tuple')", fd_unflatten),
    ])
