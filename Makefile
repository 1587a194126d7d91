# Two commands do everything on a fresh Debian 12 machine: `make run` and `make test` (`./make run`
# and `./make test` where make itself is not installed yet). Each installs what is missing
# (scripts/install-deps.sh), configures and builds first.

BUILD      ?= build
ASAN_BUILD ?= build-asan
BENCH_BUILD ?= build-bench
FUZZ_BUILD ?= build-fuzz
JOBS       ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all deps configure build run test unit-asan bench fuzz package clean format

all: build

deps:
	@scripts/install-deps.sh

$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

configure: deps $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# Starts the companion. Without a display it renders a snapshot under Xvfb and says where.
run: build
	@scripts/run.sh $(BUILD)

# Every test: the unit tests, the integration tests against real parts, and the unit tests once
# more under AddressSanitizer and UndefinedBehaviorSanitizer.
test: build unit-asan
	cd $(BUILD) && ctest --output-on-failure
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure

unit-asan: deps
	@[ -f $(ASAN_BUILD)/build.ninja ] || cmake -S . -B $(ASAN_BUILD) -G Ninja \
	    -DCMAKE_BUILD_TYPE=Debug -DQUILLO_SANITIZE=ON -DQUILLO_GUI=OFF
	cmake --build $(ASAN_BUILD) -j $(JOBS) --target unit_tests

bench: deps
	@[ -f $(BENCH_BUILD)/build.ninja ] || cmake -S . -B $(BENCH_BUILD) -G Ninja \
	    -DCMAKE_BUILD_TYPE=Release -DQUILLO_BENCHMARKS=ON
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target diary_bench diary_poll_bench \
	    companion_harness webkit_anchor quillo-companion quillo-review-server bundle
	@scripts/bench.sh $(BENCH_BUILD)

fuzz: deps
	@[ -f $(FUZZ_BUILD)/build.ninja ] || CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja \
	    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLO_FUZZ=ON -DQUILLO_GUI=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	@scripts/fuzz.sh $(FUZZ_BUILD) $${FUZZ_SECONDS:-60}

# A Debian package of the installed layout, made from the tested build tree (hardened, stripped,
# the same on every run): $(BUILD)/quillo-companion_<version>_<arch>.deb, for
# `apt install ./quillo-companion_*.deb`. The package's /usr prefix is cpack's alone; the tree's
# own install prefix is left as it was. The staging folders take their modes from the umask.
package: build
	cd $(BUILD) && umask 022 && cpack -G DEB

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(BENCH_BUILD) $(FUZZ_BUILD)
