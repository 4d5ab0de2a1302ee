// SPDX-License-Identifier: MIT
// Runs a fuzz target over saved inputs without libFuzzer, with any compiler:
//   replay-<target> DIR|FILE...
// Each argument is an input file or a directory of them (a missing directory
// counts as empty, so an empty regressions/ directory need not exist). A broken
// property aborts the run; otherwise it prints how many inputs passed.
#include <dirent.h>
#include <string.h>
#include <sys/stat.h>

#include "fuzz_check.h"

namespace {

// Inputs are small seeds and minimised crashes; larger files are a mistake.
constexpr size_t INPUT_LIMIT = 1 << 20;

int replay_file(const char *path)
{
    FILE *f = fopen(path, "rb");
    if (f == nullptr) {
        fprintf(stderr, "cannot open %s\n", path);
        return -1;
    }
    auto *data = static_cast<uint8_t *>(malloc(INPUT_LIMIT));
    const size_t size = data == nullptr ? 0 : fread(data, 1, INPUT_LIMIT, f);
    const bool failed = data == nullptr || ferror(f) != 0 || fgetc(f) != EOF;
    fclose(f);
    if (failed) {
        fprintf(stderr, "cannot read %s (or it is over %zu bytes)\n", path, INPUT_LIMIT);
        free(data);
        return -1;
    }
    // An exactly sized copy, so that a read past the input's end is caught by
    // the sanitizers as it would be under libFuzzer.
    auto *input = static_cast<uint8_t *>(malloc(size == 0 ? 1 : size));
    if (input == nullptr) {
        free(data);
        return -1;
    }
    memcpy(input, data, size);
    free(data);
    LLVMFuzzerTestOneInput(input, size);
    free(input);
    return 1;
}

// Number of inputs replayed, or -1 after an unreadable one.
int replay_path(const char *path)
{
    struct stat st;
    if (stat(path, &st) != 0)
        return 0;
    if (!S_ISDIR(st.st_mode))
        return replay_file(path);

    DIR *dir = opendir(path);
    if (dir == nullptr) {
        fprintf(stderr, "cannot list %s\n", path);
        return -1;
    }
    int count = 0;
    char file[4096];
    while (const struct dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        snprintf(file, sizeof file, "%s/%s", path, entry->d_name);
        const int n = replay_file(file);
        if (n < 0) {
            count = -1;
            break;
        }
        count += n;
    }
    closedir(dir);
    return count;
}

} // namespace

int main(int argc, char **argv)
{
    int total = 0;
    for (int i = 1; i < argc; ++i) {
        const int n = replay_path(argv[i]);
        if (n < 0)
            return 1;
        total += n;
    }
    printf("%d inputs replayed, all properties held\n", total);
    return 0;
}
