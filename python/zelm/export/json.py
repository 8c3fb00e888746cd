"""`zelm export --format json`, and the values the viewer sends: any
decoded value of a trace, the whole document included, in JSON types, with
what JSON has no form for marked.
"""

import json
import math

from zelm import _fastread
from zelm import trace as trace_reader
from zelm.serialize import values
from zelm.store.salvage import _container_head, decode_record

__all__ = ["to_json_safe", "document_json", "JSON_REPR_KEY", "JSON_TUPLE_KEY", "JSON_DICT_KEY"]


# Keys of the JSON objects that mark what JSON has no form for.
JSON_REPR_KEY, JSON_TUPLE_KEY, JSON_DICT_KEY = "$repr", "$tuple", "$dict"
_JSON_MARKER_KEYS = frozenset({JSON_REPR_KEY, JSON_TUPLE_KEY, JSON_DICT_KEY})


def to_json_safe(value):
    """``value`` made of JSON types only, with what JSON has no form for
    marked by a one-entry object:

    - {"$repr": TEXT} for a repr the trace holds in place of an object
      (zelm.values.Repr), and for a decoded value JSON cannot hold (bytes,
      a float that is not finite, a timestamp), as its repr;
    - {"$tuple": [ITEMS]} for a tuple;
    - {"$dict": [[KEY, VALUE], ...]} for a dict whose keys were not all
      text (zelm.values.ObjectKeyDict), and for a dict whose one key is
      one of these three, so that it is not taken for a marker.

    Other dicts become objects with their keys as text (int keys as
    json.dumps writes them, other keys as their repr)."""
    value_type = type(value)
    if value_type is str or value is None or value_type is bool or value_type is int:
        return value
    if value_type is values.Repr:
        return {JSON_REPR_KEY: str.__str__(value)}
    if value_type is float:
        return value if math.isfinite(value) else {JSON_REPR_KEY: repr(value)}
    if value_type is list:
        return [to_json_safe(item) for item in value]
    if value_type is tuple:
        return {JSON_TUPLE_KEY: [to_json_safe(item) for item in value]}
    if value_type is values.ObjectKeyDict or (value_type is dict and len(value) == 1
                                              and next(iter(value)) in _JSON_MARKER_KEYS):
        return {JSON_DICT_KEY: [[to_json_safe(key), to_json_safe(item)] for key, item in value.items()]}
    if isinstance(value, dict):
        return {_json_key(key): to_json_safe(item) for key, item in value.items()}
    # msgpack's ExtType is a tuple too, but no array.
    return {JSON_REPR_KEY: repr(value)}


def _json_key(key):
    if isinstance(key, str):
        return key
    if isinstance(key, (int, float, bool)) or key is None:
        return str(key)  # what json.dumps does with such keys
    return repr(key)


# ---- the whole document, streamed ----


def document_json(documents, name="the trace document"):
    """(the trace id the document names, its JSON text as an iterator of
    chunks) for the trace stored as ``documents`` (MessagePack bytes,
    oldest first): the text json.JSONEncoder(allow_nan=False) writes of
    to_json_safe(the document the reader joins them into), see
    zelm.trace.merge_documents.

    The text is written from the stored bytes piece by piece, each record
    decoded on its own as the reader decodes it, made JSON-safe, encoded
    and dropped, so the whole decoded document is never held. Documents
    whose frame holds what that cannot follow exactly (a repeated key, a
    frame that does not read, two keys that read as one JSON key) are
    decoded whole by the reader, which also reports what is wrong with
    them (TraceFormatError naming ``name``)."""
    frame = _JoinedFrame.of(documents)
    if frame is not None:
        return frame.trace_id, frame.chunks()
    document = trace_reader.merge_documents([trace_reader.decode_document(part, name) for part in documents])
    return str(document.get("trace_id", "")), json.JSONEncoder(allow_nan=False).iterencode(to_json_safe(document))


class _Unstreamable(Exception):
    """A document's frame holds what the streamed text cannot reproduce."""


class _JoinedFrame:
    """Where the joined document's parts are in the stored bytes: the
    first document's entries in their order (the facts about the run
    decoded, they are small), and per record array the (bytes, offset of
    its first record, records) of each document that holds it."""

    def __init__(self):
        self.entries = []  # (decoded key, decoded value or _MAIN_RECORDS or _THREAD_RECORDS)
        self.main_records = []
        self.thread_records = {}  # decoded thread key -> [(bytes, offset, count)], first seen first

    @classmethod
    def of(cls, documents):
        """The joined frame of ``documents``, or None when one of them
        cannot be streamed."""
        self = cls()
        try:
            for number, data in enumerate(documents):
                self._add(memoryview(data), first=number == 0)
            self._check_keys()
        except Exception:  # _Unstreamable, or a frame that does not read: the reader says what
            return None
        return self

    @property
    def trace_id(self):
        facts = {key: value for key, value in self.entries}
        return str(facts.get("trace_id", ""))

    def _add(self, data, first):
        count, pos = _container_head(data, 0, maps=True)
        seen = set()
        main_records = threads = None
        for _ in range(count):
            key, pos = _decoded(data, pos)
            if key in seen:  # the reader keeps the last value in the first key's place
                raise _Unstreamable()
            seen.add(key)
            end = _fastread.skip(data, pos, 1)
            if type(key) is str and key == "frames_of_interest":
                main_records = _record_array(data, pos)
                value = _MAIN_RECORDS
            elif type(key) is str and key == "frames":
                threads = _thread_arrays(data, pos)
                value = _THREAD_RECORDS
            elif first:
                try:
                    value = values.unpackb(data[pos:end])
                except Exception:
                    pos = end
                    continue  # as the reader, which drops a fact that does not decode
            pos = end
            if first:
                self.entries.append((key, value))
        if pos != len(data) or main_records is None or threads is None:
            raise _Unstreamable()
        self.main_records.append(main_records)
        for thread_key, records in threads:
            self.thread_records.setdefault(thread_key, []).append(records)

    def _check_keys(self):
        """The JSON keys of the joined document and of its "frames" map
        are distinct, and that map is no one-entry map to_json_safe would
        mark as one."""
        for keys in ([key for key, _ in self.entries], list(self.thread_records)):
            if len({_json_key(key) for key in keys}) != len(keys):
                raise _Unstreamable()
        if len(self.thread_records) == 1 and next(iter(self.thread_records)) in _JSON_MARKER_KEYS:
            raise _Unstreamable()

    def chunks(self):
        encode = json.JSONEncoder(allow_nan=False).encode
        yield "{"
        for position, (key, value) in enumerate(self.entries):
            yield f"{', ' if position else ''}{encode(_json_key(key))}: "
            if value is _MAIN_RECORDS:
                yield from _records_json(self.main_records, encode)
            elif value is _THREAD_RECORDS:
                yield "{"
                for thread, (thread_key, arrays) in enumerate(self.thread_records.items()):
                    yield f"{', ' if thread else ''}{encode(_json_key(thread_key))}: "
                    yield from _records_json(arrays, encode)
                yield "}"
            else:
                yield encode(to_json_safe(value))
        yield "}"


# What stands for the record arrays among the joined frame's entries.
_MAIN_RECORDS, _THREAD_RECORDS = object(), object()


def _decoded(data, pos):
    """The value at ``pos`` decoded, and the offset past it."""
    end = _fastread.skip(data, pos, 1)
    return values.unpackb(data[pos:end]), end


def _record_array(data, pos):
    """(bytes, offset of the first record, records) of the array at
    ``pos``, every record checked to end within the bytes."""
    count, first = _container_head(data, pos, maps=False)
    _fastread.skip(data, first, count)
    return data, first, count


def _thread_arrays(data, pos):
    """[(thread key, its record array as _record_array says)] of the
    "frames" map at ``pos``."""
    count, pos = _container_head(data, pos, maps=True)
    arrays, seen = [], set()
    for _ in range(count):
        thread_key, pos = _decoded(data, pos)
        if thread_key in seen:
            raise _Unstreamable()
        seen.add(thread_key)
        arrays.append((thread_key, _record_array(data, pos)))
        pos = _fastread.skip(data, pos, 1)
    return arrays


def _records_json(arrays, encode):
    """The JSON array of the records of ``arrays`` (one per document, in
    order), each as the reader decodes it: written natively a batch at a
    time, the few records that holds what only Python reads exactly (see
    src/reader/json_text.hpp) decoded here."""
    yield "["
    separator = ""
    for data, pos, count in arrays:
        while count:
            batch = min(count, _RECORDS_PER_CHUNK)
            text, pos, done = _fastread.records_json(data, pos, batch)
            if done:
                yield separator + text
                separator = ", "
            count -= done
            if done < batch:
                end = _fastread.skip(data, pos, 1)
                yield separator + encode(to_json_safe(decode_record(data[pos:end])))
                separator = ", "
                count -= 1
                pos = end
    yield "]"


# Records written natively into one chunk of text: a few hundred KiB.
_RECORDS_PER_CHUNK = 1000
