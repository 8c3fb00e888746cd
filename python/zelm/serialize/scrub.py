"""Which keys name credentials, whose values a trace never holds.

A key names a credential when it contains one of the scrub keys, both read
with ASCII letters in lower case and without "_" and "-": the key
"password" matches ``password``, ``db_password`` and ``Password2``;
"api_key" matches ``X-Api-Key``, ``HTTP_X_API_KEY`` and ``apiKey``; "token"
matches ``access_token`` and ``csrftoken``, and also ``tokens`` and
``tokenizer``: a trace rather hides a harmless value than shows a secret.
Only text keys are read (a str, or a str subclass's own text, never its
methods); any other key names no credential.

The value under such a key is written as the mask, "***", without being
read: a dict's entry, a field of an object shown from its fields, a
keyword of a namespace, a frame's local or argument of that name. The HTTP
plugins mask header values and the values of URL query parameters by the
same names.

The keys in force are process-wide, like the serializer's limits:
set_scrub_keys() replaces them (the host profiler does so when it starts,
from its config key "scrub_keys"); an empty list masks nothing.
"""

from urllib.parse import unquote_plus

__all__ = ["MASK", "DEFAULT_SCRUB_KEYS", "checked_scrub_keys", "set_scrub_keys", "current_scrub_keys",
           "folded_scrub_keys", "add_listener", "is_credential_key", "masked_query"]

MASK = "***"
DEFAULT_SCRUB_KEYS = ("password", "passwd", "secret", "token", "api_key", "apikey", "authorization", "cookie",
                      "session", "csrf", "private_key")

# A key as it is compared: ASCII letters lowered, "_" and "-" dropped.
_FOLD = {**{code: code + 32 for code in range(ord("A"), ord("Z") + 1)}, ord("_"): None, ord("-"): None}
_translate = str.translate


def _folded(text):
    return _translate(text, _FOLD)


_keys = DEFAULT_SCRUB_KEYS
_folded_keys = tuple(dict.fromkeys(map(_folded, DEFAULT_SCRUB_KEYS)))
# Exact str key -> whether it names a credential: the same few keys come
# back on every event. Emptied when the keys change or it grows large.
_verdicts = {}
_MAX_VERDICTS = 4096
_listeners = []


def checked_scrub_keys(keys):
    """``keys`` (a list or tuple of str) as a tuple; raises ValueError for
    anything else, or a key that would match every key."""
    if type(keys) not in (list, tuple):
        raise ValueError(f"the scrub keys must be a list of names, not {type(keys).__name__}")
    for key in keys:
        if type(key) is not str:
            raise ValueError(f"a scrub key must be a str, not {type(key).__name__}")
        if not _folded(key):
            raise ValueError(f"the scrub key {key!r} has no letter or digit, and would match every key")
    return tuple(keys)


def current_scrub_keys():
    """The scrub keys in force, as given."""
    return _keys


def folded_scrub_keys():
    """The scrub keys in force as they are compared, without repeats."""
    return _folded_keys


def add_listener(callback):
    """Call ``callback()`` whenever the scrub keys change."""
    _listeners.append(callback)


def set_scrub_keys(keys):
    """Mask the values under ``keys`` from now on, in the whole process
    (an empty list masks nothing). Returns the keys in force before."""
    global _keys, _folded_keys
    previous = _keys
    _keys = checked_scrub_keys(keys)
    _folded_keys = tuple(dict.fromkeys(map(_folded, _keys)))
    _verdicts.clear()
    for callback in _listeners:
        callback()
    return previous


def _names_credential(text):
    folded = _folded(text)
    for key in _folded_keys:
        if key in folded:
            return True
    return False


def is_credential_key(key):
    """Whether the value under ``key`` is masked. Runs no code of the key's
    (a str subclass is read as the str it holds)."""
    if type(key) is str:
        verdict = _verdicts.get(key)
        if verdict is None:
            verdict = _names_credential(key)
            if len(_verdicts) >= _MAX_VERDICTS:
                _verdicts.clear()
            _verdicts[key] = verdict
        return verdict
    # issubclass on the exact type asks no metaclass of the key's.
    return issubclass(type(key), str) and _names_credential(key)


def masked_query(query):
    """A URL's query text with the value of each parameter whose name
    (percent-decoded) names a credential replaced by the mask; the rest as
    it was."""
    if not _folded_keys or type(query) is not str or not query:
        return query
    parameters = query.split("&")
    for index, parameter in enumerate(parameters):
        name, equals, _ = parameter.partition("=")
        if equals and is_credential_key(unquote_plus(name)):
            parameters[index] = f"{name}={MASK}"
    return "&".join(parameters)
