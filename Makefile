# Plain entry points over CMake + Ninja.
#   make run      build the release binary and start the console
#   make test     install what is missing, build the check build and run every test
#   make release  build/release/qel
#   make check    build/check (debug -O1, AddressSanitizer + UndefinedBehaviorSanitizer)
#   make stress   build/stress (collects at every safe point)
JOBS ?= $(shell nproc)

.PHONY: all run test release check stress deps clean

all: release

deps:
	@tools/install-deps.sh

build/release/build.ninja:
	cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQEL_TESTS=OFF

release: deps build/release/build.ninja
	ninja -C build/release -j $(JOBS)

run: release
	build/release/qel

build/check/build.ninja:
	cmake -S . -B build/check -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" -DQEL_SANITIZE=ON

check: deps build/check/build.ninja
	ninja -C build/check -j $(JOBS)

build/stress/build.ninja:
	cmake -S . -B build/stress -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" -DQEL_GC_STRESS=ON

stress: deps build/stress/build.ninja
	ninja -C build/stress -j $(JOBS)

test: check stress
	cd build/check && ctest --output-on-failure -j $(JOBS)
	cd build/stress && ctest --output-on-failure -j $(JOBS) -L qel

clean:
	rm -rf build
