# Entry points for newcomers and CI. See README.md.
.PHONY: all deps build check release bench-http clean

all: build

deps:
	@bash scripts/setup-deps.sh

build: deps
	cmake --preset debug
	cmake --build --preset debug

release: deps
	cmake --preset release
	cmake --build --preset release

# Sets everything up, builds the debug and the sanitizer builds and runs every
# test in both.
check: deps
	cmake --preset debug
	cmake --build --preset debug
	cmake --preset asan
	cmake --build --preset asan
	ctest --preset debug
	ctest --preset asan

# Benchmarks (release build): figures are printed, nothing is asserted.
bench-http: release
	bash bench/http_download.sh build/release

clean:
	rm -rf build
