# A thin front over CMake:
#   make            build into build/
#   make check      build and run every test (the end-to-end ones need root)
#   make demo       the monitor at work, live, in a throwaway sandbox (root)
#   make bench      the speed figures (root)
#   make box-check  the Debian package against real logind, sshd and PAM in
#                   a throwaway Debian 12 machine (root; about 10 minutes)
#   make fuzz       the fuzz targets, FUZZ_SECONDS (30) each, built with clang
#   make install    install into /usr (DESTDIR= honoured)
#   make package    the Debian package, checked by lintian, in build/package/
BUILD ?= build
CMAKE_FLAGS ?=
# Continuous integration treats every warning as an error.
WERROR ?= $(if $(CI),ON,OFF)
JOBS ?= $(shell nproc)

.PHONY: all deps configure check demo bench install package clean

all: configure
	cmake --build $(BUILD) -j $(JOBS)

deps:
	./scripts/install-deps

configure: deps
	cmake -S . -B $(BUILD) -DKESTRUNE_WERROR=$(WERROR) $(CMAKE_FLAGS)

check: all
	@[ "$$(id -u)" -eq 0 ] || echo "Not root: the end-to-end tests will be skipped, as they build their sandbox of namespaces, which needs root."
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

demo: all
	$(BUILD)/demo/kestrune_demo

bench: all
	$(BUILD)/bench/monitor_bench
	$(BUILD)/bench/maintenance_bench
	$(BUILD)/bench/logind_bench

# libFuzzer needs clang: the targets have a build of their own.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 30
.PHONY: fuzz
fuzz: deps
	CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DKESTRUNE_FUZZ=ON -DBUILD_TESTING=OFF -DKESTRUNE_WERROR=$(WERROR)
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_targets
	./fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

# A booted container, so that the logins are sshd's own, through PAM and
# systemd-logind, and the monitor runs as the machine's service.
.PHONY: box-check
box-check: package
	tests/box/run $(BUILD)/package

install: all
	cmake --install $(BUILD) --prefix /usr

package: deps
	scripts/build-package $(BUILD)/package

clean:
	rm -rf $(BUILD)
