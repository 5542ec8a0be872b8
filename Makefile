# Front door: the real build is CMake's, in build/.
BUILD ?= build
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 60
CMAKE_FLAGS ?=
# Installs the Debian packages a target needs (packages.txt); DEPS=: skips that.
DEPS ?= packaging/deps
# Configured once it succeeded, and again after packages were installed or removed.
CONFIGURED = $(BUILD)/.configured

.PHONY: all build test asan fuzz demo install bench load clean package view-bench forward-bench faults fleet system-test
# The packages come before the configure that looks for them.
.NOTPARALLEL:
MAKEFLAGS += --no-print-directory
PREFIX ?= /usr/local
LOG_DIR := /var/log/Tembra

all: build

deps-%:
	@$(DEPS) $*

$(CONFIGURED): $(wildcard /var/lib/dpkg/status)
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	@touch $@
$(BUILD)/CMakeCache.txt: $(CONFIGURED) ;

build: deps-build $(CONFIGURED)
	cmake --build $(BUILD) -j $(JOBS)

test: deps-test build
	ctest --test-dir $(BUILD) -j $(JOBS) --output-on-failure --no-tests=error

# The same tests built with AddressSanitizer and UndefinedBehaviorSanitizer.
asan:
	$(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DTEMBRA_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo"

# The formatter's fuzzer, with its corpus kept in the fuzz build tree.
fuzz: deps-build deps-fuzz
	cmake -S . -B build-fuzz -DTEMBRA_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
	cmake --build build-fuzz -j $(JOBS) --target format_fuzz
	mkdir -p build-fuzz/corpus
	build-fuzz/bin/format_fuzz -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 build-fuzz/corpus

# Benchmarks in a private namespace; the ratios follow the table.
BENCH_ARGS ?= --benchmark_repetitions=3 --benchmark_report_aggregates_only=true
bench: deps-bench build
	$(BUILD)/bin/logger_bench $(BENCH_ARGS)
	$(MAKE) view-bench
	@echo; echo "tembra-forward's throughput against rsyslog's own shipping: make forward-bench"

# tembra-forward: 200,000 records to a local rsyslogd over tcp, tls and relp, and
# rsyslog's imfile+omrelp on the same file, in one private namespace.
forward-bench: build
	$(BUILD)/bin/forward_bench

# Hosts in namespaces of their own (producers, tembra-drain, tembra-forward) shipping
# to two rsyslog collectors over RELP while a collector, a link and a forwarder fail.
fleet: deps-test build
	$(BUILD)/bin/fleet $(FLEET_ARGS)

# tembra-view: a level filter against grep on 1 GB, -r against forward, the first line of -n and -f, memory.
view-bench: build
	bench/view_bench.sh $(BUILD)

# Producers against one tembra-drain --follow, then against a private
# rsyslogd; medians and ranges over LOAD_RUNS runs.
LOAD_RUNS ?= 5
load: build
	$(BUILD)/bin/logger_load --runs $(LOAD_RUNS)

# Every fault the drain must survive, done to the real programs in private
# namespaces; fails when a line is lost or torn.
faults: build
	$(BUILD)/bin/logger_faults

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# A Debian package of the programs, library, pages, completion, units and snippets.
package: deps-package build
	cmake --build $(BUILD) --target package

# The package installed with apt on a fresh Debian 12 booted with systemd as PID 1
# (a cached debootstrap root under systemd-nspawn -b), used by several users,
# reloaded, killed, upgraded, removed and purged; SKIPPED where nspawn cannot run.
system-test: deps-system package
	tests/system/run.sh $(BUILD)

# The demo end to end on this machine's own queue and log directory; it builds
# only the two programs it runs.
demo: deps-build $(CONFIGURED)
	cmake --build $(BUILD) -j $(JOBS) --target tembra-demo tembra-drain
	@if [ ! -d $(LOG_DIR) ] && ! mkdir -p $(LOG_DIR) 2>/dev/null; then \
	  if command -v sudo >/dev/null && sudo mkdir -p $(LOG_DIR) && sudo chown $$(id -un) $(LOG_DIR); then \
	    echo "created $(LOG_DIR) for $$(id -un) through sudo"; else \
	  echo "$(LOG_DIR) is missing and cannot be created by $$(id -un). Run:"; \
	  echo "  sudo mkdir -p $(LOG_DIR) && sudo chown $$(id -un) $(LOG_DIR)"; \
	  exit 1; fi; fi
	@echo "== tembra-demo posts two records"
	$(BUILD)/bin/tembra-demo
	@echo; echo "== tembra-drain writes them to the day's file"
	$(BUILD)/bin/tembra-drain
	@echo; echo "== $(LOG_DIR)/tembra-$$(date +%Y%m%d).log"
	@cat $(LOG_DIR)/tembra-$$(date +%Y%m%d).log

clean:
	rm -rf build build-asan build-fuzz
