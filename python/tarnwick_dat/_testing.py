"""Private helpers for the package's own tests and benchmark: the archive
writer (whole archives and damaged ones) and synthetic sample archives."""

from ._native import _testing as _impl

ArchiveBuilder = _impl.ArchiveBuilder
write_sample_archive = _impl.write_sample_archive
