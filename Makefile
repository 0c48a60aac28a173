# Short commands over the CMake build. The host interpreter is always Debian's /usr/bin/python3.
PYTHON    := /usr/bin/python3
BUILD     := build
JOBS      ?= $(shell nproc)
CMAKE_ARGS ?=

.PHONY: all deps demo-deps configure build test test-cpp test-py test-sanitize demo bench fuzz \
        install deb platform-check arm64-check format clean

all: build

deps:
	@scripts/install-deps.sh

demo-deps:
	@scripts/install-deps.sh --demo

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -DPython3_EXECUTABLE=$(PYTHON) $(CMAKE_ARGS)

configure: $(BUILD)/CMakeCache.txt

build: deps configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	ZQ_BUILD=$(abspath $(BUILD)) scripts/check-api.sh
	$(PYTHON) -m pytest -q tests

test-cpp: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-py: build
	$(PYTHON) -m pytest -q tests

# Example host program on the simulated receiver (or on PORT=/dev/ttyACM0). Its own build
# without the test suites, and only the packages that build and run it.
DEMO_BUILD := build-demo
demo: demo-deps
	@test -f $(DEMO_BUILD)/CMakeCache.txt || \
	    cmake -S . -B $(DEMO_BUILD) -DPython3_EXECUTABLE=$(PYTHON) -DZQ_BUILD_TESTS=OFF $(CMAKE_ARGS)
	cmake --build $(DEMO_BUILD) -j $(JOBS)
	@ZQ_BUILD=$(abspath $(DEMO_BUILD)) tools/demo.sh $(PORT)

bench: build
	@bench/run.sh

# libFuzzer targets (clang) and the Python surface targets on the build; FUZZ_TARGETS selects.
FUZZ_SECONDS ?= 60
fuzz: build
	@ZQ_BUILD=$(abspath $(BUILD)) fuzz/run.sh $(FUZZ_SECONDS)

# The whole suite again, built with AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize:
	@scripts/test-sanitize.sh

# Debian packages (amd64 and arm64) for the machine's Debian release, or for RELEASES="12 13".
deb:
	@packaging/deb.sh $(RELEASES)

# Each release's packages installed with apt and tested in a chroot of that release and
# architecture (RELEASES, default 12 13; ARCHES, default amd64 arm64; SUITES). Not part of test.
platform-check:
	@RELEASES="$(RELEASES)" ARCHES="$(ARCHES)" SUITES="$(SUITES)" packaging/platform-check.sh

# The same for arm64 on the machine's release only.
arm64-check:
	@packaging/arm64-check.sh

PREFIX ?= /opt/zq_gps
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')

clean:
	rm -rf $(BUILD) $(DEMO_BUILD)
