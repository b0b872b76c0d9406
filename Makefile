# Convenience targets over CMake; see README.md.
.PHONY: all demo check clean
all:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release && cmake --build build -j
demo:
	sh scripts/demo.sh
check:
	sh scripts/check.sh
clean:
	rm -rf build build-asan
