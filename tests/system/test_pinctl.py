"""System tests of pinctl: the real binary in a throw-away simulation root.

The root's dev/mem is a sparse file whose offsets are physical addresses, so
the pull registers pinctl writes are read back from the file afterwards.
pinctl is only ever run with FIELDHUB_ROOT pointing into a temporary
directory; without it the program maps real physical memory.
"""

import os
import re
import shutil
import struct
import subprocess
from pathlib import Path

import pytest

REPO_ROOT = Path(__file__).resolve().parents[2]
PINCTL = os.environ.get("PINCTL") or str(REPO_ROOT / "build" / "pinctl" / "pinctl")

WINDOW_BASE = 0xB0004000
WINDOW_SIZE = 0x1000
MEMORY_SIZE = WINDOW_BASE + WINDOW_SIZE
FAILURE = 255  # exit(-1) as the shell sees it


def run_pinctl(root, *args):
    env = {
        "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
        "LC_ALL": "C",  # perror texts in English
        "FIELDHUB_ROOT": str(root),
    }
    # Sanitizer builds read their options from the environment.
    env.update({k: v for k, v in os.environ.items() if k.endswith("SAN_OPTIONS")})
    return subprocess.run([PINCTL, *args], env=env, capture_output=True, text=True, timeout=30)


def make_memory(root, size=MEMORY_SIZE):
    memory = root / "dev" / "mem"
    memory.parent.mkdir(parents=True, exist_ok=True)
    with open(memory, "wb") as f:
        f.truncate(size)
    return memory


def read_window(memory):
    with open(memory, "rb") as f:
        f.seek(WINDOW_BASE)
        return bytearray(f.read(WINDOW_SIZE))


def put_register(window, address, value):
    struct.pack_into("=I", window, address - WINDOW_BASE, value)


@pytest.fixture
def root(tmp_path):
    make_memory(tmp_path)
    return tmp_path


# Each row: arguments, pull registers before the run {physical address: value},
# expected stdout, expected stderr, registers after the run (only those that
# change; every other byte of the window must stay as it was).
# Pull register of port k: 0xB0004000 + 0x40 * k + 0x30.
COMMAND_LINES = [
    pytest.param(["PB3"], {0xB0004070: 0x12345678}, "35\n", "", {},
                 id="lone pin prints its number and writes nothing"),
    pytest.param(["PA0", "no", "pu"], {0xB0004030: 0xFFFFFFFF}, "", "",
                 {0xB0004030: 0xFFFFFFFD},
                 id="no clears both bits then pu sets bit 0"),
    pytest.param(["PC5", "PD1", "pd"], {}, "69\n", "", {0xB00040F0: 0x00000008},
                 id="pin without command printed, next pin pulled down"),
    pytest.param(["pu"], {}, "", "Not port for 'pu'\n", {},
                 id="command before any pin"),
    pytest.param(["PK1"], {}, "", "Not port for 'PK1'\n", {},
                 id="port letter past J is not a pin"),
    pytest.param(["PA1", "foo"], {0xB0004030: 0x0000000C}, "", "Bad command 'foo'\n", {},
                 id="unknown command reported and pin not printed"),
    pytest.param(["PB2", "pd", "pu"], {}, "", "", {0xB0004070: 0x00000030},
                 id="commands only set bits: pd then pu leaves both"),
    pytest.param(["PE7", "no"], {0xB0004130: 0xFFFFFFFF}, "", "", {0xB0004130: 0xFFFF3FFF},
                 id="no keeps the fields of the other pins"),
    pytest.param(["PJ15", "pupd"], {0xB0004270: 0x00000001}, "", "", {0xB0004270: 0xC0000001},
                 id="last pin of last port uses the top two bits"),
    pytest.param(["PF0", "pu", "PF15", "pd"], {}, "", "", {0xB0004170: 0x80000001},
                 id="two pins of one port"),
    pytest.param(["PA1", "PB2", "PC3"], {}, "1\n34\n67\n", "", {},
                 id="every pin without a command printed in order"),
    pytest.param(["PA1", "bogus", "PB3"], {}, "35\n", "Bad command 'bogus'\n", {},
                 id="processing goes on after a bad command"),
    pytest.param(["pu", "PA3x", "pu"], {}, "", "Not port for 'pu'\n", {0xB0004030: 0x00000040},
                 id="text after the digits is ignored"),
    pytest.param(["", "P", "PA", "pa1", "PJ", "PA1"], {}, "1\n",
                 "Not port for ''\nNot port for 'P'\nNot port for 'PA'\n"
                 "Not port for 'pa1'\nNot port for 'PJ'\n", {},
                 id="words that are not pins"),
    pytest.param(["PA16", "PB31"], {}, "16\n63\n", "", {},
                 id="pins 16 and above still have a global number"),
    pytest.param(["PA16", "pu", "PA31", "pupd", "PA99999999999", "no"],
                 {0xB0004030: 0x55555555}, "", "", {},
                 id="pins 16 and above have no bits in the register"),
    pytest.param(["PB99999999999"], {}, "2147483679\n", "", {},
                 id="overlong pin number saturates instead of overflowing"),
]


@pytest.mark.parametrize("args, before, stdout, stderr, changes", COMMAND_LINES)
def test_command_line(root, args, before, stdout, stderr, changes):
    memory = root / "dev" / "mem"
    expected = read_window(memory)
    with open(memory, "r+b") as f:
        for address, value in before.items():
            f.seek(address)
            f.write(struct.pack("=I", value))
            put_register(expected, address, value)
    for address, value in changes.items():
        put_register(expected, address, value)

    result = run_pinctl(root, *args)

    assert (result.returncode, result.stdout, result.stderr) == (0, stdout, stderr)
    assert read_window(memory) == expected
    assert memory.stat().st_size == MEMORY_SIZE


def test_no_arguments_prints_usage_before_touching_memory(tmp_path):
    # No dev/mem at all: the usage text must come first.
    result = run_pinctl(tmp_path)
    assert result.returncode == FAILURE
    assert result.stdout == ""
    assert result.stderr == (
        f"Usage: {PINCTL} <PA0..PJ15> <cmd1> [<cmd2> ...]  [<port> <cmd> ...]\n")


def _no_device(root):
    (root / "dev").mkdir()


def _directory_device(root):
    (root / "dev" / "mem").mkdir(parents=True)


def _fifo_device(root):
    (root / "dev").mkdir()
    os.mkfifo(root / "dev" / "mem")


# Each row: how dev/mem is broken, the exact stderr.
WINDOW_FAILURES = [
    pytest.param(_no_device, "/dev/mem: No such file or directory\n", id="missing"),
    pytest.param(_directory_device, "/dev/mem: Is a directory\n", id="cannot open"),
    pytest.param(_fifo_device, "mmap /dev/mem: No such device\n", id="cannot map"),
]


@pytest.mark.parametrize("break_device, stderr", WINDOW_FAILURES)
def test_register_window_failure(tmp_path, break_device, stderr):
    break_device(tmp_path)
    result = run_pinctl(tmp_path, "PA0", "pu")
    assert (result.returncode, result.stdout, result.stderr) == (FAILURE, "", stderr)


@pytest.mark.parametrize("size", [0x1000, MEMORY_SIZE - 1], ids=["tiny", "one byte short"])
def test_memory_file_too_short_is_refused_not_a_crash(tmp_path, size):
    memory = make_memory(tmp_path, size)
    result = run_pinctl(tmp_path, "PA0", "pu")
    # Touching a mapped page past the end of the file would die with SIGBUS.
    assert result.returncode == FAILURE
    assert result.stdout == ""
    assert result.stderr.startswith("mmap /dev/mem: ")
    assert memory.stat().st_size == size


@pytest.mark.parametrize("name", ["not-there", "a-file"])
def test_root_that_is_not_a_directory_is_refused(tmp_path, name):
    # Falling back to the host's /dev/mem here would reach physical memory.
    # A lone pin keeps even a faulty build from writing anything.
    (tmp_path / "a-file").write_text("")
    bad_root = tmp_path / name
    result = run_pinctl(bad_root, "PB3")
    assert result.returncode == FAILURE
    assert result.stdout == ""
    assert result.stderr == f"pinctl: FIELDHUB_ROOT '{bad_root}' is not a directory\n"


@pytest.mark.skipif(shutil.which("readelf") is None, reason="readelf not installed")
def test_links_only_the_c_library():
    dynamic = subprocess.run(["readelf", "-d", PINCTL], capture_output=True, text=True,
                             check=True).stdout
    needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dynamic))
    # Sanitizer runtimes come from the test build's flags, not from pinctl.
    needed = {lib for lib in needed if not re.match(r"lib(asan|ubsan|tsan|lsan)\.so", lib)}
    assert needed == {"libc.so.6"}
