# Plain entry points over CMake + Ninja.
#   make run      install what is missing, build the release binary, start the console
#   make test     install what is missing, build the check and stress builds, run every test
#   make release  build/release/qel (optimised; no tests)
#   make check    build/check: debug -O1 with AddressSanitizer + UndefinedBehaviorSanitizer
#   make stress   build/stress: debug -O1, collects at every safe point (Qel-level tests only)
#   make differential  random programs on the stress and check builds, outputs compared
#   make clean    remove every build
JOBS ?= $(shell nproc)
DEBUG_O1 = -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1"

.PHONY: all run test release check stress differential deps clean

all: release

deps:
	@tools/install-deps.sh

build/release/build.ninja: | deps
	cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQEL_TESTS=OFF

build/check/build.ninja: | deps
	cmake -S . -B build/check -G Ninja $(DEBUG_O1) -DQEL_SANITIZE=ON

# The stress build runs only the Qel-level tests, so it builds no unit tests.
build/stress/build.ninja: | deps
	cmake -S . -B build/stress -G Ninja $(DEBUG_O1) -DQEL_GC_STRESS=ON -DQEL_UNIT_TESTS=OFF

release: deps build/release/build.ninja
	ninja -C build/release -j $(JOBS)

check: deps build/check/build.ninja
	ninja -C build/check -j $(JOBS)

stress: deps build/stress/build.ninja
	ninja -C build/stress -j $(JOBS)

run: release
	build/release/qel

# The project's random program generator (tests/fuzz/qel_programs.py) on
# the GC-stress build, each program run again on the check build: a fault is
# a sanitizer or runtime-error report, a bad status, a hang or any line where
# the two transcripts differ. Fixed seeds and a bounded size (about a minute
# on two cores); programs that fault are kept in build/differential.
DIFFERENTIAL = python3 tests/fuzz/qel_programs.py build/stress/qel --compare build/check/qel \
	--programs 5 --statements 25 --seed 1 --timeout 300 --out build/differential

differential: check stress
	$(DIFFERENTIAL)

# The layers first (tools/check_layers.py), then the Qel-level tests under
# GC stress, then the whole suite in the check build, then the differential
# run of both.
test: check stress
	python3 tools/check_layers.py
	cd build/stress && ctest --output-on-failure -j $(JOBS) -L qel
	cd build/check && ctest --output-on-failure -j $(JOBS)
	$(DIFFERENTIAL)

clean:
	rm -rf build
