"""Models by name, fetched from a real HTTP server on the loopback that serves files made here: downloaded once
into the cache folder, resumed after a transfer that breaks off, refused (and nothing kept) when the server
answers 404 or sends a file whose digest is not the catalogue's; two fetches at once end with one good copy."""

import hashlib
import re
import http.server
import socket
import threading
import time

import pytest

from lumivex.upscale import models
from lumivex.upscale.models import catalogue, download

torch = pytest.importorskip("torch")
pytest.importorskip("spandrel")


class Server(http.server.ThreadingHTTPServer):
    """Serves `files` (name -> bytes) with range requests; `break_once` names files whose first full transfer
    stops halfway, `slow` files sent in small pieces; a range of a file in `ranges` (name -> "refused" or
    "ignored") is answered with 416, or with the whole file; `requests` records (path, Range header) of each
    request."""

    def __init__(self):
        super().__init__(("127.0.0.1", 0), Handler)
        self.files, self.break_once, self.slow, self.ranges, self.requests = {}, set(), set(), {}, []

    @property
    def url(self):
        return f"http://127.0.0.1:{self.server_address[1]}/models"


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        server = self.server
        name = self.path.rsplit("/", 1)[-1]
        asked = self.headers.get("Range")
        server.requests.append((name, asked))
        body = server.files.get(name)
        if body is None:
            self.send_error(404)
            return
        if asked and server.ranges.get(name) == "refused":
            self.send_error(416)
            return
        if server.ranges.get(name) == "ignored":
            asked = None
        start = int(asked.removeprefix("bytes=").rstrip("-")) if asked else 0
        self.send_response(206 if asked else 200)
        self.send_header("Content-Length", str(len(body) - start))
        if asked:
            self.send_header("Content-Range", f"bytes {start}-{len(body) - 1}/{len(body)}")
        self.end_headers()
        part = body[start:]
        if name in server.break_once and not asked:
            server.break_once.discard(name)
            self.wfile.write(part[:len(part) // 2])  # and the connection closes, the length not reached
            return
        pieces = 8 if name in server.slow else 1
        for index in range(pieces):
            self.wfile.write(part[index * len(part) // pieces:(index + 1) * len(part) // pieces])
            self.wfile.flush()
            time.sleep(0.05 if name in server.slow else 0)

    def log_message(self, *args):
        pass


@pytest.fixture
def server(tmp_path, monkeypatch):
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
    serving = Server()
    thread = threading.Thread(target=serving.serve_forever, daemon=True)
    thread.start()
    monkeypatch.setenv(catalogue.MIRROR_ENV, serving.url)
    yield serving
    serving.shutdown()
    serving.server_close()


def checkpoint_bytes(tmp_path, seed=0):
    from spandrel.architectures.Compact import Compact

    torch.manual_seed(seed)
    module = Compact(num_in_ch=3, num_out_ch=3, num_feat=8, num_conv=2, upscale=2)
    path = tmp_path / f"made-{seed}.pth"
    torch.save(module.state_dict(), path)
    return path.read_bytes()


def entry_for(name, body, file_name=None):
    return catalogue.Entry(name, "a test network", 2, "Compact", "MIT",
                           f"https://models.invalid/files/{file_name or name + '.pth'}", len(body),
                           hashlib.sha256(body).hexdigest())


def test_a_model_by_name_is_downloaded_once_and_listed_as_cached(tmp_path, server, monkeypatch):
    body = checkpoint_bytes(tmp_path)
    wanted, other = entry_for("2x-test-Compact", body), entry_for("4x-elsewhere", b"not fetched")
    server.files[wanted.file_name] = body
    monkeypatch.setattr(catalogue, "ENTRIES", (wanted, other))
    assert "cached" not in catalogue.listing()

    model = models.load_model("2x-TEST-compact")  # the name in any case
    assert model.scale == 2 and model.description.startswith("2x-test-Compact.pth: RealESRGAN Compact x2")
    again = models.load_model("2x-test-compact")
    assert again.description.startswith("2x-test-Compact.pth:")
    assert server.requests == [("2x-test-Compact.pth", None)]
    kept = download.models_folder() / "2x-test-Compact.pth"
    assert kept.read_bytes() == body and sorted(p.name for p in kept.parent.iterdir()) == [
        ".2x-test-Compact.pth.lock", "2x-test-Compact.pth"]
    lines = catalogue.listing().splitlines()
    assert str(download.models_folder()) in lines[0]
    assert [line.split()[0] for line in lines[1:]] == ["2x-test-Compact", "4x-elsewhere"]
    assert "cached" in lines[1] and "cached" not in lines[2] and "MIT" in lines[2]


@pytest.mark.parametrize("ranges", ["taken", "refused", "ignored"])
def test_a_transfer_that_breaks_off_is_resumed_from_where_it_stopped(tmp_path, server, ranges):
    body = checkpoint_bytes(tmp_path)
    entry = entry_for("broken", body)
    server.files[entry.file_name] = body
    server.break_once.add(entry.file_name)
    server.ranges[entry.file_name] = ranges  # where not taken, the download starts again from the first byte

    path, digest = download.fetch(entry)
    assert path.read_bytes() == body and digest == entry.sha256
    half = (len(body) // 2)
    assert server.requests == [("broken.pth", None), ("broken.pth", f"bytes={half}-")] + [
        ("broken.pth", None)] * (ranges == "refused")


@pytest.mark.parametrize("kind", ["wrong digest", "404", "no server"])
def test_a_download_that_fails_is_one_line_and_nothing_is_kept(tmp_path, server, monkeypatch, kind):
    body = checkpoint_bytes(tmp_path)
    entry = entry_for("wanted", body)
    if kind == "wrong digest":
        server.files[entry.file_name] = body[:-1] + bytes([body[-1] ^ 1])
    elif kind == "no server":
        with socket.socket() as closed:  # a port nothing listens on: the connection is refused
            closed.bind(("127.0.0.1", 0))
            port = closed.getsockname()[1]
        monkeypatch.setenv(catalogue.MIRROR_ENV, f"http://127.0.0.1:{port}/models")
    monkeypatch.setattr(catalogue, "ENTRIES", (entry,))

    with pytest.raises(models.DownloadError) as raised:
        models.load_model("wanted")
    message = str(raised.value)
    assert "\n" not in message and message.startswith("wanted: ")
    expected = {"wrong digest": f"SHA-256 {hashlib.sha256(server.files.get('wanted.pth', b'')).hexdigest()}, not",
                "404": "answered HTTP 404", "no server": "could not download http://127.0.0.1:"}
    assert expected[kind] in message, message
    assert [p.name for p in download.models_folder().iterdir() if not p.name.endswith(".lock")] == []


def test_two_fetches_at_once_end_with_one_good_copy(tmp_path, server):
    body = checkpoint_bytes(tmp_path)
    entry = entry_for("shared", body)
    server.files[entry.file_name] = body
    server.slow.add(entry.file_name)
    results, errors = [], []

    def fetch():
        try:
            results.append(download.fetch(entry, progress=False))
        except Exception as error:  # reported below
            errors.append(error)

    threads = [threading.Thread(target=fetch) for _ in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=60)
    assert errors == [] and len(results) == 2 and results[0] == results[1]
    assert results[0][0].read_bytes() == body
    assert server.requests == [("shared.pth", None)]  # the second found the first's copy


def test_the_catalogue_lists_only_openly_licensed_models_under_the_databases_ids():
    names = [entry.name.lower() for entry in catalogue.ENTRIES]
    assert catalogue.ENTRIES and len(set(names)) == len(names)
    for entry in catalogue.ENTRIES:
        assert entry.name.startswith(f"{entry.scale}x-")  # OpenModelDB's ids begin with the factor
        assert entry.licence in ("MIT", "Apache-2.0", "BSD-3-Clause", "BSD-2-Clause", "CC0-1.0", "CC-BY-4.0")
        assert re.fullmatch(r"[0-9a-f]{64}", entry.sha256) and entry.size > 0
        assert entry.url.startswith("https://") and entry.file_name.endswith((".pth", ".safetensors"))


def test_the_command_lists_the_catalogue_and_upscales_with_a_model_by_name(tmp_path, server, monkeypatch, capsys):
    from PIL import Image

    from lumivex.testing.networks import write_placeholder_network
    from lumivex.upscale import cli

    body = write_placeholder_network(tmp_path / "made.onnx", 2).read_bytes()
    entry = entry_for("2x-test-named", body, "2x-test-named.onnx")
    server.files[entry.file_name] = body
    monkeypatch.setattr(catalogue, "ENTRIES", (entry,))
    with pytest.raises(SystemExit) as listed:
        cli.main(["--list-models"])
    assert listed.value.code == 0 and "2x-test-named" in capsys.readouterr().out

    Image.new("RGB", (12, 10), (40, 90, 200)).save(tmp_path / "in.png")
    assert cli.main([str(tmp_path / "in.png"), str(tmp_path / "out.png"), "--model", "2x-test-named"]) == 0
    assert Image.open(tmp_path / "out.png").size == (24, 20)
    assert cli.main([str(tmp_path / "in.png"), str(tmp_path / "o2.png"), "--model", "no-such-name"]) == 2
    assert "no-such-name: no such model file" in capsys.readouterr().err
