"""lumivex: GPU image processing on CuPy arrays.

Importing the package is cheap: CuPy and the native modules load only when a subpackage that needs them is imported.
"""

__version__ = "0.1.0"  # the one place the version is written; the build reads it from here
