"""The roads of the upscaler, one per kind of file: still images, animated images, videos."""
