// Runs a fuzz harness over saved inputs, so that the seed corpus and every
// crash once found are replayed by the ordinary test run without libFuzzer.
// Arguments: files or folders (each regular file in a folder is one input,
// taken in name order). Fails when no input was found.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

namespace {

std::vector<fs::path> inputsOf(const fs::path& arg) {
    std::vector<fs::path> out;
    std::error_code ec;
    if (fs::is_directory(arg, ec)) {
        for (const auto& entry : fs::directory_iterator(arg, ec)) {
            if (entry.is_regular_file(ec)) out.push_back(entry.path());
        }
        std::sort(out.begin(), out.end());
    } else if (fs::is_regular_file(arg, ec)) {
        out.push_back(arg);
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    size_t count = 0;
    for (int i = 1; i < argc; ++i) {
        for (const fs::path& input : inputsOf(argv[i])) {
            std::ifstream in(input, std::ios::binary);
            std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            // A heap copy of exactly the input's size (never null), so that
            // AddressSanitizer sees any read past its end, as under the fuzzer.
            std::unique_ptr<uint8_t[]> exact(new uint8_t[bytes.size()]);
            std::copy(bytes.begin(), bytes.end(), exact.get());
            std::fprintf(stderr, "input %s (%zu bytes)\n", input.c_str(), bytes.size());
            LLVMFuzzerTestOneInput(exact.get(), bytes.size());
            ++count;
        }
    }
    std::printf("replayed %zu inputs\n", count);
    return count > 0 ? 0 : 1;
}
