"""The program's first window as the plain script makes it again: every toolkit element the program
makes up to its first window, recorded with the arguments it was made with, then made anew in the same
order. bench/startup.py records the program's window once before timing."""
import pickle
import threading

import PySimpleGUI as sg


class Made:
    """An element made earlier in the recording, by its place in it."""

    def __init__(self, index):
        self.index = index


def _recorded(value, made):
    if isinstance(value, sg.Element):
        return Made(made[id(value)])
    if isinstance(value, (list, tuple)):
        return type(value)(_recorded(item, made) for item in value)
    if isinstance(value, dict):
        return {key: _recorded(item, made) for key, item in value.items()}
    # The program's own objects, passed as an element's metadata, mean nothing to the toolkit.
    return value if isinstance(value, (str, bytes, int, float, type(None))) else None


def _subclasses(cls):
    for sub in cls.__subclasses__():
        yield sub
        yield from _subclasses(sub)


def record(path):
    """Records from now on; returns the function that writes the recording to `path`."""
    calls, made, depth = [], {}, threading.local()

    def recording(cls, original):
        def __init__(self, *args, **kwargs):
            outermost = not getattr(depth, "value", 0)
            depth.value = getattr(depth, "value", 0) + 1
            try:
                original(self, *args, **kwargs)
            finally:
                depth.value -= 1
            if outermost:
                made[id(self)] = len(calls)
                calls.append((cls.__name__, _recorded(args, made), _recorded(kwargs, made)))
        return __init__

    # The toolkit's own classes only: an element class of the program is recorded as the toolkit class
    # it makes, with the arguments it makes it with.
    for cls in set(_subclasses(sg.Element)):
        if cls.__module__.startswith("PySimpleGUI") and "__init__" in vars(cls):
            cls.__init__ = recording(cls, vars(cls)["__init__"])

    def save():
        with open(path, "wb") as file:
            pickle.dump(calls, file)
    return save


def tabsOfWindow(path):
    """Makes every element recorded before the window's tab group again; returns that group's tabs."""
    with open(path, "rb") as file:
        calls = pickle.load(file)
    made = []

    def resolved(value):
        if isinstance(value, Made):
            return made[value.index]
        if isinstance(value, (list, tuple)):
            return type(value)(resolved(item) for item in value)
        if isinstance(value, dict):
            return {key: resolved(item) for key, item in value.items()}
        return value

    group = max(i for i, (kind, _, kwargs) in enumerate(calls)
                if kind == "TabGroup" and kwargs.get("key") == "mainTab")
    for kind, args, kwargs in calls[:group]:
        made.append(getattr(sg, kind)(*resolved(args), **resolved(kwargs)))
    return resolved(calls[group][1][0])
