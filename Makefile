# The one entry point: make deps | demo | build | test | sanitize | tsan | bench | format | format-check
# Build folders: build/ (tests), build-asan/ (ASan+UBSan), build-tsan/ (TSan), build-bench/ (Release).

JOBS      ?= $(shell nproc)
CMAKE     ?= cmake
CTEST_ARGS ?= --output-on-failure -j $(JOBS)

DEB_PACKAGES := cmake make g++ pkg-config clang-format \
  libopenimageio-dev libgtest-dev libgmock-dev libbenchmark-dev \
  libegl1 libegl-mesa0 libgl1-mesa-dri libegl-dev libgl-dev \
  libopenblas64-serial-dev libopencolorio-dev libimath-dev libabsl-dev

FORMAT_FILES = $(shell git ls-files '*.h' '*.cpp' 2>/dev/null)

.PHONY: deps demo build test sanitize tsan bench format format-check clean

deps:
	@missing=""; for p in $(DEB_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  export DEBIAN_FRONTEND=noninteractive; \
	  apt-get update -qq && apt-get install -y -qq --no-install-recommends $$missing; \
	else echo "all build dependencies present"; fi

# The reference host renders its shot into out/; DEMO_ARGS passes options (see --help).
demo:
	$(CMAKE) -S . -B build -DQUARN_BUILD_TESTS=ON
	$(CMAKE) --build build -j $(JOBS) --target quarn_demo
	./build/examples/demo/quarn_demo $(DEMO_ARGS)

build:
	$(CMAKE) -S . -B build -DQUARN_BUILD_TESTS=ON
	$(CMAKE) --build build -j $(JOBS)

test: build
	cd build && ctest $(CTEST_ARGS)

sanitize:
	$(CMAKE) -S . -B build-asan -DQUARN_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Debug "-DQUARN_SANITIZE=address;undefined"
	$(CMAKE) --build build-asan -j $(JOBS)
	cd build-asan && ctest $(CTEST_ARGS)

# The threaded suites (ctest label "tsan") under ThreadSanitizer.
tsan:
	$(CMAKE) -S . -B build-tsan -DQUARN_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Debug -DQUARN_SANITIZE=thread
	$(CMAKE) --build build-tsan -j $(JOBS)
	cd build-tsan && ctest $(CTEST_ARGS) -L tsan

bench:
	$(CMAKE) -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DQUARN_BUILD_TESTS=ON -DQUARN_BUILD_BENCH=ON
	$(CMAKE) --build build-bench -j $(JOBS) --target run_benchmarks

format:
	clang-format -i $(FORMAT_FILES)

format-check:
	clang-format --dry-run --Werror $(FORMAT_FILES)

clean:
	rm -rf build build-asan build-tsan build-bench
