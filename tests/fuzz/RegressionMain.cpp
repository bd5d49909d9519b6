// Runs a fuzz target without libFuzzer: every file of the corpus folders
// given as arguments, then a fixed set of generated inputs. Any failed check
// aborts the process, which fails the test.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

void Run(const std::vector<std::uint8_t>& input)
{
    // A copy of exactly the input's size, so a read past it lands outside
    // the allocation (visible under the address sanitizer).
    std::vector<std::uint8_t> copy(input);
    LLVMFuzzerTestOneInput(copy.empty() ? nullptr : copy.data(), copy.size());
}

bool ReadFile(const fs::path& path, std::vector<std::uint8_t>& out)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return false;
    out.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return !file.bad();
}

// Small deterministic generator, so every run feeds the same inputs.
class XorShift {
public:
    std::uint32_t Next()
    {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 17;
        m_state ^= m_state << 5;
        return m_state;
    }

private:
    std::uint32_t m_state = 2463534242u;
};

int RunGenerated()
{
    int count = 0;
    Run({});
    ++count;
    for (int b = 0; b < 256; ++b, ++count)
        Run({static_cast<std::uint8_t>(b)});

    // Bytes that the targets give meaning to, mixed with arbitrary ones.
    static constexpr char kSpecial[] = "\x02\x03\x00\x1B~#\\&_.?0123456789COMusbvidpUSBVID2A920519";
    static const std::string kAlphabet(kSpecial, sizeof kSpecial - 1);
    XorShift rng;
    for (int k = 0; k < 2000; ++k, ++count) {
        const std::size_t length = rng.Next() % (k % 10 == 0 ? 2100 : 80);
        const bool structured = (k % 2) == 0;
        std::vector<std::uint8_t> input(length);
        for (auto& byte : input) {
            const std::uint32_t r = rng.Next();
            byte = structured ? static_cast<std::uint8_t>(kAlphabet[r % kAlphabet.size()]) : static_cast<std::uint8_t>(r);
        }
        Run(input);
    }
    return count;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR...\n", argv[0]);
        return 2;
    }
    int files = 0;
    for (int a = 1; a < argc; ++a) {
        std::error_code ec;
        std::vector<fs::path> paths;
        for (fs::directory_iterator it(argv[a], ec), end; !ec && it != end; it.increment(ec))
            if (it->is_regular_file())
                paths.push_back(it->path());
        if (ec) {
            std::fprintf(stderr, "cannot read corpus folder %s: %s\n", argv[a], ec.message().c_str());
            return 2;
        }
        std::sort(paths.begin(), paths.end());
        for (const fs::path& path : paths) {
            std::vector<std::uint8_t> input;
            if (!ReadFile(path, input)) {
                std::fprintf(stderr, "cannot read %s\n", path.c_str());
                return 2;
            }
            Run(input);
            ++files;
        }
    }
    if (files == 0) {
        // An empty or misplaced corpus must not pass unnoticed.
        std::fprintf(stderr, "no corpus files found\n");
        return 2;
    }
    const int generated = RunGenerated();
    std::printf("%d corpus files and %d generated inputs passed\n", files, generated);
    return 0;
}
