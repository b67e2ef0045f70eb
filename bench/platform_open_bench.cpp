// The cost of a share-mode open: CreateFileW + CloseHandle of an existing
// file through the POSIX platform layer, against open(2) + close(2) of the
// same file. The layer adds an fstat, an OFD lock and a stat of the path
// (see src/platform/posix/share_lock.cpp); this shows what they cost.
// Native only: the raw side is POSIX.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "core/disk_format.h"
#include "platform/win32.h"

namespace {

struct scratch_file {
    scratch_file() {
        char pattern[] = "/tmp/qmfiledb-bench-XXXXXX";
        directory = ::mkdtemp(pattern);
        path = directory + "/00000001" + odb::disk::attribute_file_suffix;
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        ::close(fd);
        wide_path.assign(path.begin(), path.end());
    }
    ~scratch_file() {
        ::unlink(path.c_str());
        ::rmdir(directory.c_str());
    }
    std::string directory, path;
    std::u16string wide_path;
};

scratch_file& file() {
    static scratch_file instance;
    return instance;
}

void raw_open_close(benchmark::State& state) {
    const char* path = file().path.c_str();
    for (auto _ : state) {
        int fd = ::open(path, O_RDWR | O_CLOEXEC);
        if (fd < 0) state.SkipWithError("open failed");
        ::close(fd);
    }
}

void layer_open_close(benchmark::State& state, DWORD access, DWORD share) {
    const WCHAR* path = file().wide_path.c_str();
    for (auto _ : state) {
        HANDLE handle = CreateFileW(path, access, share, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) state.SkipWithError("CreateFileW failed");
        CloseHandle(handle);
    }
}

void layer_shared(benchmark::State& state) {
    layer_open_close(state, GENERIC_READ, FILE_SHARE_READ);
}
void layer_exclusive(benchmark::State& state) {
    layer_open_close(state, GENERIC_READ | GENERIC_WRITE, 0);
}

}  // namespace

BENCHMARK(raw_open_close);
BENCHMARK(layer_shared);
BENCHMARK(layer_exclusive);

BENCHMARK_MAIN();
