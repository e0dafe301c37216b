"""Models by name: the networks `--model NAME` (and `load_model(NAME)`) downloads once into the cache folder.

Each entry is what the community database OpenModelDB publishes for it (its `data/models/*.json` files: the
entry's id as the name, licence, architecture, scale, the file's URL, size and SHA-256), limited to models whose
licence allows use. The sizes and digests were not measured here (no network but the package index): they
are the database's, and each of them is also what independent projects pin for the same release file. A
download that does not match them is refused, so a wrong value can only refuse a file, never pass one.

`LUMIVEX_MODEL_URL` points the catalogue at a mirror: a file is then fetched from that URL followed by "/" and
its file name.
"""

import dataclasses
import os
import urllib.parse

MIRROR_ENV = "LUMIVEX_MODEL_URL"


@dataclasses.dataclass(frozen=True)
class Entry:
    """One model by name: `name` (its OpenModelDB id), `purpose` (one line), `scale`, `architecture`,
    `licence` (SPDX), `url` of the file, its `size` in bytes and `sha256` (hex)."""

    name: str
    purpose: str
    scale: int
    architecture: str
    licence: str
    url: str
    size: int
    sha256: str

    @property
    def file_name(self):
        """The name of the file as published (the last part of its URL), which the cache keeps it under."""
        return urllib.parse.unquote(urllib.parse.urlsplit(self.url).path.rsplit("/", 1)[-1])

    def source(self, mirror=None):
        """Where to fetch the file: `mirror` (or $LUMIVEX_MODEL_URL) followed by its name, else its own URL."""
        mirror = os.environ.get(MIRROR_ENV) if mirror is None else mirror
        if not mirror:
            return self.url
        return f"{mirror.rstrip('/')}/{urllib.parse.quote(self.file_name)}"


_RELEASES = "https://github.com/xinntao/Real-ESRGAN/releases/download"

ENTRIES = (
    Entry("4x-realesrgan-x4plus", "photos and general images, with JPEG and noise removal", 4, "ESRGAN",
          "BSD-3-Clause", f"{_RELEASES}/v0.1.0/RealESRGAN_x4plus.pth", 67040989,
          "4fa0d38905f75ac06eb49a7951b426670021be3018265fd191d2125df9d682f1"),
    Entry("2x-realesrgan-x2plus", "photos and general images, with JPEG and noise removal", 2, "ESRGAN",
          "BSD-3-Clause", f"{_RELEASES}/v0.2.1/RealESRGAN_x2plus.pth", 67061725,
          "49fafd45f8fd7aa8d31ab2a22d14d91b536c34494a5cfe31eb5d89c2fa266abb"),
    Entry("4x-realesrgan-x4plus-anime-6b", "anime and drawings (6 blocks: smaller and faster)", 4, "ESRGAN",
          "BSD-3-Clause", f"{_RELEASES}/v0.2.2.4/RealESRGAN_x4plus_anime_6B.pth", 17938799,
          "f872d837d3c90ed2e05227bed711af5671a6fd1c9f7d7e91c911a61f155e99da"),
    Entry("4x-realesr-general-x4v3", "photos and general images, a small fast network", 4, "Compact",
          "BSD-3-Clause", f"{_RELEASES}/v0.2.5.0/realesr-general-x4v3.pth", 4885111,
          "8dc7edb9ac80ccdc30c3a5dca6616509367f05fbc184ad95b731f05bece96292"),
)


def find(name, entries=None):
    """The entry called `name` (case does not matter), or None."""
    wanted = str(name).lower()
    return next((entry for entry in (ENTRIES if entries is None else entries) if entry.name.lower() == wanted),
                None)


def listing(entries=None):
    """The text `lumivex-upscale --list-models` prints: one line per model (name, scale, architecture, size,
    licence, whether it is in the cache already, purpose) under a line saying where the cache is."""
    from . import download

    entries = ENTRIES if entries is None else entries
    where = download.models_folder()
    lines = [f"Models by name (--model NAME downloads one once into {where or 'the cache folder'}):"]
    width = max((len(entry.name) for entry in entries), default=0)
    for entry in entries:
        cached = "cached" if download.cached_path(entry) is not None else "      "
        lines.append(f"  {entry.name:<{width}}  x{entry.scale}  {entry.architecture:<8} "
                     f"{entry.size / 1e6:6.1f} MB  {entry.licence:<13} {cached}  {entry.purpose}")
    return "\n".join(lines)
