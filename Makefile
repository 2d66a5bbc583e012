# Entry points for newcomers and CI. See README.md.
.PHONY: all deps build demo demo-expansion demo-repair check fuzz release release-installed install package bench-http bench-patch bench-update bench-bt bench-engine bench-window bench-swarm clean

all: build

deps:
	@bash scripts/setup-deps.sh

build: deps
	cmake --preset debug
	cmake --build --preset debug

# A whole patch update against a local sample server (scripts/demo.sh): in
# the updater's window when there is a display, on the console otherwise.
# It runs in a tree of its own, build/demo, whose programs trust the keys
# file the demo writes there (ZORNIA_TRUSTED_KEYS_FILE): the list and the
# patches are signed, and an altered patch is refused at the end.
demo: deps
	cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKORVEL_BUILD_TESTS=OFF \
		-DZORNIA_TRUSTED_KEYS_FILE=$(CURDIR)/build/demo/demo/trusted-keys
	cmake --build build/demo --target korvel zrpatch
	bash scripts/demo.sh build/demo

# An expansion pack installed over HTTP from a local sample server
# (scripts/demo-expansion.sh), then a second run that finds nothing to do.
demo-expansion: build
	bash scripts/demo-expansion.sh build/debug

# A damaged client folder repaired by Vellum and its engine from a local
# server and a local peer (scripts/demo-repair.sh).
demo-repair: build
	bash scripts/demo-repair.sh build/debug

release: deps
	cmake --preset release
	cmake --build --preset release

# What is installed, built in the release tree without the tests.
release-installed: deps
	cmake --preset release
	cmake --build --preset release --target korvel Vellum zrpatch package_files

# Installs the release build's programs, manual pages, menu entry and icons
# under PREFIX, below DESTDIR when that is given:
#   make install DESTDIR=/tmp/stage PREFIX=/usr
PREFIX ?= /usr/local
install: release-installed
	DESTDIR="$(DESTDIR)" cmake --install build/release --prefix "$(PREFIX)"

# The Debian package, build/release/zornia-client-tools_VERSION_ARCH.deb.
package: release-installed
	cd build/release && cpack -G DEB

# Sets everything up, builds the debug and the sanitizer builds and runs every
# test in both.
check: deps
	cmake --preset debug
	cmake --build --preset debug
	cmake --preset asan
	cmake --build --preset asan
	ctest --preset debug
	ctest --preset asan
	$(MAKE) --no-print-directory fuzz

# libFuzzer targets (clang), each run for FUZZ_SECONDS on a scratch copy of
# its seed corpus in tests/fuzz/corpus/.
FUZZ_SECONDS ?= 30
FUZZERS := patch_body bzip2_blocks update_list http_response profile status_lines engine_input minisig keys
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug \
		-DKORVEL_FUZZ=ON -DKORVEL_BUILD_TESTS=OFF
	cmake --build build/fuzz --target $(addprefix fuzz_,$(FUZZERS))
	@set -e; for t in $(FUZZERS); do \
		rm -rf build/fuzz/corpus/$$t; mkdir -p build/fuzz/corpus/$$t; \
		cp tests/fuzz/corpus/$$t/* build/fuzz/corpus/$$t/; \
		echo "fuzz_$$t: $(FUZZ_SECONDS) s"; \
		build/fuzz/tests/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -timeout=10 -artifact_prefix=build/fuzz/ \
			-print_final_stats=1 build/fuzz/corpus/$$t 2>build/fuzz/fuzz_$$t.log \
			|| { tail -n 60 build/fuzz/fuzz_$$t.log; exit 1; }; \
		grep -E '^stat::number_of_executed_units' build/fuzz/fuzz_$$t.log; \
	done

# Benchmarks (release build): figures are printed, nothing is asserted.
bench-http: release
	bash bench/http_download.sh build/release

bench-patch: release
	/usr/bin/python3.11 bench/patch_apply.py build/release

bench-update: release
	bash bench/update.sh build/release

bench-bt: release
	bash bench/bt_download.sh build/release

bench-engine: release
	bash bench/engine.sh build/release

bench-window: release
	/usr/bin/python3.11 bench/window.py build/release

# Twelve engines (ENGINES="1 6 12") repairing empty copies of one client at
# once from nginx and each other: the web seed's bytes in copies of the client.
bench-swarm: release
	bash bench/swarm.sh build/release

clean:
	rm -rf build
