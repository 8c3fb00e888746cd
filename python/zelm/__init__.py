"""zelm: a tracing profiler recording every Python call and return.

The compiled module zelm._zelm does the recording; this package configures
it (Profiler), serialises values for it (zelm.serialize) and stores the
traces it produces (zelm.db). Importing zelm does not load zelm._zelm.
"""

from zelm.profiler import Profiler
from zelm.version import __version__

__all__ = ["Profiler", "__version__"]
