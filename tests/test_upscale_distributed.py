"""The distributed road on one local Ray instance with two CPU workers: the single-process tool's bytes,
nothing done twice, a corrupt file or a worker killed mid-run does not stop the rest, and another run's claim
is respected."""

import os
import re
import signal
import subprocess
import sys

import numpy as np
import pytest

# A GPU machine without a network may lack the optional packages; there these tests skip with a reason.
png = pytest.importorskip("png")
ray = pytest.importorskip("ray")
Image = pytest.importorskip("PIL.Image")
pytest.importorskip("onnx")
pytest.importorskip("onnxruntime")

from lumivex.upscale import Settings, claims, cli, distributed, plan, runner, upscale_file


@pytest.fixture(scope="module", autouse=True)
def local_ray():
    ray.init(address="local", num_cpus=2, include_dashboard=False, log_to_driver=False)
    yield
    ray.shutdown()


def make_photos(folder, count):
    """`count` small images, cycling through pixel formats the tool keeps: 8-bit RGB, RGBA, grey, JPEG,
    16-bit RGBA."""
    folder.mkdir()
    rng = np.random.default_rng(1)
    for index in range(count):
        height, kind = 12 + index, index % 5
        if kind == 4:
            pixels = rng.integers(0, 65536, (height, 17 * 4), dtype=np.uint16)
            with open(folder / f"{index}.png", "wb") as file:
                png.Writer(17, height, greyscale=False, alpha=True, bitdepth=16).write(file, pixels)
            continue
        planes = (3, 4, 1, 3)[kind]
        pixels = rng.integers(0, 256, (height, 17, planes), dtype=np.uint8)
        Image.fromarray(pixels[:, :, 0] if planes == 1 else pixels).save(
            folder / f"{index}.{'jpg' if kind == 3 else 'png'}")
    return folder


def snapshot(folder):
    return {path: path.read_bytes() for path in sorted(folder.iterdir())}


def test_same_bytes_as_one_process_and_a_rerun_writes_nothing(tmp_path, monkeypatch, capsys, network):
    monkeypatch.chdir(tmp_path)
    make_photos(tmp_path / "photos", 8)
    assert cli.main(["photos", "alone", "--model", network]) == 0
    assert cli.main(["photos", "shared", "--model", network, "--workers", "2"]) == 0
    assert len(re.findall(r"^wrote shared/\S+ \(.+, x2\) in ", capsys.readouterr().out, re.MULTILINE)) == 8
    alone, shared = snapshot(tmp_path / "alone"), snapshot(tmp_path / "shared")
    assert [path.name for path in shared] == [path.name for path in alone] and len(alone) == 8
    assert list(shared.values()) == list(alone.values())

    written = {path: path.stat().st_mtime_ns for path in shared}
    assert cli.main(["photos", "shared", "--model", network, "--workers", "2"]) == 0
    # Planned before the outputs existed, as by a run beside this one: the workers find them done.
    jobs = plan(tmp_path / "photos", tmp_path / "shared", 2, overwrite=True).jobs
    results = distributed.upscale_jobs(jobs, Settings(network, 2), workers=2)
    assert {result.status for result in results} == {runner.EXISTS}
    assert {path: path.stat().st_mtime_ns for path in snapshot(tmp_path / "shared")} == written


def model_killing_its_worker(network, marker):
    """A model factory for the workers: the first worker to reach its second file dies there (SIGKILL, as
    from the out-of-memory killer), once in the whole run; every other call upscales."""
    def make():
        from lumivex.upscale import Settings, Upscaler

        model = Settings(network, 2).load().model
        calls = []

        def run(batch):
            calls.append(None)
            if len(calls) == 2:
                try:
                    os.close(os.open(marker, os.O_CREAT | os.O_EXCL))
                except FileExistsError:
                    pass
                else:
                    os.kill(os.getpid(), signal.SIGKILL)
            return model(batch)
        return Upscaler(run, scale=2)
    return make


def test_a_corrupt_file_and_a_killed_worker_leave_the_rest_done(tmp_path, network):
    photos = make_photos(tmp_path / "photos", 8)
    whole = (photos / "0.png").read_bytes()
    (photos / "0.png").write_bytes(whole[:len(whole) // 2])  # the header reads; the pixels do not
    (tmp_path / "out").mkdir()
    planned = plan(photos, tmp_path / "out", 2)
    assert len(planned.jobs) == 8  # the corrupt file only shows when its pixels are read

    marker = tmp_path / "killed"
    with claims.holding(tmp_path / "out" / "7.png") as held:  # as by another run, beside this one
        assert held
        results = distributed.upscale_jobs(planned.jobs, model_killing_its_worker(network, str(marker)), workers=2)
    assert marker.exists()
    assert [result.job for result in results] == planned.jobs
    failed = {result.job.source.name: result.error for result in results if result.status == runner.FAILED}
    assert failed == {"0.png": "not a readable image (image file is truncated)"}
    assert results[7].status == runner.CLAIMED
    # The claim of the killed worker was broken by Ray's retry, which wrote its file; nothing was left behind.
    assert not [path for path in (tmp_path / "out").iterdir() if path.name.startswith(".")]

    reference = tmp_path / "reference"
    reference.mkdir()
    upscaler = Settings(network, 2).load()
    for job in planned.jobs:
        if job.source.name not in ("0.png", "7.png"):
            upscale_file(job.source, reference / job.source.name, upscaler)
    assert list(snapshot(tmp_path / "out").values()) == list(snapshot(reference).values())


def test_ray_is_imported_only_by_the_distributed_road(tmp_path, network):
    Image.new("RGB", (8, 6)).save(tmp_path / "a.png")
    script = ("import sys, lumivex, lumivex.upscale.cli as cli; "
              f"status = cli.main([{str(tmp_path / 'a.png')!r}, {str(tmp_path / 'b.png')!r}, "
              f"'--model', {network!r}]); "
              "sys.exit(status or 'ray' in sys.modules)")
    completed = subprocess.run([sys.executable, "-P", "-c", script], capture_output=True, text=True)
    assert completed.returncode == 0, completed.stderr
    assert (tmp_path / "b.png").exists()


def test_a_ray_instance_the_road_started_is_stopped_when_it_returns(tmp_path, network):
    Image.new("RGB", (8, 6)).save(tmp_path / "a.png")
    script = ("import sys, ray, lumivex.cpu_fallback; lumivex.cpu_fallback.install_cupy_standin(); "
              "from lumivex.upscale import Settings, distributed, plan, runner; "
              f"planned = plan({str(tmp_path / 'a.png')!r}, {str(tmp_path / 'b.png')!r}, 2); "
              f"results = distributed.upscale_jobs(planned.jobs, Settings({network!r}, 2), workers=1); "
              "sys.exit(results[0].status != runner.WRITTEN or ray.is_initialized())")
    completed = subprocess.run([sys.executable, "-P", "-c", script], capture_output=True, text=True)
    assert completed.returncode == 0, completed.stderr


def model_counting_frames(network, log):
    """A model factory for the workers: the network on whole frames, one a call, each call noted in `log` with
    the worker's process id, and slow enough that both workers are at the video at once."""
    def make():
        import dataclasses
        import os
        import time

        from lumivex.upscale import Settings

        upscaler = Settings(network, 2, tile_size=256, batch_size=1).load()
        model = upscaler.model

        def run(batch):
            with open(log, "a") as file:
                file.write(f"{os.getpid()}\n")
            time.sleep(0.05)
            return model(batch)
        return dataclasses.replace(upscaler, model=run)
    return make


def test_two_workers_share_the_segments_of_one_video(tmp_path, network):
    from lumivex.testing.videos import frames_and_times, write_clip

    source = write_clip(tmp_path / "clip.mp4", frames=48, size=(96, 64))  # 8 segments of 6 frames
    upscale_file(source, tmp_path / "alone.mp4", Settings(network, 2).load())
    log = tmp_path / "calls"
    results = distributed.upscale_jobs(plan(source, tmp_path / "shared.mp4", 2).jobs,
                                       model_counting_frames(network, str(log)), workers=2)
    assert [result.status for result in results] == [runner.WRITTEN]  # one Result for the file
    assert results[0].segments == (8, 8)
    workers = log.read_text().split()
    assert len(workers) == 48 and len(set(workers)) == 2  # every frame once, by both workers
    times, frames = frames_and_times(tmp_path / "shared.mp4")
    alone_times, alone_frames = frames_and_times(tmp_path / "alone.mp4")
    assert times == alone_times
    assert np.abs(frames.astype(np.int16) - alone_frames).mean(axis=(1, 2, 3)).max() < 3  # x264's noise only
    assert sorted(path.name for path in tmp_path.iterdir()) == ["alone.mp4", "calls", "clip.mp4", "shared.mp4"]
