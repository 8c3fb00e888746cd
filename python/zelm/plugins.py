"""Plugin definitions handed to the native profiler.

The native module calls load_plugin_data(config) once per profiler and turns
every definition dict it returns into processors keyed by function name.
Each definition is made by a builder below, which sees the profiler's config
and returns the definition dict, or None when that config leaves the plugin
out. No plugins are defined yet.
"""

# Builders of plugin definitions, each a callable taking the config dict and
# returning a definition dict or None.
_DEFINITION_BUILDERS = ()


def load_plugin_data(config):
    """Return a new list of the plugin definition dicts enabled by ``config``.

    This must not raise: the native profiler treats any failure here as an
    internal error.
    """
    definitions = []
    for build_definition in _DEFINITION_BUILDERS:
        definition = build_definition(config)
        if definition is not None:
            definitions.append(definition)
    return definitions
