"""Tiled processing for upscaling large images (tile, native)."""
