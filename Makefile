# Two commands matter: `make demo` and `make test`. Everything else is a step of theirs.
JOBS ?= 2
PYTHON := /usr/bin/python3
export WINEDEBUG := -all
# The Windows build the tests run (build-win32, or build-win64 where 32-bit code cannot run);
# asked when a step needs it, so a fresh machine has Wine installed by then.
WIN_TEST = $(shell sh scripts/windows-test-build.sh)
WIN_LOADER = $(if $(filter build-win64,$(WIN_TEST)),/usr/lib/wine/wine64,wine)
export WINEPREFIX = $(CURDIR)/$(WIN_TEST)/wineprefix

.PHONY: all build build-win32 build-win64 win-test-build build-asan deps test unit-tests e2e-tests demo bench clean

all: build

deps:
	@sh scripts/install-deps.sh

build:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFTPUPLOAD_TESTS=ON
	cmake --build build -j $(JOBS)

build-asan:
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DFTPUPLOAD_SANITIZE=ON
	cmake --build build-asan -j $(JOBS)

build-win32:
	cmake -S . -B build-win32 -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
	cmake --build build-win32 -j $(JOBS)

build-win64:
	cmake -S . -B build-win64 -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
	cmake --build build-win64 -j $(JOBS)

# The 32-bit exe is always built; where it cannot run, the line says so and the 64-bit one is tested.
win-test-build: build-win32
	@if [ "$(WIN_TEST)" = build-win64 ]; then \
	  echo "this kernel cannot execute 32-bit programs: the Windows tests run build-win64 (the same sources, 64-bit); build-win32/ftpupload.exe is built, not run"; \
	  $(MAKE) build-win64; \
	fi

unit-tests: build build-asan win-test-build
	cd build && ctest --output-on-failure -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j $(JOBS)
	cd $(WIN_TEST) && ctest --output-on-failure

# The runs spend most of their time in fixed pauses, not on the CPU, so more workers than
# cores keep the suite short.
E2E_WORKERS ?= 8
e2e-tests: build win-test-build
	FTPUPLOAD_WIN32_EXE=$(CURDIR)/$(WIN_TEST)/ftpupload.exe FTPUPLOAD_WINE=$(WIN_LOADER) \
	  $(PYTHON) -m pytest -q -n $(E2E_WORKERS) tests/e2e

test: deps
	$(MAKE) unit-tests
	$(MAKE) e2e-tests

# The demo builds the program alone, so it needs neither GoogleTest nor the test servers.
demo:
	@sh scripts/install-deps.sh demo
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFTPUPLOAD_TESTS=OFF
	cmake --build build -j $(JOBS) --target ftpupload
	$(PYTHON) scripts/demo.py

# Not part of `make test`: it measures, on this machine, against a local vsftpd (bench/bench.py).
bench: deps build
	$(PYTHON) bench/bench.py

clean:
	rm -rf build build-win32 build-win64 build-asan
