"""Hardware detection through the module, with fake vendor tools.

Each fake tool is a small shell script in a temporary directory that is the
only entry of PATH, so the machine's own tools never answer.  A fake checks
its exact command line and fails on anything else.
"""

import json
import os
import stat

import pytest

import halvorn

NVIDIA_ARGS = "--query-gpu=name,memory.total,compute_cap --format=csv,noheader,nounits"
ROCM_ARGS = "--showproductname --showmeminfo vram --csv"
AMD_ARGS = "monitor --gpu --csv"


def write_tool(directory, name, expected_args, body):
    path = directory / name
    path.write_text(
        "#!/bin/sh\n"
        f'[ "$*" = "{expected_args}" ] || {{ echo "bad arguments: $*" >&2; exit 64; }}\n'
        f"{body}\n"
    )
    path.chmod(path.stat().st_mode | stat.S_IXUSR)


@pytest.fixture
def tools(tmp_path, monkeypatch):
    """Returns a function that installs the given fake tools on PATH."""
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    monkeypatch.setenv("PATH", str(bin_dir))

    def install(nvidia=None, rocm=None, amd=None):
        for name, args, body in (
            ("nvidia-smi", NVIDIA_ARGS, nvidia),
            ("rocm-smi", ROCM_ARGS, rocm),
            ("amd-smi", AMD_ARGS, amd),
        ):
            if body is not None:
                write_tool(bin_dir, name, args, body)

    return install


DETECTORS = [
    pytest.param(lambda: halvorn.profile_hardware(), id="profile_hardware"),
    pytest.param(lambda: halvorn.HardwareProfile.detect(), id="HardwareProfile.detect"),
]

GPU_CASES = [
    pytest.param(
        dict(nvidia="printf 'NVIDIA GeForce RTX 4090, 24564, 8.9\\n'"),
        {"name": "NVIDIA GeForce RTX 4090", "vram_mb": 24564,
         "compute_capability": [8, 9], "vendor": "Nvidia"},
        id="nvidia",
    ),
    pytest.param(
        dict(nvidia="printf 'NVIDIA A100-SXM4-80GB, 81920, 8.0\\nNVIDIA H100, 81559, 9.0\\n'"),
        {"name": "NVIDIA A100-SXM4-80GB", "vram_mb": 81920,
         "compute_capability": [8, 0], "vendor": "Nvidia"},
        id="nvidia-first-of-two",
    ),
    pytest.param(
        dict(nvidia="printf 'Tesla K80, 11441, [N/A]\\n'"),
        {"name": "Tesla K80", "vram_mb": 11441, "compute_capability": None, "vendor": "Nvidia"},
        id="nvidia-without-capability",
    ),
    pytest.param(
        dict(
            nvidia="echo 'NVIDIA-SMI has failed because it could not communicate' >&2\nexit 9",
            rocm="printf 'device,Card series,VRAM Total Memory (B)\\ncard0,AMD Instinct MI210,17163091968\\n'",
        ),
        {"name": "AMD Instinct MI210", "vram_mb": 16368, "compute_capability": None,
         "vendor": "Amd"},
        id="nvidia-status-9-falls-to-rocm",
    ),
    pytest.param(
        dict(
            nvidia="printf 'Tesla K80, [N/A], 3.7\\n'",
            rocm="exit 1",
            amd="printf 'gpu,name,vram_total\\n0,AMD Instinct MI300X,196592\\n'",
        ),
        {"name": "AMD Instinct MI300X", "vram_mb": 196592, "compute_capability": None,
         "vendor": "Amd"},
        id="nvidia-unusable-rocm-fails-amd-smi-answers",
    ),
    pytest.param(dict(), None, id="no-tools"),
    pytest.param(dict(nvidia="exit 9", rocm="exit 1", amd="kill -KILL $$"), None, id="all-fail"),
]


@pytest.mark.parametrize("detect", DETECTORS)
@pytest.mark.parametrize("installed, gpu", GPU_CASES)
def test_gpu_from_vendor_tools(tools, detect, installed, gpu):
    tools(**installed)
    profile = detect()
    data = json.loads(profile.to_json())

    assert data["gpu"] == gpu
    if gpu is None:
        assert profile.gpu_model is None
        assert profile.gpu_vram_mb is None
        assert repr(profile) == f"HardwareProfile(cpu_cores={profile.cpu_cores}, gpu=None)"
    else:
        assert profile.gpu_model == gpu["name"]
        assert profile.gpu_vram_mb == gpu["vram_mb"]
        assert repr(profile) == (
            f"HardwareProfile(cpu_cores={profile.cpu_cores}, gpu={gpu['name']})"
        )


def test_json_is_compact_in_declaration_order(tools):
    tools(nvidia="printf 'NVIDIA GeForce RTX 4090, 24564, 8.9\\n'")
    profile = halvorn.profile_hardware()
    text = profile.to_json()
    data = json.loads(text)

    assert json.dumps(data, separators=(",", ":"), ensure_ascii=False) == text
    assert list(data) == ["cpu", "gpu", "ram"]
    assert list(data["cpu"]) == ["core_count", "brand", "simd_level"]
    assert list(data["gpu"]) == ["name", "vram_mb", "compute_capability", "vendor"]
    assert list(data["ram"]) == ["total_mb", "available_mb"]


def test_cpu_and_memory_describe_this_machine(tools):
    tools()
    profile = halvorn.profile_hardware()
    data = json.loads(profile.to_json())

    assert data["cpu"]["core_count"] == profile.cpu_cores
    assert 1 <= profile.cpu_cores <= len(os.sched_getaffinity(0))
    assert isinstance(data["cpu"]["brand"], str)
    assert data["cpu"]["simd_level"] in ("None", "AVX", "AVX2", "AVX512")
    assert data["ram"]["total_mb"] == profile.ram_total_mb > 0
    assert 0 <= data["ram"]["available_mb"] <= profile.ram_total_mb


def test_core_count_follows_the_affinity_mask(tools):
    tools()
    before = os.sched_getaffinity(0)
    os.sched_setaffinity(0, {min(before)})
    try:
        assert halvorn.profile_hardware().cpu_cores == 1
    finally:
        os.sched_setaffinity(0, before)
