"""What the process can still allocate (kernels/memory_limits), read from fake /proc and /sys/fs/cgroup
trees through _available_memory(root=...), and from the real ones under an address-space limit."""

import pytest

import lumvarde_quorle.color_extractor_cy as module
from child_worker import UNDER_ASAN, describe

MB = 1 << 20
INF = float("inf")

# AddressSanitizer reserves terabytes of address space: no address-space limit can be set under it.
limits_address_space = pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer reserves the address space")


def fake_tree(root, files):
    """The files under `root`; a file given as None is left out."""
    for name, text in files.items():
        if text is None:
            continue
        path = root / name.lstrip("/")
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)


MEMINFO = {"/proc/meminfo": "MemTotal:  8000000 kB\nMemAvailable:    4000000 kB\n"}
AVAILABLE = (4000000 * 1024, "memory available")
V2 = {"/proc/self/cgroup": "0::/service/worker\n"}
V1 = {"/proc/self/cgroup": "5:cpu,cpuacct:/x\n4:memory:/jobs/7\n"}
LEAF = "/sys/fs/cgroup/service/worker"
JOB = "/sys/fs/cgroup/memory/jobs/7"
CGROUPS = {
    "meminfo alone": ({}, AVAILABLE),
    "no meminfo in a fake tree: no limit": ({"/proc/meminfo": None}, (INF, "no limit")),
    "meminfo without MemAvailable: no limit": ({"/proc/meminfo": "MemTotal: 8000000 kB\n"}, (INF, "no limit")),
    "v2 limit less usage, inactive file pages reclaimable": (
        {**V2, f"{LEAF}/memory.max": "1000000000\n", f"{LEAF}/memory.current": "700000000\n",
         f"{LEAF}/memory.stat": "anon 500000000\ninactive_file 200000000\n"},
        (500_000_000, "cgroup memory limit")),
    "v2 inactive file pages beyond usage: the whole limit": (
        {**V2, f"{LEAF}/memory.max": "1000000000\n", f"{LEAF}/memory.current": "100000000\n",
         f"{LEAF}/memory.stat": "inactive_file 300000000\n"},
        (1_000_000_000, "cgroup memory limit")),
    "v2 usage beyond the limit: nothing left": (
        {**V2, f"{LEAF}/memory.max": "100000\n", f"{LEAF}/memory.current": "300000\n"}, (0, "cgroup memory limit")),
    "v2 limit on an ancestor, none on the leaf": (
        {**V2, f"{LEAF}/memory.max": "max\n", f"{LEAF}/memory.current": "100\n",
         "/sys/fs/cgroup/service/memory.max": "300000000\n", "/sys/fs/cgroup/service/memory.current": "100000000\n"},
        (200_000_000, "cgroup memory limit")),
    "v2 nested limits: the tighter leaf": (
        {**V2, f"{LEAF}/memory.max": "400000000\n", f"{LEAF}/memory.current": "100000000\n",
         "/sys/fs/cgroup/service/memory.max": "1000000000\n", "/sys/fs/cgroup/service/memory.current": "200000000\n"},
        (300_000_000, "cgroup memory limit")),
    "v2 root cgroup": (
        {"/proc/self/cgroup": "0::/\n", "/sys/fs/cgroup/memory.max": "900000000\n",
         "/sys/fs/cgroup/memory.current": "100000000\n"},
        (800_000_000, "cgroup memory limit")),
    "v2 without a limit": ({**V2, "/sys/fs/cgroup/memory.max": "max\n"}, AVAILABLE),
    "v2 limit without usage is not counted": ({**V2, f"{LEAF}/memory.max": "1000\n"}, AVAILABLE),
    "v1 limit": (
        {**V1, f"{JOB}/memory.limit_in_bytes": "2000000000\n", f"{JOB}/memory.usage_in_bytes": "1500000000\n",
         f"{JOB}/memory.stat": "cache 9\ntotal_inactive_file 300000000\n"},
        (800_000_000, "cgroup memory limit")),
    "v1 unlimited": (
        {**V1, f"{JOB}/memory.limit_in_bytes": "9223372036854771712\n",
         f"{JOB}/memory.usage_in_bytes": "1500000000\n"},
        AVAILABLE),
    "v1 only the memory hierarchy's cgroups count": (
        {**V1, "/sys/fs/cgroup/memory/x/memory.limit_in_bytes": "1000\n",
         "/sys/fs/cgroup/memory/x/memory.usage_in_bytes": "10\n"},
        AVAILABLE),
    "v1 memory among several controllers, limit on an ancestor": (
        {"/proc/self/cgroup": "3:cpu,memory:/jobs/7\n", "/sys/fs/cgroup/memory/jobs/memory.limit_in_bytes": "5000\n",
         "/sys/fs/cgroup/memory/jobs/memory.usage_in_bytes": "1000\n"},
        (4000, "cgroup memory limit")),
    "v1 and v2 at once: the least": (
        {"/proc/self/cgroup": "0::/a\n4:memory:/b\n",
         "/sys/fs/cgroup/a/memory.max": "7000\n", "/sys/fs/cgroup/a/memory.current": "1000\n",
         "/sys/fs/cgroup/memory/b/memory.limit_in_bytes": "9000\n",
         "/sys/fs/cgroup/memory/b/memory.usage_in_bytes": "4000\n"},
        (5000, "cgroup memory limit")),
}


@pytest.mark.parametrize("files, expected", CGROUPS.values(), ids=CGROUPS.keys())
def test_available_memory_is_the_least_of_the_limits(tmp_path, files, expected):
    # The tree has no /proc/self/statm: an address-space limit of the test run does not count.
    fake_tree(tmp_path, {**MEMINFO, **files})
    assert module._available_memory(root=str(tmp_path)) == expected


# Run in a fork of the child worker, under an address-space limit of `limit` bytes (the worker's hard
# limit if lower), with the fake tree at data['root'].
UNDER_LIMIT = """
import os, resource
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
limit = 6 << 30 if hard == resource.RLIM_INFINITY else min(hard, 6 << 30)
resource.setrlimit(resource.RLIMIT_AS, (limit, hard))
page = os.sysconf('SC_PAGESIZE')
"""
HUGE_MEMINFO = {"/proc/meminfo": "MemAvailable: 900000000000 kB\n"}
ADDRESS_SPACE = {
    "the limit less the pages in use": ({"/proc/self/statm": "1000 200 30 4 0 5 0\n"}, "limit - 1000 * page"),
    "pages in use unknown: not counted": ({}, "900000000000 * 1024"),
    "in use beyond the limit: nothing left": ({"/proc/self/statm": f"{1 << 40} 1 1 1 0 1 0\n"}, "0"),
}


@limits_address_space
@pytest.mark.parametrize("files, expected", ADDRESS_SPACE.values(), ids=ADDRESS_SPACE.keys())
def test_address_space_limit_on_a_fake_tree(worker, tmp_path, files, expected):
    fake_tree(tmp_path, {**HUGE_MEMINFO, **files})
    outcome = worker.run(f"(module._available_memory(data), {expected})", setup=UNDER_LIMIT, data=str(tmp_path))
    assert "returned" in outcome, describe(outcome)
    (available, bound), wanted = eval(outcome["value"])
    assert available == wanted
    assert bound == ("memory available" if "statm" not in str(files) else "address-space limit")


@limits_address_space
def test_address_space_limit_counts_what_is_in_use(worker):
    outcome = worker.run(
        "(limit - size, module._available_memory())",
        setup="import resource\n"
        "with open('/proc/self/status') as status:\n"
        "    size = next(int(line.split()[1]) * 1024 for line in status if line.startswith('VmSize:'))\n"
        "limit = size + (300 << 20)\n"
        "resource.setrlimit(resource.RLIMIT_AS, (limit, limit))\n",
    )
    assert "returned" in outcome, describe(outcome)
    (headroom, (available, bound)) = eval(outcome["value"])
    assert bound == "address-space limit"
    assert headroom - 16 * MB <= available <= headroom
