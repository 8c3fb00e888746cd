"""How the stores compress a trace document: one zstd frame, made and read
back a piece at a time, optionally with a dictionary.

The records of a trace repeat what the records of every trace hold: their
keys, the program's paths, names and threads. Within a long document the
compressor finds those repeats by itself; a short one (the trace of one
test, of one request) pays for them again. A dictionary trained on records
of earlier documents holds them once for all: the store that trains one
keeps it, and names it beside every document compressed with it, which
cannot be read back without it (the frame also carries the dictionary's
own id, which decompression checks).
"""

import functools

import msgpack
import zstandard

from zelm import _fastread
from zelm.store.salvage import _container_head as container_head

__all__ = ["ZSTD", "ZSTD_WITH_DICTIONARY", "LEVEL", "compressor", "decompressor", "record_samples", "trained_dictionary"]

# The "compression" of a stored document: a zstd frame made without a
# dictionary, or with the one its row names.
ZSTD = "zstd"
ZSTD_WITH_DICTIONARY = "zstd-dictionary"
# Higher levels shrink traces by a few percent for several times the time.
LEVEL = 3

DICTIONARY_BYTES = 64 * 1024
# The first records of each document are sampled, up to SAMPLE_BYTES in
# all; with fewer than MIN_SAMPLES records the training fails or gains
# nothing. One test's trace may be enough: a saver that keeps up stores the
# traces one at a time.
SAMPLES_PER_DOCUMENT = 1000
SAMPLE_BYTES = 4 * 1024 * 1024
MIN_SAMPLES = 500
# The trainer's segment and d-mer sizes, fixed: searching for the best ones
# takes a second for a percent of size, fixed ones a few hundredths.
_SEGMENT_BYTES = 1024
_DMER_BYTES = 8

_FRAMES_OF_INTEREST = msgpack.packb("frames_of_interest")
_FRAMES = msgpack.packb("frames")


def compressor(size, dictionary=None):
    """A zstd compression object for a document of ``size`` bytes (written
    into the frame, so that it decompresses in one allocation), using the
    dictionary bytes ``dictionary`` when given."""
    return zstandard.ZstdCompressor(level=LEVEL, dict_data=_loaded(dictionary)).compressobj(size=size)


def decompressor(dictionary=None):
    """A zstd decompressor, using the dictionary bytes ``dictionary`` when given."""
    return zstandard.ZstdDecompressor(dict_data=_loaded(dictionary))


def _loaded(dictionary):
    return None if dictionary is None else _prepared(dictionary)


@functools.lru_cache(maxsize=4)
def _prepared(dictionary):
    # Preparing a dictionary for the level takes longer than compressing a
    # short document: it is done once per dictionary, not per document.
    loaded = zstandard.ZstdCompressionDict(dictionary)
    loaded.precompute_compress(level=LEVEL)
    return loaded


class _Enough(Exception):
    """The samples wanted are taken: the rest of the document is not read."""


def record_samples(document, limit=SAMPLES_PER_DOCUMENT):
    """The first ``limit`` records (bytes) of the trace document, record
    array by record array in the document's order, not decoded; none from a
    document whose frame does not read. What follows them is not read."""
    data = memoryview(document).cast("B")
    samples = []

    def sampled(offset):
        """Samples the record array at ``offset``; the offset after it."""
        count, offset = container_head(data, offset, maps=False)
        for _ in range(count):
            if len(samples) == limit:
                raise _Enough
            end = _fastread.skip(data, offset, 1)
            samples.append(data[offset:end].tobytes())
            offset = end
        return offset

    try:
        entries, offset = container_head(data, 0, maps=True)
        for _ in range(entries):
            key_end = _fastread.skip(data, offset, 1)
            key, offset = data[offset:key_end], key_end
            if key == _FRAMES_OF_INTEREST:
                offset = sampled(offset)
            elif key == _FRAMES:
                threads, offset = container_head(data, offset, maps=True)
                for _ in range(threads):
                    offset = sampled(_fastread.skip(data, offset, 1))
            else:
                offset = _fastread.skip(data, offset, 1)
    except _Enough:
        pass
    except ValueError:
        pass  # what was sampled before the damage is records all the same
    return samples


def trained_dictionary(documents):
    """Dictionary bytes trained on records of the trace documents
    ``documents``; None when they hold too few records to train one."""
    samples, sampled_bytes = [], 0
    for document in documents:
        if sampled_bytes >= SAMPLE_BYTES:
            break
        for sample in record_samples(document):
            samples.append(sample)
            sampled_bytes += len(sample)
    if len(samples) < MIN_SAMPLES:
        return None
    try:
        return zstandard.train_dictionary(DICTIONARY_BYTES, samples, k=_SEGMENT_BYTES, d=_DMER_BYTES, level=LEVEL,
                                          threads=1).as_bytes()
    except zstandard.ZstdError:
        return None  # samples too alike or too few to learn from
