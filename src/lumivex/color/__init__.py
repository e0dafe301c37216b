"""Colour-order conversion (bgr)."""
