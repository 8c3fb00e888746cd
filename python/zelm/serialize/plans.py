"""How the serializer shows values of each type without running the
program's code: a type's plan, and the registry of reprs declared safe.

Values of the exact built-in types (None, bool, int, float, str, bytes,
list, tuple, dict, set, frozenset ...) never reach a plan: the walks of
reference.py handle them. Every other value is shown by the plan of its
exact type, which plan_for() works out from the type's MRO and the dicts
of its classes, read without descriptors (a class may define anything,
``__class__`` and ``__getattr__`` included, and none of it runs):

========  ===================================================================
plan      what is written
========  ===================================================================
REPR      ``repr(value)``: a type whose ``__repr__`` is C code (int subclasses,
          datetime, Decimal ...) or declared safe with register_repr(type),
          and every type in the "full" repr mode
OBJECT    what object.__repr__ writes, "<module.QualName object at 0x…>": a
          class whose ``__repr__`` is Python code, or object's own
CALL      the str a function registered with register_repr(type, function)
          returns for the value
WALK      the text the type's generated or C repr would give, built by the
          walk from the value's own storage: dataclasses, attrs classes,
          named tuples, enums, bound methods, exceptions, subclasses of the
          built-in containers, deque, OrderedDict, defaultdict, Counter,
          dict views, SimpleNamespace, argparse.Namespace
========  ===================================================================

A WALK plan is a tuple of steps (below), each reading one part of the
value through a *reader* that runs no Python code: None (the value
itself), a str (a key of the instance dict, read through the ``__dict__``
descriptor found in the MRO), an int (an item of a tuple subclass) or a C
member or getset descriptor. When a reader fails (a slot never set, a key
missing from the instance dict) the value is shown as OBJECT instead.

The native encoders (zelm._serialize) call plan_for() once per type and
keep the answer per type version; both implementations read plans the
same way, so both write the same bytes.

Imported while the profiler records, and left out of traces by name.
"""

import collections
import dataclasses
import enum
import sys
import types

from zelm.serialize import scrub

__all__ = [
    "REPR", "OBJECT", "CALL", "WALK",
    "TEXT", "VALUE", "NAME", "QUALNAME", "ITEMS", "OPTIONAL", "MASKED",
    "ITEM", "PAIR", "TUPLE_PAIR", "KEYWORD",
    "plan_for", "register_repr", "unregister_repr", "registered_reprs", "add_listener",
]

# Plan kinds: (kind, recursion_text, steps_or_function, dict_reader).
REPR, OBJECT, CALL, WALK = range(4)

# Steps of a WALK plan:
#   (TEXT, text)
#   (VALUE, label, reader): label, then the value read, shown by the same rules
#   (NAME, label, reader, none_shown_as_nothing): label and the str read, raw;
#       None writes nothing when allowed, anything else makes the value OBJECT
#   (QUALNAME, label, reader): label and the __qualname__ of the Python
#       function read (anything else makes the value OBJECT)
#   (ITEMS, reader, length, iterate, form, opener, closer, empty, one_item_suffix):
#       the container read (the reader may also be the instance __dict__'s
#       descriptor): `empty` when length(container) is 0, else opener, the
#       items iterate(container) yields shown in `form`, closer
#   (OPTIONAL, label, reader): nothing when the value read is None, else as VALUE
#   (MASKED, label): label and the mask, for a field whose name names a
#       credential (zelm.serialize.scrub); the field is never read
TEXT, VALUE, NAME, QUALNAME, ITEMS, OPTIONAL, MASKED = range(7)
# Item forms: an item; a (key, value) pair as "key: value", "(key, value)",
# or "key=value" (a pair whose key is not an exact str is not shown).
ITEM, PAIR, TUPLE_PAIR, KEYWORD = range(4)

_mro_of = type.__dict__["__mro__"].__get__
_dict_of = type.__dict__["__dict__"].__get__
_name_of = type.__dict__["__name__"].__get__
_qualname_of = type.__dict__["__qualname__"].__get__

# Objects in a class dict that are C code: a __repr__ of this kind is the
# type's own C repr.
_C_CALLABLES = (types.WrapperDescriptorType, types.BuiltinFunctionType, types.MethodDescriptorType,
                types.MethodWrapperType, types.ClassMethodDescriptorType)
_MISSING = object()


def _lookup(cls, name):
    """(owner, attribute): the first class of cls's MRO whose dict holds
    ``name``, and what it holds; (None, None) when none does."""
    for base in _mro_of(cls):
        found = _dict_of(base).get(name, _MISSING)
        if found is not _MISSING:
            return base, found
    return None, None


def _is_one_of(cls, classes):
    # By identity: isinstance() would ask a non-matching object for its
    # __class__ (maybe a property), `in` would hash a class through its metaclass.
    return any(cls is candidate for candidate in classes)


def _is_data_descriptor(attribute):
    attribute_type = type(attribute)
    return _lookup(attribute_type, "__set__")[0] is not None or _lookup(attribute_type, "__delete__")[0] is not None


# ---- the registry ----

# id(type) -> (type, function or None); kept by id, as a class may define
# __hash__ and __eq__ for its metaclass.
_registered = {}
_listeners = []


def add_listener(callback):
    """Call ``callback()`` whenever the registry changes (the native
    encoders forget their plans then)."""
    _listeners.append(callback)


def _changed():
    for callback in _listeners:
        callback()


def register_repr(cls, function=None):
    """Show the values of ``cls`` (and of its subclasses that do not define a
    ``__repr__`` of their own) with ``repr()`` when ``function`` is None,
    declaring that repr free of side effects, or with ``function(value)``,
    which must return a str (cut like any repr). A function that raises, or
    returns anything else, shows the value as "<unrepresentable T object>".
    A later registration of the same type replaces the earlier one."""
    if not issubclass(type(cls), type):
        raise TypeError(f"register_repr() takes a class, not {type(cls).__name__}")
    if function is not None and not callable(function):
        raise TypeError(f"the repr function of {_qualname_of(cls)} must be callable or None, "
                        f"not {type(function).__name__}")
    if _is_one_of(cls, _WRITTEN_AS_THEMSELVES):
        raise ValueError(f"{_name_of(cls)} values are written as themselves; a repr of them is never taken")
    _registered[id(cls)] = (cls, function)
    _changed()


def unregister_repr(cls):
    """Forget the registration of ``cls``: its values are shown by the
    default rules again. Returns whether there was one."""
    removed = _registered.pop(id(cls), None) is not None
    if removed:
        _changed()
    return removed


def registered_reprs():
    """{type: function or None} of every registration."""
    return dict(_registered.values())


def _registration(cls):
    """The registration that covers ``cls``: the first registered class of
    its MRO that comes before any class defining ``__repr__`` (one whose own
    dict holds it counts as covered itself), or None."""
    for base in _mro_of(cls):
        found = _registered.get(id(base))
        if found is not None and found[0] is base:
            return found
        if "__repr__" in _dict_of(base):
            return None
    return None


# ---- plans ----

def plan_for(cls, full):
    """The plan of values of exactly ``cls``; ``full`` for the repr mode
    "full", where every registered function is still called and every
    other value is repr()'d."""
    registration = _registration(cls)
    if registration is not None:
        function = registration[1]
        return (REPR, "", None, None) if function is None else (CALL, "", function, None)
    owner, shown_by = _lookup(cls, "__repr__")
    if owner is object or owner is None:
        return _OBJECT_PLAN
    if full:
        return _REPR_PLAN
    if _is_one_of(type(shown_by), _C_CALLABLES):
        return _c_repr_plan(cls, owner)
    return _python_repr_plan(cls, owner, shown_by)


_OBJECT_PLAN = (OBJECT, "", None, None)
_REPR_PLAN = (REPR, "", None, None)


def _walk(recursion_text, steps, dict_reader=None):
    return (WALK, recursion_text, tuple(steps), dict_reader)


def _items(reader, length, iterate, form, opener, closer, empty, one_item_suffix=""):
    return (ITEMS, reader, length, iterate, form, opener, closer, empty, one_item_suffix)


_deque_maxlen = collections.deque.__dict__["maxlen"]
_default_factory = collections.defaultdict.__dict__["default_factory"]
_exception_args = BaseException.__dict__["args"]
_method_function = types.MethodType.__dict__["__func__"]
_method_self = types.MethodType.__dict__["__self__"]
_DICT_ITEMS = (dict.__len__, dict.items)
_DICT_VIEWS = (type({}.keys()), type({}.values()), type({}.items()))
_namespace_dict = types.SimpleNamespace.__dict__["__dict__"]
# OrderedDict shows its items as a dict from 3.12 on, as pairs before.
_ORDERED_DICT_AS_DICT = sys.version_info >= (3, 12)


def _c_repr_plan(cls, owner):
    """Types whose C repr shows their items: the walk shows them instead,
    each by its own plan. Any other C repr is taken as it is."""
    name = _name_of(cls)
    if owner is list:
        return _walk("[...]", [_items(None, list.__len__, list.__iter__, ITEM, "[", "]", "[]")])
    if owner is tuple:
        return _walk("(...)", [_items(None, tuple.__len__, tuple.__iter__, ITEM, "(", ")", "()", ",")])
    if owner is dict:
        return _walk("{...}", [_items(None, *_DICT_ITEMS, PAIR, "{", "}", "{}")])
    if owner is set or owner is frozenset:
        return _walk(f"{name}(...)", [_items(None, owner.__len__, owner.__iter__, ITEM, f"{name}({{", "})",
                                             f"{name}()")])
    if owner is collections.deque:
        return _walk("[...]", [_items(None, collections.deque.__len__, collections.deque.__iter__, ITEM,
                                      f"{name}([", "]", f"{name}([]"),
                               (OPTIONAL, ", maxlen=", _deque_maxlen), (TEXT, ")")])
    if owner is collections.OrderedDict:
        if _ORDERED_DICT_AS_DICT:
            return _walk("...", [_items(None, *_DICT_ITEMS, PAIR, f"{name}({{", "})", f"{name}()")])
        return _walk("...", [_items(None, *_DICT_ITEMS, TUPLE_PAIR, f"{name}([", "])", f"{name}()")])
    if owner is collections.defaultdict:
        return _walk("...", [(TEXT, f"{name}("), (VALUE, "", _default_factory),
                             _items(None, *_DICT_ITEMS, PAIR, ", {", "}", ", {}"), (TEXT, ")")])
    if _is_one_of(owner, _DICT_VIEWS):
        # Iterated by the view type's own C iterator (an OrderedDict's views keep its order).
        length, iterate = _lookup(cls, "__len__")[1], _lookup(cls, "__iter__")[1]
        if not _is_one_of(type(length), _C_CALLABLES) or not _is_one_of(type(iterate), _C_CALLABLES):
            return _REPR_PLAN
        return _walk("...", [_items(None, length, iterate, ITEM, f"{name}([", "])", f"{name}([])")])
    if owner is types.SimpleNamespace:
        name = "namespace" if cls is types.SimpleNamespace else name
        return _walk(f"{name}(...)", [_items(_namespace_dict, *_DICT_ITEMS, KEYWORD, f"{name}(", ")", f"{name}()")])
    if owner is BaseException:
        return _walk("...", [_items(_exception_args, tuple.__len__, tuple.__iter__, ITEM, f"{name}(", ")",
                                    f"{name}()")])
    if cls is types.MethodType:
        return _walk("...", [(TEXT, "<bound method "), (QUALNAME, "", _method_function),
                             (VALUE, " of ", _method_self), (TEXT, ">")])
    return _REPR_PLAN


def _python_repr_plan(cls, owner, shown_by):
    """Types whose Python __repr__ zelm knows how to read (a library's
    generated one): the walk shows their fields; anything else is OBJECT."""
    if type(shown_by) is not types.FunctionType:
        return _OBJECT_PLAN
    owner_dict = _dict_of(owner)
    if shown_by.__code__ is _NAMEDTUPLE_REPR_CODE and type(owner_dict.get("_fields")) is tuple:
        fields = owner_dict["_fields"]
        return _fields_plan(cls, _name_of(cls), "", list(zip(fields, range(len(fields)))))
    if shown_by is _ENUM_REPR or shown_by is _FLAG_REPR:
        return _enum_plan(cls, shown_by is _FLAG_REPR)
    if shown_by is _COUNTER_REPR:
        name = _name_of(cls)
        return _walk("...", [_items(None, *_DICT_ITEMS, PAIR, f"{name}({{", "})", f"{name}()")])
    if _is_argparse_namespace_repr(cls, shown_by):
        dict_reader = _instance_dict_reader(cls)
        if dict_reader is None:
            return _OBJECT_PLAN
        name = _name_of(cls)
        return _walk("...", [_items(dict_reader, *_DICT_ITEMS, KEYWORD, f"{name}(", ")", f"{name}()")])
    if _is_dataclass_repr(owner_dict, shown_by):
        names = [field.name for field in owner_dict["__dataclass_fields__"].values()
                 if field._field_type is dataclasses._FIELD and field.repr]
        return _fields_plan(cls, _qualname_of(cls), "...", [(name, name) for name in names])
    attributes = owner_dict.get("__attrs_attrs__")
    if attributes is not None and _is_attrs_repr(shown_by):
        shown = [attribute for attribute in attributes if attribute.repr is not False]
        if any(attribute.repr is not True for attribute in shown):
            return _OBJECT_PLAN  # a field shown by a function of the program's
        name = _qualname_of(cls).rsplit(">.", 1)[-1]
        return _fields_plan(cls, name, "...", [(attribute.name, attribute.name) for attribute in shown])
    return _OBJECT_PLAN


def _fields_plan(cls, name, recursion_text, fields):
    """``Name(a=…, b=…)`` from (field name, reader) pairs: a str reader is
    replaced by the slot's member descriptor when the MRO holds one for
    that name; a data descriptor of any other kind (a property) makes the
    type OBJECT, as reading the field would run it. A field whose name
    names a credential is masked, and never read."""
    steps = [(TEXT, f"{name}(")]
    dict_reader = None
    for index, (field, reader) in enumerate(fields):
        label = f"{field}=" if index == 0 else f", {field}="
        if scrub.is_credential_key(field):
            steps.append((MASKED, label))
            continue
        if type(reader) is str:
            _, found = _lookup(cls, reader)
            if type(found) is types.MemberDescriptorType:
                reader = found
            elif found is not None and _is_data_descriptor(found):
                return _OBJECT_PLAN
            else:
                dict_reader = dict_reader or _instance_dict_reader(cls)
                if dict_reader is None:
                    return _OBJECT_PLAN
        steps.append((VALUE, label, reader))
    steps.append((TEXT, ")"))
    return _walk(recursion_text, steps, dict_reader)


def _instance_dict_reader(cls):
    """The C descriptor that gives an instance's __dict__, as the MRO holds
    it; None when the instances have none, or a class replaced it."""
    _, found = _lookup(cls, "__dict__")
    return found if type(found) is types.GetSetDescriptorType else None


def _enum_plan(cls, is_flag):
    # "<Color.RED: 1>"; a Flag without a name (a combination, 0) is shown as
    # "<Perm: 0>" from 3.11 on, and decomposed into names before, which is
    # left to the OBJECT form.
    _, value_repr = _lookup(cls, "_value_repr_")
    if value_repr is not None and not _is_one_of(type(value_repr), _C_CALLABLES):
        return _OBJECT_PLAN  # the value is shown by a function of the program's
    dict_reader = _instance_dict_reader(cls)
    if dict_reader is None:
        return _OBJECT_PLAN
    for name in ("_name_", "_value_"):
        found = _lookup(cls, name)[1]
        if found is not None and _is_data_descriptor(found):
            return _OBJECT_PLAN
    none_shown_as_nothing = is_flag and sys.version_info >= (3, 11)
    return _walk("...", [(TEXT, f"<{_name_of(cls)}"), (NAME, ".", "_name_", none_shown_as_nothing),
                         (VALUE, ": ", "_value_"), (TEXT, ">")], dict_reader)


# What generated reprs are made of, learned from a class of each kind.
_NAMEDTUPLE_REPR_CODE = collections.namedtuple("_Probe", "field").__repr__.__code__
_ENUM_REPR = enum.Enum.__dict__["__repr__"]
_FLAG_REPR = enum.Flag.__dict__["__repr__"]
_COUNTER_REPR = collections.Counter.__dict__["__repr__"]


@dataclasses.dataclass
class _DataclassProbe:
    field: int


_DATACLASS_WRAPPER_CODE = _DataclassProbe.__dict__["__repr__"].__code__
_DATACLASS_GENERATED_FILE = _DataclassProbe.__dict__["__repr__"].__wrapped__.__code__.co_filename


def _is_dataclass_repr(owner_dict, function):
    # The recursion guard dataclasses wraps around the repr it compiles
    # (a user's __repr__ in the class body is kept as it is).
    if "__dataclass_fields__" not in owner_dict or function.__code__ is not _DATACLASS_WRAPPER_CODE:
        return False
    wrapped = function.__dict__.get("__wrapped__")
    return type(wrapped) is types.FunctionType and wrapped.__code__.co_filename == _DATACLASS_GENERATED_FILE


def _is_argparse_namespace_repr(cls, function):
    # argparse.Namespace: "Namespace(a=1, b='x')", from the instance dict
    # (argparse is not imported for it: a program that has a Namespace has).
    argparse = sys.modules.get("argparse")
    holder = getattr(argparse, "_AttributeHolder", None)
    if holder is None or function is not holder.__dict__.get("__repr__"):
        return False
    return _lookup(cls, "_get_kwargs")[0] is holder and _lookup(cls, "_get_args")[0] is holder


def _is_attrs_repr(function):
    # attrs compiles its methods under a file name of its own.
    code = function.__code__
    return code.co_name == "__repr__" and code.co_filename.startswith("<attrs generated ")


# The exact types the walks write themselves, whose repr is never taken.
_WRITTEN_AS_THEMSELVES = (type(None), bool, int, float, str, bytes, bytearray, memoryview, list, tuple, dict, set,
                          frozenset)


def _register_standard_library():
    """The standard library's Python reprs that read only the value's own
    state and that programs show all the time."""
    import fractions
    import ipaddress
    import pathlib
    import uuid

    for cls in (pathlib.PurePath, uuid.UUID, fractions.Fraction, ipaddress._BaseAddress, ipaddress._BaseNetwork,
                type(enum.Enum)):
        _registered[id(cls)] = (cls, None)


_register_standard_library()
