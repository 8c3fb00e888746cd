"""Reading a trace document that does not decode as a whole.

Traces recorded before serialised values were checked can hold a record that
a MessagePack reader refuses: a string that is not UTF-8, a container as a
map key, values nested deeper than the reader goes. One such record makes
``msgpack.unpackb`` refuse the whole document. Here the document's own
frame (a map whose "frames_of_interest" array and "frames" map of arrays
hold the records) is walked without decoding, and every record is decoded
on its own, so one bad record costs only itself:

- a map record keeps every entry that decodes; a value that does not is
  replaced by the repr (zelm.serialize.values.Repr) "<undecodable value: REASON>";
- any other record that does not decode becomes the placeholder
  {"type": UNDECODABLE_RECORD, "error": REASON, "size": BYTES}.
"""

from zelm.serialize.values import Repr
from zelm.serialize.values import unpackb as _unpack

__all__ = ["UNDECODABLE_RECORD", "decode_by_record", "decode_record", "value_end"]

UNDECODABLE_RECORD = "undecodable_record"


# Format bytes from 0xc0 on (the fix forms below are handled apart):
# (width of the length field, bytes after it besides the length, values per
# length unit for containers, or 0 for bytes). 0xc1 is never used.
_FORMS = {
    0xc0: (0, 0, 0), 0xc2: (0, 0, 0), 0xc3: (0, 0, 0),
    0xc4: (1, 0, 0), 0xc5: (2, 0, 0), 0xc6: (4, 0, 0),  # bin
    0xc7: (1, 1, 0), 0xc8: (2, 1, 0), 0xc9: (4, 1, 0),  # ext: + the type byte
    0xca: (0, 4, 0), 0xcb: (0, 8, 0),  # float
    0xcc: (0, 1, 0), 0xcd: (0, 2, 0), 0xce: (0, 4, 0), 0xcf: (0, 8, 0),  # uint
    0xd0: (0, 1, 0), 0xd1: (0, 2, 0), 0xd2: (0, 4, 0), 0xd3: (0, 8, 0),  # int
    0xd4: (0, 2, 0), 0xd5: (0, 3, 0), 0xd6: (0, 5, 0), 0xd7: (0, 9, 0), 0xd8: (0, 17, 0),  # fixext
    0xd9: (1, 0, 0), 0xda: (2, 0, 0), 0xdb: (4, 0, 0),  # str
    0xdc: (2, 0, 1), 0xdd: (4, 0, 1),  # array
    0xde: (2, 0, 2), 0xdf: (4, 0, 2),  # map
}


def value_end(data, pos):
    """The offset just past the one MessagePack value that starts at ``pos``
    in ``data``, found without decoding it (so at any depth); ValueError
    when the value is cut short or malformed."""
    size = len(data)
    pending = 1
    while pending:
        if pos >= size:
            raise ValueError("a MessagePack value is cut short")
        tag = data[pos]
        pending -= 1
        if tag <= 0x7f or tag >= 0xe0:
            pos += 1
        elif tag <= 0x8f:
            pending += 2 * (tag & 0x0f)
            pos += 1
        elif tag <= 0x9f:
            pending += tag & 0x0f
            pos += 1
        elif tag <= 0xbf:
            pos += 1 + (tag & 0x1f)
        else:
            form = _FORMS.get(tag)
            if form is None:
                raise ValueError(f"the reserved byte 0x{tag:02x} at {pos}")
            width, extra, per_unit = form
            length = int.from_bytes(data[pos + 1:pos + 1 + width], "big")
            pos += 1 + width
            if per_unit:
                pending += per_unit * length
            else:
                pos += length + extra
        # Every value takes a byte at least.
        if pending > size - pos:
            raise ValueError("a MessagePack value is cut short")
    if pos > size:
        raise ValueError("a MessagePack value is cut short")
    return pos


def decode_by_record(data):
    """The trace document in ``data``, its records decoded one by one.

    Raises ValueError (or the reader's own error) when the document's frame
    itself is broken: then there are no records to tell apart.
    """
    data = memoryview(data)
    count, pos = _container_head(data, 0, maps=True)
    document = {}
    for _ in range(count):
        key, pos = _decoded(data, pos)
        if key == "frames_of_interest":
            document[key], pos = _records(data, pos)
        elif key == "frames":
            threads, pos = _container_head(data, pos, maps=True)
            frames = document[key] = {}
            for _ in range(threads):
                thread_id, pos = _decoded(data, pos)
                frames[thread_id], pos = _records(data, pos)
        else:
            end = value_end(data, pos)
            try:
                document[key] = _unpack(data[pos:end])
            except Exception:
                pass  # the facts about the run are optional to a reader
            pos = end
    if pos != len(data):
        raise ValueError("more bytes after the trace document")
    return document


def _container_head(data, pos, maps):
    """(entries or items, offset of the first child) of the map (or array)
    at ``pos``."""
    tag = data[pos] if pos < len(data) else None
    fix_base, tag16 = (0x80, 0xde) if maps else (0x90, 0xdc)
    if tag is not None and fix_base <= tag <= fix_base + 0x0f:
        return tag - fix_base, pos + 1
    if tag in (tag16, tag16 + 1):
        width = 2 if tag == tag16 else 4
        if pos + 1 + width > len(data):
            raise ValueError("a MessagePack header is cut short")
        return int.from_bytes(data[pos + 1:pos + 1 + width], "big"), pos + 1 + width
    raise ValueError(f"no MessagePack {'map' if maps else 'array'} at {pos}")


def _decoded(data, pos):
    end = value_end(data, pos)
    return _unpack(data[pos:end]), end


def _records(data, pos):
    count, pos = _container_head(data, pos, maps=False)
    records = []
    for _ in range(count):
        end = value_end(data, pos)
        records.append(decode_record(data[pos:end]))
        pos = end
    return records, pos


def decode_record(raw):
    """The one record in the MessagePack bytes ``raw``, as decode_by_record
    decodes each record (what does not decode replaced as said above)."""
    try:
        return _unpack(raw)
    except Exception as error:
        reason = _reason(error)
    try:
        return _map_entry_by_entry(raw)
    except Exception:
        return {"type": UNDECODABLE_RECORD, "error": reason, "size": len(raw)}


def _map_entry_by_entry(raw):
    """The map ``raw``, with each value that does not decode replaced by a
    text saying so; a key that does not decode (or is no dict key) fails
    the whole map."""
    count, pos = _container_head(raw, 0, maps=True)
    record = {}
    for _ in range(count):
        key, pos = _decoded(raw, pos)
        end = value_end(raw, pos)
        try:
            value = _unpack(raw[pos:end])
        except Exception as error:
            value = Repr(f"<undecodable value: {_reason(error)}>")
        record[key] = value
        pos = end
    if pos != len(raw):
        raise ValueError("more bytes after the record")
    return record


def _reason(error):
    text = " ".join(str(error).split())
    return f"{type(error).__name__}: {text}" if text else type(error).__name__
