"""lumivex: GPU image processing on CuPy arrays.

Importing the package is cheap: CuPy and the native modules load only when a subpackage that needs them is imported.
"""

__version__ = "0.1.0"
