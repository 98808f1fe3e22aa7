# A thin front over CMake: make, make check, make bench, make install, make clean.
BUILD ?= build
CMAKE_FLAGS ?=
# Continuous integration treats every warning as an error.
WERROR ?= $(if $(CI),ON,OFF)
JOBS ?= $(shell nproc)

.PHONY: all deps configure check bench install clean

all: configure
	cmake --build $(BUILD) -j $(JOBS)

deps:
	./scripts/install-deps

configure: deps
	cmake -S . -B $(BUILD) -DKESTRUNE_WERROR=$(WERROR) $(CMAKE_FLAGS)

check: all
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# Speed figures of the monitor; run as root (they build the test sandbox).
bench: all
	$(BUILD)/bench/monitor_bench

install: all
	cmake --install $(BUILD) --prefix /usr

clean:
	rm -rf $(BUILD)
