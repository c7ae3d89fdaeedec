"""Hostile certificate texts of every shape that costs a JSON reader memory, made to a given
size: long arrays of tiny values, millions of keys, one long string, deep nesting, many stage
records, and a real certificate's shape. Used by the memory test and by bench/reader-shapes."""

import json
import subprocess
import sys

MiB = 1 << 20
# The reader's limits (core/record/certificate_reader.h).
MAX_BYTES = 64 * MiB


def max_values(size):
    return (2 * size + 64 * MiB) // 112


STAGE = {"stageId": "s", "status": "passed", "artifactHashes": {}, "gateResult": None}


def _with_envelope(base, envelope):
    certificate = json.loads(json.dumps(base))
    certificate["agenticPostureBinding"] = {
        "posture": "governed", "defaulted": False,
        "surfaces": [{"kind": "model-api", "description": "d", "governanceEnvelope": envelope}]}
    return json.dumps(certificate, separators=(",", ":"))


def _densest(per_bytes, per_values, limit, fixed_bytes=4096, fixed_values=1000):
    """The most items of `per_bytes` bytes and `per_values` values each, `limit` at most, that
    the value bound allows beside `fixed_bytes` and `fixed_values` of the rest of the text."""
    low, high = 0, limit + 1
    while low + 1 < high:
        middle = (low + high) // 2
        if max_values(middle * per_bytes + fixed_bytes) >= middle * per_values + fixed_values:
            low = middle
        else:
            high = middle
    return low


def shapes(base, size):
    """(name, text) for each shape, `size` bytes or the densest the reader takes under it."""
    zeros = _densest(2, 1, size // 2)
    empty_arrays = _densest(3, 2, size // 3)
    keys = _densest(10, 2, size // 12)
    stage_bytes = len(json.dumps(STAGE, separators=(",", ":"))) + 1
    stages = _densest(stage_bytes, 11, (size - 8192) // stage_bytes)
    artifacts = (size - 8192) // 101
    real = json.loads(json.dumps(base))
    real["stages"][0]["artifactHashes"] = {
        f"artifact-{i:07}.java": f"{i:064x}" for i in range(artifacts)}
    many_stages = json.loads(json.dumps(base))
    many_stages["stages"] = [STAGE] * stages
    return [
        ("array of zeros, top level", "[" + "0," * (size // 2 - 2) + "0]"),
        ("array of zeros, densest taken", _with_envelope(base, [0] * zeros)),
        ("array of empty arrays, densest taken", _with_envelope(base, [[]] * empty_arrays)),
        ("object of keys, densest taken", _with_envelope(base, {f"k{i}": 0 for i in range(keys)})),
        ("one long string", _with_envelope(base, "a" * (size - 4096))),
        ("deep nesting", "[" * 100000 + "]" * 100000),
        ("stage records, densest taken", json.dumps(many_stages, separators=(",", ":"))),
        ("artifacts, as emitted", json.dumps(real, indent=2)),
    ]


def peak_kib(command, env=None):
    """Runs `command` in a child of its own and gives (exit code, its peak resident KiB). (A
    child of this process would count this process's peak as its own: the peak survives exec.)"""
    probe = ("import resource, subprocess, sys\n"
             "code = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, "
             "stderr=subprocess.DEVNULL).returncode\n"
             "print(code, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n")
    out = subprocess.run([sys.executable, "-c", probe, *map(str, command)], check=True,
                         capture_output=True, text=True, env=env).stdout.split()
    return int(out[0]), int(out[1])
