"""The commit of the installed zelm source, written into every trace document.

Read once at import from the environment variable ZELM_COMMIT_SHA (set by a
build or deployment that knows it); None when unknown. Import must stay cheap
and free of side effects, so no git command is run.
"""

import os

COMMIT_SHA = os.environ.get("ZELM_COMMIT_SHA", "").strip() or None
