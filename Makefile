# Entry points for a fresh Debian 12 machine:
#   make test   installs what is missing, builds everything and runs all tests
#   make demo   runs fieldhub against a simulated site in the foreground
#               (make demo TLS=1: its broker over TLS)
#   make board-test   cross-builds for the board (armel) and runs the unit
#                     tests and a smoke test under qemu-arm
PYTHON := /usr/bin/python3
JOBS := 2

BUILD_PACKAGES := cmake make g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev \
  libbenchmark-dev libpaho-mqtt-dev libssl-dev zlib1g-dev
# openssl: the command that makes the certificates of the TLS tests and demo.
RUNTIME_PACKAGES := mosquitto mosquitto-clients python3 python3-pytest python3-paho-mqtt \
  python3-websocket openssl
# The board build: Debian's armel cross compiler, qemu-arm, the GoogleTest
# sources, and the archive keys that scripts/armel-sysroot checks packages with.
BOARD_PACKAGES := cmake make g++-arm-linux-gnueabi qemu-user googletest debian-archive-keyring \
  python3 python3-pytest

TEST_BUILD := build
DEMO_BUILD := build-demo
TSAN_BUILD := build-tsan
BENCH_BUILD := build-bench
BOARD_BUILD := build-board

.PHONY: all deps test build demo tsan bench board-test clean

all: build

deps:
	@scripts/ensure-packages $(BUILD_PACKAGES) $(RUNTIME_PACKAGES)

# The test build runs with AddressSanitizer and UndefinedBehaviorSanitizer.
build: deps
	cmake -S . -B $(TEST_BUILD) -DCMAKE_BUILD_TYPE=Debug -DFIELDHUB_SANITIZE=ON -DFIELDHUB_PYTHON=$(PYTHON)
	cmake --build $(TEST_BUILD) -j$(JOBS)

test: build
	cd $(TEST_BUILD) && ctest --output-on-failure --no-tests=error -j$(JOBS)

# ThreadSanitizer run of the unit and system tests, on demand.
tsan: deps
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DFIELDHUB_TSAN=ON -DFIELDHUB_FUZZ=OFF -DFIELDHUB_PYTHON=$(PYTHON)
	cmake --build $(TSAN_BUILD) -j$(JOBS)
	cd $(TSAN_BUILD) && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure --no-tests=error -j$(JOBS)

bench: deps
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DFIELDHUB_FUZZ=OFF
	cmake --build $(BENCH_BUILD) -j$(JOBS) --target benchmarks
	@root=$$(mktemp -d) && sim/mkroot "$$root" >/dev/null && for b in $(BENCH_BUILD)/bench/bench_*; do [ -x "$$b" ] && FIELDHUB_ROOT="$$root" "$$b"; done; rm -rf "$$root"

# Cross build for the board's CPU (ARMv5TE, soft float) against the armel
# Paho MQTT C, OpenSSL and zlib from Debian, unpacked into $(BOARD_BUILD)/sysroot (kept
# for later runs). Optimised as shipped, assertions kept, no sanitizers; no
# benchmarks, fuzzers or host system tests. CTest runs the unit tests and the
# smoke test through qemu-arm.
board-test:
	@scripts/ensure-packages $(BOARD_PACKAGES)
	scripts/armel-sysroot $(BOARD_BUILD)/sysroot
	cmake -S . -B $(BOARD_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armel.cmake -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_CXX_FLAGS_RELEASE=-O2 -DCMAKE_C_FLAGS_RELEASE=-O2 -DFIELDHUB_FUZZ=OFF -DFIELDHUB_PYTHON=$(PYTHON)
	cmake --build $(BOARD_BUILD) -j$(JOBS)
	cd $(BOARD_BUILD) && ctest --output-on-failure --no-tests=error -j$(JOBS)

demo: deps
	cmake -S . -B $(DEMO_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFIELDHUB_TESTS=OFF
	cmake --build $(DEMO_BUILD) -j$(JOBS) --target fieldhub
	@TLS="$(TLS)" scripts/demo $(DEMO_BUILD)

clean:
	rm -rf $(TEST_BUILD) $(DEMO_BUILD) $(TSAN_BUILD) $(BENCH_BUILD) $(BOARD_BUILD)
