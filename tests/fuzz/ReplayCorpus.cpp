// The native build's stand-in for libFuzzer's driver: runs a fuzz target's
// LLVMFuzzerTestOneInput over every file of its corpus folders, so that the
// test suite sees a target that no longer links, or that crashes or traps on
// a seed, under the same sanitizers as the other native tests.
//   fuzz_replay_NAME FOLDER...
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> filesIn(const fs::path& folder) {
    std::vector<fs::path> files;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        if (it->is_regular_file()) files.push_back(it->path());
    std::sort(files.begin(), files.end());
    return files;
}

bool replay(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return false;
    // Its own heap block of exactly the input's size, as libFuzzer gives it,
    // so that a read past the end is one that AddressSanitizer sees; never a
    // null pointer, not even for an empty file.
    std::vector<std::uint8_t> exact(bytes.begin(), bytes.end());
    static const std::uint8_t none = 0;
    std::fprintf(stderr, "replaying %s (%zu bytes)\n", file.c_str(), exact.size());
    LLVMFuzzerTestOneInput(exact.empty() ? &none : exact.data(), exact.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CORPUS_FOLDER...\n", argv[0]);
        return 2;
    }
    std::size_t replayed = 0;
    for (int i = 1; i < argc; ++i) {
        std::vector<fs::path> files = filesIn(argv[i]);
        // A corpus that went missing or empty would make this test pass on nothing.
        if (files.empty()) {
            std::fprintf(stderr, "no inputs in %s\n", argv[i]);
            return 1;
        }
        for (const fs::path& file : files) {
            if (!replay(file)) {
                std::fprintf(stderr, "cannot read %s\n", file.c_str());
                return 1;
            }
            ++replayed;
        }
    }
    std::printf("%zu inputs replayed without a finding\n", replayed);
    return 0;
}
