"""PyTorch checkpoints as users download them, made here with spandrel's own architecture classes at small sizes
and random weights: through the command with no flags each gives what its PyTorch module gives on the whole
image, within a level of 8 bits; the export is kept and a later load needs no torch; what cannot be a model is
refused in one line."""

import os
import re
import subprocess
import sys

import numpy as np
import pytest

torch = pytest.importorskip("torch")
spandrel = pytest.importorskip("spandrel")
Image = pytest.importorskip("PIL.Image")

from safetensors.torch import save_file
from spandrel.architectures.Compact import Compact
from spandrel.architectures.ESRGAN import ESRGAN
from spandrel.architectures.SPAN import SPAN
from spandrel.architectures.SwinIR import SwinIR

from lumivex.upscale import cli, models

# SwinIR's constructor calls torch.meshgrid the old way.
pytestmark = pytest.mark.filterwarnings("ignore:torch.meshgrid")


@pytest.fixture(autouse=True)
def own_cache(tmp_path, monkeypatch):
    """A cache folder of each test's own: the same weights in another test must not find an export made here."""
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))


def new_layout(old, scale):
    """An RRDB state dict in the key layout of Real-ESRGAN and BasicSR ("conv_first", "body.N.rdbK.convJ", ...)
    from spandrel's original ESRGAN layout ("model.0", "model.1.sub.N.RDBK.convJ.0", ...)."""
    last_upconv = 3 * int(np.log2(scale))
    new = {}
    for key, value in old.items():
        index, kind = int(key.split(".")[1]), key.rsplit(".", 1)[1]
        block = re.fullmatch(r"model\.1\.sub\.(\d+)\.RDB(\d)\.conv(\d)\.0\.(weight|bias)", key)
        if block:
            new[f"body.{block[1]}.rdb{block[2]}.conv{block[3]}.{block[4]}"] = value
        elif index == 0:
            new[f"conv_first.{kind}"] = value
        elif index == 1:
            new[f"conv_body.{kind}"] = value
        elif index <= last_upconv:
            new[f"conv_up{index // 3}.{kind}"] = value
        else:
            new[{last_upconv + 2: "conv_hr", last_upconv + 4: "conv_last"}[index] + f".{kind}"] = value
    return new


def rrdb(scale):
    return ESRGAN(in_nc=3, out_nc=3, num_filters=8, num_blocks=1, scale=scale)


# id: (the module, the factor, how its weights are laid out, the file's suffix)
CASES = {
    "ESRGAN, original keys, .pth": (lambda: rrdb(2), 2, lambda state: state, ".pth"),
    "ESRGAN, Real-ESRGAN keys, .safetensors": (lambda: rrdb(4), 4, lambda state: new_layout(state, 4),
                                               ".safetensors"),
    "RealESRGAN Compact, .safetensors": (lambda: Compact(num_in_ch=3, num_out_ch=3, num_feat=8, num_conv=2,
                                                         upscale=2), 2, lambda state: state, ".safetensors"),
    "SPAN, .pth": (lambda: SPAN(num_in_ch=3, num_out_ch=3, feature_channels=8, upscale=2), 2,
                   lambda state: {"params_ema": state}, ".pth"),
    "SwinIR, .pth": (lambda: SwinIR(img_size=16, in_chans=3, embed_dim=12, depths=[1], num_heads=[2],
                                    window_size=4, upscale=2, upsampler="pixelshuffledirect"), 2,
                     lambda state: state, ".pth"),
}


def save_checkpoint(path, module, layout=lambda state: state):
    state = layout({key: value.contiguous() for key, value in module.state_dict().items()})
    if path.suffix == ".safetensors":
        save_file(state, str(path))
    else:
        torch.save(state, path)
    return path


def made_module(case, seed=1):
    torch.manual_seed(seed)
    module = CASES[case][0]()
    # Random weights that stay near the identity's scale, so the images keep their detail.
    with torch.no_grad():
        for parameter in module.parameters():
            parameter.mul_(0.5)
    return module


def photo(height, width):
    rng = np.random.default_rng(7)
    y, x = np.mgrid[0:height, 0:width] / 23.0
    planes = [0.5 + 0.35 * np.sin(x * (0.6 + 0.3 * k) + y * (1.1 - 0.2 * k)) for k in range(3)]
    pixels = np.stack(planes, axis=2) + 0.08 * rng.standard_normal((height, width, 3))
    return (np.clip(pixels, 0, 1) * 255 + 0.5).astype(np.uint8)


def whole_image_run(checkpoint, pixels, multiple):
    """The checkpoint's module as spandrel runs it, on the whole image, rounded to 8 bits. On sides that are
    no multiple of the blocks a network works in, it sees the image with its last row and column repeated."""
    descriptor = spandrel.ModelLoader().load_from_file(checkpoint)
    height, width, _ = pixels.shape
    padded = np.pad(pixels, ((0, -height % multiple), (0, -width % multiple), (0, 0)), mode="edge")
    batch = torch.from_numpy(padded.astype(np.float32) / 255).permute(2, 0, 1)[None]
    result = descriptor(batch)[0].permute(1, 2, 0).numpy()
    scale = descriptor.scale
    return (np.clip(result, 0, 1) * 255 + 0.5).astype(np.uint8)[:scale * height, :scale * width]


@pytest.mark.parametrize("case", CASES)
def test_a_checkpoint_upscales_through_the_command_as_its_module_does(tmp_path, monkeypatch, capsys, case):
    _, factor, layout, suffix = CASES[case]
    monkeypatch.chdir(tmp_path)
    pixels = photo(102, 87)  # odd sides, and more than one window each way
    Image.fromarray(pixels).save("photo.png")
    checkpoint = save_checkpoint(tmp_path / f"net{suffix}", made_module(case), layout)

    assert cli.main(["photo.png", "--model", checkpoint.name, "--tile-size", "64"]) == 0, capsys.readouterr().err
    said = capsys.readouterr().out
    architecture = case.split(",")[0]
    assert re.search(rf"model: net{re.escape(suffix)}: {architecture} x{factor}, [\d,]+ parameters", said), said
    with Image.open(f"photo_x{factor}.png") as result:  # the factor the file states names the output
        tiled = np.asarray(result)
    # SwinIR's window attention works in blocks of its window (4) from the origin.
    expected = whole_image_run(checkpoint, pixels, 4 if case.startswith("SwinIR") else 1)
    assert tiled.shape == expected.shape
    assert np.abs(tiled.astype(int) - expected).max() <= 1


def test_a_loaded_export_is_kept_and_a_later_load_needs_no_torch(tmp_path):
    checkpoint = save_checkpoint(tmp_path / "compact.pth", made_module("RealESRGAN Compact, .safetensors"))
    first = models.load_model(checkpoint)
    assert "ONNX export made now" in first.description and "measured now" in first.description
    assert "sides multiple" not in first.description  # a network that takes any side
    script = ("import sys, lumivex.cpu_fallback as f; f.install_cupy_standin(); from lumivex.upscale import models; "
              "m = models.load_model(sys.argv[1]); print(m.description); print('torch' in sys.modules)")
    completed = subprocess.run([sys.executable, "-P", "-c", script, str(checkpoint)], capture_output=True,
                               text=True, env=os.environ, timeout=120)
    assert completed.returncode == 0, completed.stderr
    description, imported = completed.stdout.splitlines()
    assert "ONNX export from the cache" in description and "from the cache)" in description
    assert imported == "False"
    assert completed.stderr == ""  # nothing slow to announce


def test_a_network_that_does_not_export_runs_on_pytorch_says_so_and_is_not_exported_again(tmp_path, monkeypatch,
                                                                                          capsys):
    monkeypatch.chdir(tmp_path)
    pixels = photo(90, 75)
    Image.fromarray(pixels).save("photo.png")
    checkpoint = save_checkpoint(tmp_path / "swinir.pth", made_module("SwinIR, .pth"))
    tries = []

    def refuse(*args, **kwargs):
        tries.append(args)
        raise RuntimeError("Exporting the operator 'aten::example' to ONNX opset version 17 is not supported")

    monkeypatch.setattr(torch.onnx, "export", refuse)
    assert cli.main(["photo.png", "--model", checkpoint.name, "--tile-size", "48"]) == 0, capsys.readouterr().err
    said = capsys.readouterr().out
    assert "on PyTorch cpu float32" in said
    assert "note: runs on PyTorch, not ONNX Runtime: torch could not export" in said
    with Image.open("photo_x2.png") as result:
        assert np.abs(np.asarray(result).astype(int) - whole_image_run(checkpoint, pixels, 4)).max() <= 1

    again = models.load_model(checkpoint)
    assert isinstance(again, models.TorchModel) and len(tries) == 1
    # Its windows must start on multiples of its attention windows (4), which spandrel does not state.
    assert (again.scale, again.multiple, again.contract.minimum) == (2, 4, 16)
    assert "from the cache" in again.description


def test_without_a_cache_folder_a_checkpoint_runs_on_pytorch_and_says_why(tmp_path, monkeypatch):
    checkpoint = save_checkpoint(tmp_path / "compact.pth", made_module("RealESRGAN Compact, .safetensors"))
    monkeypatch.setattr(models.cache, "folder", lambda: None)  # a user without a home folder
    model = models.load_model(checkpoint)
    assert isinstance(model, models.TorchModel)
    assert model.notice == "runs on PyTorch, not ONNX Runtime: there is no cache folder to keep an export in"


class Payload:
    """Pickles as a call of os.mkdir: loading a file that holds one would make the folder."""

    def __init__(self, folder):
        self.folder = folder

    def __reduce__(self):
        return os.mkdir, (str(self.folder),)


@pytest.mark.parametrize("kind", ["code", "unknown weights", "damaged weights", "not a checkpoint", "no torch"])
def test_what_cannot_be_a_model_is_refused_in_one_line(tmp_path, monkeypatch, capsys, kind):
    monkeypatch.chdir(tmp_path)
    Image.fromarray(photo(20, 20)).save("photo.png")
    checkpoint = tmp_path / "model.pth"
    if kind == "code":
        torch.save({"conv.weight": torch.zeros(3, 3, 3, 3), "extra": Payload(tmp_path / "ran")}, checkpoint)
    elif kind == "unknown weights":
        torch.save({"encoder.weight": torch.zeros(3, 3)}, checkpoint)
    elif kind == "damaged weights":  # an ESRGAN by its keys, one of whose layers has the wrong shape
        state = rrdb(2).state_dict()
        state["model.0.weight"] = torch.zeros(8, 3, 5, 5)
        torch.save(state, checkpoint)
    elif kind == "not a checkpoint":
        checkpoint.write_bytes(b"\x89PNG not weights")
    else:
        save_checkpoint(checkpoint, made_module("SPAN, .pth"))
        monkeypatch.setitem(sys.modules, "spandrel", None)  # as where the extra is not installed

    assert cli.main(["photo.png", "--model", checkpoint.name]) == cli.EXIT_USAGE
    error = capsys.readouterr().err.strip().splitlines()[-1]
    expected = {"code": "refused: the file holds more than weights", "unknown weights": "spandrel knows no "
                "architecture", "damaged weights": "spandrel could not build its network",
                "not a checkpoint": "not a readable checkpoint",
                "no torch": 'pip install "lumivex[torch]"'}[kind]
    assert error.startswith("lumivex-upscale: error: model.pth: ") and expected in error, error
    assert not (tmp_path / "ran").exists()
    assert not (tmp_path / "photo_x2.png").exists()


@pytest.mark.parametrize("purpose, named", [("FaceSR", "a face restoration network"),
                                            ("Inpainting", "an inpainting network")])
def test_face_restorers_and_inpainting_networks_are_refused_by_name(purpose, named):
    from lumivex.upscale.models import checkpoint

    # Such checkpoints are hundreds of megabytes: spandrel's descriptor of one, around a small module.
    kind = spandrel.MaskedImageModelDescriptor if purpose == "Inpainting" else spandrel.ImageModelDescriptor
    architecture = spandrel.MAIN_REGISTRY["LaMa" if purpose == "Inpainting" else "GFPGAN"].architecture
    module = torch.nn.Conv2d(3, 3, 1)
    options = {} if purpose == "Inpainting" else {"scale": 1}
    descriptor = kind(module, module.state_dict(), architecture=architecture, purpose=purpose, tags=[],
                      supports_half=False, supports_bfloat16=False, input_channels=3, output_channels=3, **options)
    with pytest.raises(models.NetworkMismatch, match=f"^face.pth: .* is {named}, not an image upscaling"):
        checkpoint._describe(descriptor, "face.pth")
