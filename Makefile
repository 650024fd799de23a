# Two entry points for a fresh Debian 12 machine:
#   make test   installs what is missing, builds everything and runs all tests
#   make demo   runs fieldhub against a simulated site in the foreground
PYTHON := /usr/bin/python3
JOBS := 2

BUILD_PACKAGES := cmake make g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev \
  libbenchmark-dev libpaho-mqtt-dev zlib1g-dev
RUNTIME_PACKAGES := mosquitto mosquitto-clients python3 python3-pytest python3-paho-mqtt \
  python3-websocket

TEST_BUILD := build
DEMO_BUILD := build-demo
TSAN_BUILD := build-tsan
BENCH_BUILD := build-bench

.PHONY: all deps test build demo tsan bench clean

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

demo: deps
	cmake -S . -B $(DEMO_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFIELDHUB_TESTS=OFF
	cmake --build $(DEMO_BUILD) -j$(JOBS) --target fieldhub
	@scripts/demo $(DEMO_BUILD)

clean:
	rm -rf $(TEST_BUILD) $(DEMO_BUILD) $(TSAN_BUILD) $(BENCH_BUILD)
