# The two commands: `make demo` runs the main job, `make test` runs every suite.
.PHONY: all bootstrap build test demo bench clean

all: build

bootstrap:
	@tools/bootstrap

build: bootstrap
	cmake --preset x64 >/dev/null && cmake --build build/x64 -j$$(nproc)
	cmake --preset x86 >/dev/null && cmake --build build/x86 -j$$(nproc)

test: bootstrap
	@tools/run-tests

demo: bootstrap
	@tools/demo

bench: bootstrap
	@tools/bench-converter

clean:
	rm -rf build
