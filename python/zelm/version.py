"""The package version, written into every trace document's "meta"."""

# Keep equal to the version in pyproject.toml.
__version__ = "0.1.0"
