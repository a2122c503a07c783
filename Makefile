# Entry points for people and CI. `make test` is the one test command.
BUILD       ?= build
BUILD_ASAN  ?= build-asan
BUILD_TSAN  ?= build-tsan
BUILD_WIN   ?= build-windows
BUILD_FUZZ  ?= build-fuzz
FUZZ_SECONDS ?= 60
JOBS        ?= $(shell nproc)

# Debian packages the build and the tests need (iproute2 and util-linux: the tests that start a
# proxy run in a network namespace of their own, with loopback alone; curl: the README's first
# example).
PACKAGES     := cmake ninja-build g++ binutils pkg-config googletest libgtest-dev libgmock-dev \
                libbenchmark-dev locales-all libsqlite3-dev libcli11-dev libboost1.81-dev python3 \
                libssl-dev ca-certificates openssl help2man zlib1g-dev libbrotli-dev libzstd-dev libzip-dev \
                wget iproute2 util-linux curl python3-prometheus-client python3-brotli python3-zstandard \
                libzim-dev liblzma-dev
WIN_PACKAGES := g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
# Running the Windows tests: Wine, and a virtual display for the test that makes a window.
WINE_PACKAGES := wine64 xvfb xauth
FUZZ_PACKAGES := clang libclang-rt-14-dev
# Making the Debian package (dpkg-shlibdeps) and checking it: its manual pages, completion, unit.
PACKAGE_PACKAGES := dpkg-dev man-db groff-base bash-completion systemd

SUDO := $(shell [ "$$(id -u)" = 0 ] && echo "" || (command -v sudo >/dev/null && echo sudo))

define install_missing
	@missing=""; for p in $(1); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ] || command -v sudo >/dev/null; then \
	    echo "Installing:$$missing"; \
	    $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get update -qq && \
	    $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing; \
	  else \
	    echo "Missing Debian packages:$$missing (install them, or run as root)"; exit 1; \
	  fi; \
	fi
endef

BENCH_PACKAGES   := wrk nginx-light squid curl openssl
# Chromium for the real-browser tests; nginx and Debian's Python documentation for the test that
# mirrors a real site whole (tests/tools/real_site_test.py).
BROWSER_PACKAGES := chromium libnss3-tools nginx-light python3.11-doc

.PHONY: all deps deps-windows deps-wine deps-fuzz deps-bench deps-browser deps-package build test \
        test-asan test-tsan windows test-windows fuzz bench bench-proxy bench-warc bench-zim run package \
        test-package check-fresh-debian format clean

all: build

deps:
	$(call install_missing,$(PACKAGES))

deps-windows:
	$(call install_missing,$(WIN_PACKAGES))

deps-wine:
	$(call install_missing,$(WINE_PACKAGES))

deps-fuzz:
	$(call install_missing,$(FUZZ_PACKAGES))

deps-package:
	$(call install_missing,$(PACKAGE_PACKAGES))

deps-bench:
	$(call install_missing,$(BENCH_PACKAGES))

# The real-browser test runs when Chromium is there; CI installs it.
deps-browser:
	$(call install_missing,$(BROWSER_PACKAGES))

$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: deps
	cmake -S . -B $(BUILD_ASAN) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	  -DQUILLON_SANITIZE=address,undefined -DQUILLON_BUILD_BENCHMARKS=OFF
	cmake --build $(BUILD_ASAN) -j $(JOBS)
	ctest --test-dir $(BUILD_ASAN) --output-on-failure -j $(JOBS)

# The thread tests under ThreadSanitizer.
test-tsan: deps
	cmake -S . -B $(BUILD_TSAN) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	  -DQUILLON_SANITIZE=thread -DQUILLON_BUILD_BENCHMARKS=OFF
	cmake --build $(BUILD_TSAN) -j $(JOBS)
	ctest --test-dir $(BUILD_TSAN) --output-on-failure -L thread

# The filter library for Windows with MinGW-w64; checks that it exports exactly the entry points.
windows: deps deps-windows
	cmake -S . -B $(BUILD_WIN) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
	cmake --build $(BUILD_WIN) -j $(JOBS) --target quillon_filter quillon_filter_zip
	scripts/check-windows-exports $(BUILD_WIN)/src/quillon_filter.dll
	@echo "The DLL, its .def and INSTALL.txt: $$(ls $(BUILD_WIN)/quillon-filter-*-windows-x64.zip)"

# The filter's suites cross-built with MinGW-w64 and run under Wine, headless on a virtual display
# (one test makes a window). The Wine prefix lives in the build folder.
WINE := /usr/lib/wine/wine64
test-windows: deps deps-windows deps-wine
	cmake -S . -B $(BUILD_WIN) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_CROSSCOMPILING_EMULATOR=$(WINE)
	cmake --build $(BUILD_WIN) -j $(JOBS) --target quillon_filter quillon_tests quillon_export_tests
	scripts/check-windows-exports $(BUILD_WIN)/src/quillon_filter.dll
	export WINEPREFIX=$(abspath $(BUILD_WIN))/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="; \
	  xvfb-run -a sh -c '$(WINE) wineboot --init && ctest --test-dir $(BUILD_WIN) --output-on-failure \
	    --timeout 300; status=$$?; /usr/lib/wine/wineserver -k; exit $$status'

# The proxy on the sample disc, for a browser or curl -x: builds only the proxy and what it loads.
PORT ?= 8080
run: $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target quillon-proxy
	@echo
	@echo "quillon-proxy serves the sample disc on 127.0.0.1:$(PORT). Try:"
	@echo "  curl -L -x 127.0.0.1:$(PORT) http://harbour.example/"
	@echo "or set a browser's HTTP proxy to 127.0.0.1:$(PORT) and open http://harbour.example/"
	@echo "Stop it with Ctrl-C."
	@echo
	$(BUILD)/host/quillon-proxy --listen 127.0.0.1:$(PORT)

# The Debian package from the build folder: what is installed is built, nothing else.
package: $(BUILD)/build.ninja deps-package
	cmake --build $(BUILD) -j $(JOBS) --target quillon-proxy quillon-disc quillon_man_pages
	rm -f $(BUILD)/quillon_*.deb
	cd $(BUILD) && cpack -G DEB
	@ls $(BUILD)/quillon_*.deb

# The package unpacked into a scratch root: the installed proxy serves the sample disc as an
# unprivileged user, the manual pages render, the completion completes, the unit verifies.
test-package: package
	python3 tests/packaging/package_test.py $(BUILD)/quillon_*.deb

# The README's install commands on a fresh Debian 12 made with debootstrap (root and a Debian
# mirror needed; a few minutes): apt installs the package, its proxy serves the sample disc.
check-fresh-debian: package
	$(call install_missing,debootstrap curl)
	scripts/check-fresh-debian $(BUILD)/quillon_*.deb

# Every fuzz target in fuzz/ (each executable fuzz_<name>) for FUZZ_SECONDS, under ASan and UBSan,
# from its seeds in fuzz/corpus/<name>/; what it learns stays in $(BUILD_FUZZ)/corpus/<name>/.
# A single allocation may reach 5 GiB: libzim reserves a compressed cluster's blobs by their
# recorded sizes (up to 4 GiB with 32-bit offsets) and fails when the data runs out, which is
# address space rather than memory; the resident limit stays at libFuzzer's 2 GiB.
fuzz: deps deps-fuzz
	cmake -S . -B $(BUILD_FUZZ) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
	  -DQUILLON_FUZZ=ON -DQUILLON_BUILD_TESTS=OFF -DQUILLON_BUILD_BENCHMARKS=OFF
	cmake --build $(BUILD_FUZZ) -j $(JOBS) --target quillon_fuzzers
	@set -e; found=0; for target in $(BUILD_FUZZ)/fuzz/fuzz_*; do \
	  [ -f "$$target" ] && [ -x "$$target" ] || continue; found=$$((found + 1)); \
	  name=$${target##*/fuzz_}; corpus=$(BUILD_FUZZ)/corpus/$$name; mkdir -p $$corpus; \
	  seeds=""; [ -d fuzz/corpus/$$name ] && seeds=fuzz/corpus/$$name; \
	  echo "== fuzz_$$name for $(FUZZ_SECONDS) s"; \
	  log=$(BUILD_FUZZ)/fuzz_$$name.log; \
	  if ! $$target -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 -malloc_limit_mb=5120 \
	      -artifact_prefix=$(BUILD_FUZZ)/crash-$$name- $$corpus $$seeds >$$log 2>&1; then \
	    tail -n 60 $$log; echo "fuzz_$$name found a fault (input in $(BUILD_FUZZ)/crash-$$name-*)"; \
	    exit 1; \
	  fi; grep -aE '^(Done|stat::number_of_executed_units|stat::new_units_added)' $$log; \
	done; [ $$found -gt 0 ] || { echo "no fuzz target was built"; exit 1; }

bench-proxy: build deps-bench
	scripts/bench-proxy $(BUILD)
	tests/host/no_network.py python3 bench/proxy_limits_bench.py --proxy $(BUILD)/host/quillon-proxy \
	  --disc-tool $(BUILD)/tools/quillon-disc --filter $(BUILD)/src/libquillon_filter.so
	tests/host/no_network.py python3 tests/host/soak_test.py --proxy $(BUILD)/host/quillon-proxy \
	  --disc-tool $(BUILD)/tools/quillon-disc --filter $(BUILD)/src/libquillon_filter.so \
	  --seconds 60 --peak-growth-mib 32 --after-growth-mib 4

# A WARC of about 1 GB made up and imported: MB/s and the importer's peak memory.
bench-warc: build
	scripts/bench-warc $(BUILD)

# A ZIM of 1,000,000 small pages made up and imported: entries/s, MB/s and peak memory.
bench-zim: build
	scripts/bench-zim $(BUILD)

# search_bench keeps its 1,000,000-page catalogue in the temporary folder for later runs.
bench: build
	@for b in $(BUILD)/bench/*_bench; do echo "== $$b"; $$b --benchmark_min_time=0.2; done
	bench/mirror_import_bench.py --quillon-disc $(BUILD)/tools/quillon-disc \
	  --proxy $(BUILD)/host/quillon-proxy --filter $(BUILD)/src/libquillon_filter.so
	tests/host/no_network.py bench/search_load_test.py --quillon-disc $(BUILD)/tools/quillon-disc \
	  --proxy $(BUILD)/host/quillon-proxy --filter $(BUILD)/src/libquillon_filter.so

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_TSAN) $(BUILD_WIN) $(BUILD_FUZZ)
