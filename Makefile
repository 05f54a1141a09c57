# Two entry points for people: `make run` and `make test`.
# Both install what is missing from Debian first.
.PHONY: deps run test bench fuzz clean

JOBS ?= $(shell nproc)
SUDO := $(shell [ "$$(id -u)" -eq 0 ] || echo sudo)

deps:
	$(SUDO) scripts/install-deps

run: deps
	JOBS=$(JOBS) scripts/run

test: deps
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	scripts/fuzz 5
	ctest --preset asan
	JOBS=$(JOBS) scripts/tsan

fuzz: deps
	scripts/fuzz $(or $(SECONDS),60) $(NAME)

bench: deps
	cmake --preset release
	cmake --build --preset release -j $(JOBS)
	@for b in build/release/bench/*_bench; do [ -x "$$b" ] && "$$b" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true; done

clean:
	rm -rf build
