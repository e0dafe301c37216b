"""ONNX networks run by ONNX Runtime as upscaling models, whatever the file's own contract.

At load the graph states names, element types, layout, channels and fixed sizes (contract.py); a probe on small
inputs finds the factor, the side multiple and the context a window needs (probe.py), once per file: the
findings are cached by the file's digest (cache.py). Every call then goes through the adapter (adapter.py).

With `onnxruntime-gpu` and a CUDA device the network runs on the CUDA execution provider and reads and writes
CuPy memory directly through I/O binding (no host round trip), in fp16 on devices with tensor cores (compute
capability 7.0 or newer); cuDNN searches every convolution's fastest algorithm once per input shape where the
road keeps one window shape (`one_shape`), and takes its heuristic's choice where shapes vary. Where ONNX
Runtime has the TensorRT provider, TensorRT runs the network, its engines kept in the cache folder under a key
of everything an engine depends on (`engine_folder`), so that no engine is built twice. Otherwise it runs on
the CPU provider: on the NumPy stand-in that is the natural place; on a GPU machine whose ONNX Runtime lacks
CUDA the batches are copied to the host and back, which `notice` says. The context a window needs is measured
with the file's own arithmetic (an fp32 network in fp32, without TF32), so rounding never passes for missing
context.
"""

import dataclasses
import hashlib
import pathlib
import time

import cupy as cp
import numpy as np

from ..messages import first_line
from . import cache
from .adapter import Adapter
from .contract import VALUE_RANGES, read_graph
from .errors import DeviceOutOfMemory, NetworkError, NetworkMismatch
from .precision import FallBack
from .probe import BRIGHTNESS_DOUBT, Findings, announce_probe, measure_radius, probe_geometry

FP16_COMPUTE_CAPABILITY = 70
_OOM_MESSAGES = ("out of memory", "failed to allocate")


class OnnxModel:
    """Callable NCHW float32 [0, 1] RGB CuPy batch (C 1, 3 or 4, any N, h, w up to `window`) -> NCHW float32
    CuPy batch `scale` times larger, from an ONNX file.

    `value_range` 255 says the network takes and gives 0-255 (None: its metadata "value_range", else 0-1);
    `bgr` that it takes and gives BGR; `fp16` None chooses by device (fp16 where CUDA has tensor cores), True
    asks for the fp16 conversion on any provider that runs it (the CPU's included); a batch whose fp16 result
    is broken runs again at fp32 (`fell_back` counts them, see precision.py); `threads` caps the CPU threads of one
    network call (None: ONNX Runtime's default, one per core); `shared_cores` keeps those threads from spinning
    while they wait, as the network shares the cores with the road's other work (a video's codecs, an image's
    encoder; False: ONNX Runtime's default, for a network that has the machine to itself);
    `one_shape` False says the windows' shapes vary from call to call (cuDNN's search would run for each).

    Attributes the road reads: `scale`, `radius`, `max_batch`, `window`, `multiple` (window origins must be
    multiples of it), `description`, `notice`, `name`;
    `contract` holds all the rest. Raises NetworkMismatch (a ValueError) for a file that is no usable network.
    """

    def __init__(self, path, *, value_range=None, bgr=False, fp16=None, threads=None, shared_cores=True,
                 one_shape=True):
        import onnxruntime as ort

        self.path = pathlib.Path(path)
        self.name = self.path.name
        if value_range is not None and value_range not in VALUE_RANGES:
            raise ValueError(f"value_range must be 1 or 255 (the value of white), got {value_range!r}")
        notices = []
        on_device = cp.cuda.is_available()
        available = ort.get_available_providers()
        self.uses_cuda = on_device and "CUDAExecutionProvider" in available
        self.uses_tensorrt = self.uses_cuda and "TensorrtExecutionProvider" in available
        if self.uses_cuda:
            self.device_id = cp.cuda.Device().id
            if fp16 is None:
                fp16 = int(cp.cuda.Device().compute_capability) >= FP16_COMPUTE_CAPABILITY
            self._providers = [("CUDAExecutionProvider", cuda_options(self.device_id, one_shape)),
                               "CPUExecutionProvider"]
            if self.uses_tensorrt:
                # TensorRT computes in fp16 itself, from the file's own fp32 graph.
                try:
                    engines = engine_folder(self.path, bool(fp16), self.device_id)
                    engines.mkdir(parents=True, exist_ok=True)
                except OSError:  # no cache folder to write: engines are built for this run only
                    engines = None
                self._providers.insert(0, ("TensorrtExecutionProvider",
                                           tensorrt_options(self.device_id, bool(fp16), engines)))
        else:
            fp16 = bool(fp16)  # on the CPU only when asked for
            self._providers = ["CPUExecutionProvider"]
            if on_device:
                notices.append("onnxruntime has no CUDA provider here (install onnxruntime-gpu): the network "
                               "runs on the CPU, with host copies of every batch")
        self._threads, self._shared_cores = threads, shared_cores
        self._fp16_bytes = None
        # Failures come back as exceptions, which this model reports in one line; ONNX Runtime would also
        # log each to stderr.
        self._run_options = ort.RunOptions()
        self._run_options.log_severity_level = 4
        self.session = None
        if self.uses_tensorrt:
            try:
                self.session, self.fp16 = self._open(str(self.path)), bool(fp16)
            except NetworkMismatch as refused:  # TensorRT cannot take it: the CUDA provider alone may
                self.uses_tensorrt = False
                self._providers = self._providers[1:]
                notices.append(f"TensorRT does not take it, CUDA runs it ({refused})")
        if self.session is None:
            self.session, self.fp16 = self._open_session(fp16, notices)

        graph, declared = read_graph(self.session, self.name)
        graph = dataclasses.replace(graph, value_range=value_range or declared.value_range or 1, bgr=bool(bgr))
        findings = self._findings(graph, declared)
        self.contract = dataclasses.replace(graph, scale=findings.scale, multiple=findings.multiple,
                                            channels=findings.channels, radius=findings.radius)
        if findings.capped:
            notices.append(f"its result still changes with more than {findings.radius} pixels of context; "
                           "windows get that much (seams may show; a larger overlap helps)")
        if abs(findings.brightness_shift) > BRIGHTNESS_DOUBT:
            asked = "0-255 (--range 255)" if self.contract.value_range == 1 else "0-1"
            notices.append(f"on a test image its output is {abs(findings.brightness_shift):.0%} of white "
                           f"{'brighter' if findings.brightness_shift > 0 else 'darker'} than its input: "
                           f"does it take values {asked}?")
        self.notice = "; ".join(notices) or None
        self.scale, self.radius = self.contract.scale, self.contract.radius
        self.max_batch, self.window = self.contract.batch, self.contract.window
        # Where a network regroups pixels in blocks (space-to-depth, strided layers), a window gives the
        # whole image's result only when it starts on a multiple of the block, so windows must start on one.
        self.multiple = self.contract.multiple
        where = (("TensorRT" if self.uses_tensorrt else "CUDA") if self.uses_cuda else "CPU") + " fp16" * self.fp16
        self.description = f"{self.name} ({self.contract.summary()} {self.measured}) on ONNX Runtime {where}"
        self._adapter = self._adapter_of(self.session)

    def __call__(self, batch):
        return self._adapter(batch)

    def measuring_copy(self):
        """The same network in a session of its own, whose memory starts empty, for measuring what a call
        takes: ONNX Runtime keeps what a session allocated for its later calls, so the growth of a session
        that has run already under-states it."""
        twin = object.__new__(OnnxModel)
        twin.__dict__.update(self.__dict__)
        twin.session = self._open(self._network_source())
        twin._adapter = twin._adapter_of(twin.session)
        return twin

    def _network_source(self):
        """What the session was opened from: the fp16 conversion, or the file."""
        return self._fp16_bytes if self._fp16_bytes is not None else str(self.path)

    @property
    def fell_back(self):
        """How many batches this network ran again at fp32 because their fp16 result was broken."""
        return getattr(self._adapter, "fell_back", 0)

    def _adapter_of(self, session):
        adapter = self._plain_adapter(session)
        if not self.fp16:
            return adapter
        return FallBack(adapter, lambda: self._plain_adapter(self._exact_session()), self.name)

    def _plain_adapter(self, session):
        if self.uses_cuda:
            run = lambda x, out_shape: self._run_on_device(session, x, out_shape)  # noqa: E731
        else:
            run = _on_device_arrays(_host_runner(session, self._run_options))
        return Adapter(self.contract, _out_of_memory_told(run), self.name)

    def _open_session(self, fp16, notices):
        """(session, whether it computes in fp16): the fp16 conversion where asked and possible, else the
        file as it is."""
        if fp16:
            try:
                converted = _fp16_network(self.path)
            except ImportError:
                notices.append("the network runs in fp32 (install onnx for fp16 on this device)")
            except Exception:  # onnx cannot read it: the plain load below says why
                pass
            else:
                if converted is not None:
                    try:
                        session = self._open(converted)
                        self._fp16_bytes = converted
                        return session, True
                    except NetworkMismatch:
                        notices.append("the network runs in fp32 (its fp16 conversion does not load)")
        return self._open(str(self.path)), False

    def _exact_session(self):
        """A session with the file's own arithmetic, for measuring: no fp16 conversion, and on CUDA no TF32
        (10-bit mantissas), whose rounding differs with the window size and would read as missing context."""
        if not self.uses_cuda:
            return self._open(str(self.path)) if self.fp16 else self.session
        exact = [("CUDAExecutionProvider", {"device_id": self.device_id, "use_tf32": "0"}), "CPUExecutionProvider"]
        try:
            return self._open(str(self.path), exact)
        except NetworkMismatch:  # an ONNX Runtime that lacks the option
            return self._open(str(self.path)) if self.fp16 else self.session

    def _open(self, network, providers=None):
        import onnxruntime as ort

        try:
            options = ort.SessionOptions()
            if self._threads is not None:
                options.intra_op_num_threads = self._threads
            if self._shared_cores:
                # Threads that spin while waiting for the next piece of work take the cores from the codecs.
                options.add_session_config_entry("session.intra_op.allow_spinning", "0")
            return ort.InferenceSession(network, options, providers=providers or self._providers)
        except Exception as error:  # ONNX Runtime's own exception types differ between versions
            raise NetworkMismatch.of(self.name, f"not a usable ONNX network ({first_line(error)})") from None

    def _findings(self, graph, declared):
        """The probe's findings for this file, from the cache where it has them."""
        try:
            entry = cache.entry_name(cache.file_digest(self.path), graph.value_range, graph.bgr)
        except OSError:
            entry = None
        findings = Findings.from_dict(cache.load(entry)) if entry else None
        self.measured = "from the cache" if declared.radius is None else "as its metadata says"
        if findings is None:
            began = time.perf_counter()
            announce_probe(self.path)
            findings = self._probe(graph, declared)
            if declared.radius is None:
                self.measured = f"measured now in {time.perf_counter() - began:.1f} s"
            if entry:
                cache.store(entry, findings.to_dict())
        return findings

    def _probe(self, graph, declared):
        scale, multiple, channels, shift = probe_geometry(_host_runner(self.session, self._run_options), graph,
                                                          self.name)
        if declared.radius is not None:
            return Findings(scale, multiple, channels, declared.radius, False, shift)
        contract = dataclasses.replace(graph, scale=scale, multiple=multiple, channels=channels)
        session = self._exact_session()
        model = Adapter(contract, _on_device_arrays(_host_runner(session, self._run_options)), self.name)
        try:
            radius, capped = measure_radius(model, contract)
        except NetworkError as error:
            raise NetworkMismatch(f"{error} (while measuring the context it needs)") from None
        return Findings(scale, multiple, channels, radius, capped, shift)

    def _run_on_device(self, session, x, out_shape):
        out = cp.empty(out_shape, dtype=self.contract.output_dtype)
        binding = session.io_binding()
        binding.bind_input(self.contract.input_name, "cuda", self.device_id, x.dtype.type, list(x.shape),
                           x.data.ptr)
        binding.bind_output(self.contract.output_name, "cuda", self.device_id, out.dtype.type, list(out.shape),
                            out.data.ptr)
        # ONNX Runtime works on its own stream: the batch must be complete before it reads it.
        cp.cuda.get_current_stream().synchronize()
        session.run_with_iobinding(binding, self._run_options)
        binding.synchronize_outputs()
        return out


def cuda_options(device_id, one_shape=True):
    """The CUDA provider's options: cuDNN's exhaustive search where one window shape recurs (it runs once per
    shape, then every call takes the fastest algorithm), its heuristic where shapes vary."""
    return {"device_id": device_id, "cudnn_conv_algo_search": "EXHAUSTIVE" if one_shape else "HEURISTIC",
            "cudnn_conv_use_max_workspace": "1", "do_copy_in_default_stream": "1"}


def tensorrt_options(device_id, fp16, folder):
    """The TensorRT provider's options: its engine and timing caches in `folder` (None: none). The input
    shapes each engine is built for are ONNX Runtime's to track: it builds one for the window shapes it meets
    and names the engine file after them, so a window shape profile is one engine file in that folder."""
    options = {"device_id": device_id, "trt_fp16_enable": fp16}
    if folder is not None:
        options.update(trt_engine_cache_enable=True, trt_engine_cache_path=str(folder), trt_timing_cache_enable=True,
                       trt_timing_cache_path=str(folder))
    return options


def engine_folder(path, fp16, device_id):
    """The folder of TensorRT's engines for the network at `path`: in the user's cache folder, under a key of
    what an engine depends on besides the shapes (the network's digest, the precision, the GPU and the
    TensorRT version), so a change of any of them builds a new engine and none is built twice."""
    key = "|".join([cache.file_digest(path), "fp16" if fp16 else "fp32", gpu_name(device_id), tensorrt_version()])
    return cache.folder() / "tensorrt" / hashlib.sha256(key.encode()).hexdigest()[:32]


def gpu_name(device_id):
    properties = cp.cuda.runtime.getDeviceProperties(device_id)
    name = properties.get("name", b"")
    return f"{name.decode() if isinstance(name, bytes) else name} sm{properties.get('major')}{properties.get('minor')}"


def tensorrt_version():
    try:
        import tensorrt
    except ImportError:  # ONNX Runtime's provider loads the library without the Python module
        import onnxruntime as ort

        return "onnxruntime " + ort.__version__
    return tensorrt.__version__


def _host_runner(session, run_options):
    """NumPy array in the network's form -> its output, through `session` (which copies to its device)."""
    source, result = session.get_inputs()[0].name, session.get_outputs()[0].name
    return lambda x: session.run([result], {source: x}, run_options)[0]


def _on_device_arrays(run):
    """A host runner as the adapter calls it: CuPy array in, CuPy array out."""
    return lambda x, out_shape: cp.asarray(run(np.ascontiguousarray(cp.asnumpy(x))))


def _out_of_memory_told(run):
    """`run` with ONNX Runtime's allocation failures raised as DeviceOutOfMemory, for the road to handle."""
    def guarded(x, out_shape):
        try:
            return run(x, out_shape)
        except Exception as error:
            if any(text in str(error).lower() for text in _OOM_MESSAGES):
                raise DeviceOutOfMemory(first_line(error)) from error
            raise
    return guarded


def _fp16_network(path):
    """The network with fp16 weights and arithmetic but its own input and output types, serialised; None
    when its input or output is fp16 already (a network exported in half precision computes in it)."""
    import onnx
    from onnxruntime.transformers.float16 import convert_float_to_float16

    model = onnx.load(str(path))
    if any(value.type.tensor_type.elem_type == onnx.TensorProto.FLOAT16
           for value in list(model.graph.input) + list(model.graph.output)):
        return None
    return convert_float_to_float16(model, keep_io_types=True).SerializeToString()
