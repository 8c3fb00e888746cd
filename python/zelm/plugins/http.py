"""What the two HTTP plugins (outbound_http, inbound_http) share: header
values and query parameters that carry credentials masked, by the names
the serializer masks values under (zelm.serialize.scrub), an exception as
one bounded line, a duration as its records read.
"""

from zelm.plugins.frames import bounded
from zelm.serialize.scrub import MASK, is_credential_key, masked_query
from zelm.text import duration_text

__all__ = ["MASK", "masked", "masked_query", "latin1_text", "error_text", "took"]

# Headers whose value starts with the scheme of the credential that follows.
_SCHEME_HEADERS = frozenset({"authorization", "proxy-authorization"})
_MAX_ERROR_TEXT = 500


def masked(name, value):
    """A header's value, or the mask when its name names a credential."""
    if not (isinstance(name, (str, bytes)) and is_credential_key(latin1_text(name))):
        return value
    # "Basic ***": the scheme says how the client authenticated, and is no secret.
    scheme, space, _ = latin1_text(value).partition(" ") if isinstance(value, (str, bytes)) else ("", "", "")
    if space and latin1_text(name).lower() in _SCHEME_HEADERS:
        return f"{scheme} {MASK}"
    return MASK


def latin1_text(value):
    return value.decode("latin-1") if isinstance(value, bytes) else value


def error_text(error):
    """"Type: message" of an exception, bounded; builtin types unqualified."""
    if error is None:
        return None
    try:
        kind = type(error)
        name = kind.__qualname__ if kind.__module__ == "builtins" else f"{kind.__module__}.{kind.__qualname__}"
        try:
            message = str(error)
        except Exception:
            message = "<unprintable>"
    except Exception:
        return None
    return bounded(f"{name}: {message}" if message else name, _MAX_ERROR_TEXT)


def took(duration):
    return f" in {duration_text(duration)}" if isinstance(duration, (int, float)) and duration >= 0 else ""
