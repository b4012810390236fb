# Convenience wrapper around the CMake build.
#   make run  [CHANNELS=10 DENSITY=1 USERS=10 DATA=data]   all three phases
#   make test                                              build and run every test
#   make bench                                             fact-file throughput
#   make bench-load                                        qemload into a throwaway PostgreSQL server
BUILD ?= build
CHANNELS ?= 10
DENSITY ?= 1
USERS ?= 10
DATA ?= data
JOBS ?= $(shell nproc)

.PHONY: all build run test bench bench-load clean

all: build

build:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

run: build
	mkdir -p $(DATA)
	rm -f $(DATA)/qem1r2genstate
	cd $(DATA) && printf '%s\n%s\n%s\n' $(CHANNELS) $(DENSITY) $(USERS) | $(abspath $(BUILD))/qemgen
	cd $(DATA) && $(abspath $(BUILD))/qemgen </dev/null
	cd $(DATA) && $(abspath $(BUILD))/qemgen </dev/null

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

bench: build
	$(BUILD)/factbench

bench-load: build
	$(BUILD)/loadbench

clean:
	rm -rf $(BUILD)
