# Convenience wrapper around the CMake build.
#   make run  [CHANNELS=10 DENSITY=1 USERS=10 DATA=data]   build qemgen, then all three phases in DATA
#   make test                                              build everything and run every test
#   make bench [BENCH_DIR=/dev/shm RUNS=5 COMPARE=path]    throughput of phases 1 and 2 (COMPARE: another qemgen
#                                                          measured alongside), of qemverify on phases 1 to 3, of
#                                                          compressed parts against plain ones (compressbench), and
#                                                          of qemexport against cat of the same files (exportbench)
#   make bench-manifests [BENCH_DIR=/dev/shm RUNS=8]       what the manifests cost: qemgen against its build from the
#                                                          commit before them, in alternating order (bench/manifestbench.sh)
#   make bench-load [CHANNELS=10 DENSITY=1]                qemload into a throwaway PostgreSQL server, against the
#                                                          plain binary COPY of the same rows
#   make bench-queries [CHANNELS=10 DENSITY=1 USERS=10 DATA=data SCHEMA=qem PGFOLDER=pgdata LIMIT=]
#                                                          the workload against make load's server: the data set
#                                                          (written unless DATA holds a finished one) loaded, its
#                                                          answers computed from the files (timed), every query
#                                                          run with its answer checked; queries per hour
#   make load [DATA=data SCHEMA=qem PGFOLDER=pgdata]       a PostgreSQL server of its own in PGFOLDER (started,
#                                                          or reused when running), the data set of DATA loaded
#                                                          into schema SCHEMA (replacing qemload's own schema)
#   make load-stop [PGFOLDER=pgdata]                       stop that server
#   make install [PREFIX=/usr/local]                       install the programs into PREFIX/bin
# Each target first checks for the Debian packages it needs (scripts/ensure-tools):
# run as root it installs the missing ones, otherwise it names them and stops.
# One build folder serves all targets: each configures it with or without the
# tests, so GoogleTest (and PostgreSQL, for the loader's tests) is needed only
# by test and build.
BUILD ?= build
BUILD_TYPE ?= RelWithDebInfo
CHANNELS ?= 10
DENSITY ?= 1
USERS ?= 10
DATA ?= data
PREFIX ?= /usr/local
SCHEMA ?= qem
PGFOLDER ?= pgdata
JOBS ?= $(shell nproc)
# The benchmark's folder: memory (tmpfs) where the system has it.
BENCH_DIR ?= $(firstword $(wildcard /dev/shm) /tmp)
RUNS ?= 5
COMPARE ?=
LIMIT ?=

ENSURE = ./scripts/ensure-tools
# $(call configure,ON|OFF): configure the build folder with or without the tests.
configure = cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DBUILD_TESTING=$(1) >/dev/null

.PHONY: all build run test bench bench-manifests bench-load bench-queries load load-stop install clean
# The targets share one build folder: never run two of them at once.
.NOTPARALLEL:

all: build

# Everything, tests included.
build:
	$(ENSURE) build test load
	$(call configure,ON)
	cmake --build $(BUILD) -j $(JOBS)

run:
	$(ENSURE) build
	$(call configure,OFF)
	cmake --build $(BUILD) -j $(JOBS) --target qemgen
	mkdir -p $(DATA)
	rm -f $(DATA)/qem1r2genstate
	cd $(DATA) && printf '%s\n%s\n%s\n' $(CHANNELS) $(DENSITY) $(USERS) | $(abspath $(BUILD))/qemgen
	cd $(DATA) && $(abspath $(BUILD))/qemgen </dev/null
	cd $(DATA) && $(abspath $(BUILD))/qemgen </dev/null

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

bench:
	$(ENSURE) build
	$(call configure,OFF)
	cmake --build $(BUILD) -j $(JOBS) --target factbench compressbench exportbench qemgen qempart qemverify qemexport
	$(BUILD)/factbench --folder $(BENCH_DIR) --channels $(CHANNELS) --density $(DENSITY) --users $(USERS) \
		--runs $(RUNS) $(if $(COMPARE),--compare $(COMPARE))
	$(BUILD)/compressbench --folder $(BENCH_DIR) --channels $(CHANNELS) --density $(DENSITY) --runs $(RUNS)
	$(BUILD)/exportbench --folder $(BENCH_DIR) --channels $(CHANNELS) --density $(DENSITY) --users $(USERS) --runs $(RUNS)

# At least 8 pairs: RUNS below 8 is raised to 8.
bench-manifests:
	$(ENSURE) build
	$(call configure,OFF)
	cmake --build $(BUILD) -j $(JOBS) --target factbench qemgen qemverify
	BENCH_DIR=$(BENCH_DIR) RUNS=$(if $(filter-out 1 2 3 4 5 6 7,$(RUNS)),$(RUNS),8) CHANNELS=$(CHANNELS) DENSITY=$(DENSITY) \
		USERS=$(USERS) ./bench/manifestbench.sh $(BUILD)

install:
	$(ENSURE) build
	$(call configure,OFF)
	cmake --build $(BUILD) -j $(JOBS)
	cmake --install $(BUILD) --prefix $(PREFIX)

bench-load:
	$(ENSURE) build load
	$(call configure,OFF)
	cmake --build $(BUILD) -j $(JOBS) --target loadbench
	$(BUILD)/loadbench $(CHANNELS) $(DENSITY)

bench-queries:
	$(ENSURE) build load
	$(call configure,OFF)
	cmake --build $(BUILD) -j $(JOBS) --target qemgen qemload qemquery localpg
	CHANNELS=$(CHANNELS) DENSITY=$(DENSITY) USERS=$(USERS) DATA=$(DATA) SCHEMA=$(SCHEMA) PGFOLDER=$(PGFOLDER) \
		LIMIT=$(LIMIT) ./bench/querybench.sh $(BUILD)

# The server is the loader tests' own kind (build/localpg): a Unix socket in
# PGFOLDER only, run as 'nobody' when called as root. A second load replaces
# the schema, as qemload --replace does: only a schema qemload published.
load:
	$(ENSURE) build load
	$(call configure,OFF)
	cmake --build $(BUILD) -j $(JOBS) --target qemload localpg qemquery
	conninfo="$$($(BUILD)/localpg start $(PGFOLDER))" && \
	  $(BUILD)/qemload --replace --schema $(SCHEMA) "$$conninfo" $(DATA)
	@echo
	@echo "The data set of $(DATA) is in schema $(SCHEMA) of the server in $(abspath $(PGFOLDER)). Connect with:"
	@echo "    psql \"host=$(abspath $(PGFOLDER)) user=qem dbname=postgres options=-csearch_path=$(SCHEMA)\""
	@echo "Run the benchmark's queries against it, every answer checked (docs/queries.md):"
	@echo "    $(BUILD)/qemquery answers $(DATA) --out answers.txt"
	@echo "    $(BUILD)/qemquery run$(if $(filter-out qem,$(SCHEMA)), --schema $(SCHEMA)) \"host=$(abspath $(PGFOLDER)) user=qem dbname=postgres\" $(DATA) --check answers.txt"
	@echo "Stop the server with:"
	@echo "    make load-stop$(if $(filter-out pgdata,$(PGFOLDER)), PGFOLDER=$(PGFOLDER))"
	@echo "(make load starts it again; to drop the database, stop it and remove $(PGFOLDER) and what it links to, if it is a link.)"

load-stop:
	$(ENSURE) build load
	$(call configure,OFF)
	cmake --build $(BUILD) -j $(JOBS) --target localpg
	$(BUILD)/localpg stop $(PGFOLDER)

clean:
	rm -rf $(BUILD)
