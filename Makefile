# Two commands matter: `make demo` and `make test`. Everything else is a step of theirs.
JOBS ?= 2
PYTHON := /usr/bin/python3
export WINEDEBUG := -all
export WINEPREFIX := $(CURDIR)/build-win32/wineprefix

.PHONY: all build build-win32 build-asan deps test unit-tests e2e-tests demo bench clean

all: build

deps:
	@sh scripts/install-deps.sh

build:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build -j $(JOBS)

build-asan:
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DFTPUPLOAD_SANITIZE=ON
	cmake --build build-asan -j $(JOBS)

build-win32:
	cmake -S . -B build-win32 -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
	cmake --build build-win32 -j $(JOBS)

unit-tests: build build-asan build-win32
	cd build && ctest --output-on-failure -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j $(JOBS)
	cd build-win32 && ctest --output-on-failure

# The runs spend most of their time in fixed pauses, not on the CPU, so more workers than
# cores keep the suite short.
E2E_WORKERS ?= 8
e2e-tests: build build-win32
	$(PYTHON) -m pytest -q -n $(E2E_WORKERS) tests/e2e

test: deps
	$(MAKE) unit-tests
	$(MAKE) e2e-tests

demo: deps build
	$(PYTHON) scripts/demo.py

# Not part of `make test`: it measures, on this machine, against a local vsftpd (bench/bench.py).
bench: deps build
	$(PYTHON) bench/bench.py

clean:
	rm -rf build build-win32 build-asan
