"""Array helpers: dtype conversion (dtypes) and layout/batch conversion (shapery, native)."""
