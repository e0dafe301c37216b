"""Geometric transforms (resize)."""
