// Benchmark helper.
//   deflate_blocks FILE            one core compressing FILE in 1 KiB blocks,
//                                  each a complete zlib stream at level 9 (one
//                                  deflate state reset per block), and the same
//                                  on a slice with a fresh state per block.
//                                  Prints: MBps RATIO FRESH_MBps
//   deflate_blocks --text FILE N   writes N bytes of text-like data to FILE
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t Block = 1024;

double Seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int Compress(const char* path) {
    const int fd = ::open(path, O_RDONLY);
    if (fd < 0) {
        std::perror(path);
        return 1;
    }
    struct stat st {};
    ::fstat(fd, &st);
    const auto size = static_cast<std::size_t>(st.st_size);
    const auto* data =
        static_cast<const unsigned char*>(::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0));
    if (data == MAP_FAILED) {
        std::perror("mmap");
        return 1;
    }
    // Touch every page first: the timing is of compression, not of the disk.
    unsigned sum = 0;
    for (std::size_t i = 0; i < size; i += 4096)
        sum += data[i];
    if (sum == 1) std::fputc(' ', stderr);

    std::vector<unsigned char> out(compressBound(Block) + 64);
    z_stream z{};
    deflateInit(&z, 9);
    std::size_t packed = 0;
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t at = 0; at < size; at += Block) {
        const std::size_t n = std::min(Block, size - at);
        deflateReset(&z);
        z.next_in = const_cast<unsigned char*>(data + at);
        z.avail_in = static_cast<uInt>(n);
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        if (deflate(&z, Z_FINISH) != Z_STREAM_END) {
            std::fputs("deflate failed\n", stderr);
            return 1;
        }
        packed += out.size() - z.avail_out;
    }
    const double reset = Seconds(start);
    deflateEnd(&z);

    // A fresh initialise-compress-end per block, on at most 8 MiB.
    const std::size_t slice = std::min<std::size_t>(size, 8u << 20);
    const auto start2 = std::chrono::steady_clock::now();
    for (std::size_t at = 0; at < slice; at += Block) {
        uLongf len = static_cast<uLongf>(out.size());
        compress2(out.data(), &len, data + at, std::min(Block, slice - at), 9);
    }
    const double fresh = Seconds(start2);

    std::printf("%.1f %.3f %.1f\n", size / reset / 1e6, static_cast<double>(packed) / size,
                slice / fresh / 1e6);
    return 0;
}

// Lines of words from a fixed vocabulary with Zipf-like frequencies, numbers
// and punctuation: compresses roughly like prose or logs.
int Text(const char* path, long long total) {
    std::FILE* f = std::fopen(path, "wb");
    if (!f) {
        std::perror(path);
        return 1;
    }
    std::mt19937_64 rng(20100);
    std::vector<std::string> words;
    const char* letters = "etaoinshrdlcumwfgypbvkjxqz";
    for (int i = 0; i < 4000; ++i) {
        std::string w;
        const int len = 2 + static_cast<int>(rng() % 9);
        for (int k = 0; k < len; ++k)
            w += letters[std::min<int>(25,
                                       static_cast<int>((rng() % 1000) * (rng() % 1000) / 38000))];
        words.push_back(w);
    }
    std::string buf;
    long long written = 0;
    int col = 0;
    while (written < total) {
        buf.clear();
        while (buf.size() < (1u << 20)) {
            const double u = std::uniform_real_distribution<double>(0, 1)(rng);
            const auto idx = static_cast<std::size_t>(words.size() * u * u * u);
            const std::string& w = rng() % 23 == 0 ? std::to_string(rng() % 100000) : words[idx];
            buf += w;
            col += static_cast<int>(w.size()) + 1;
            if (rng() % 17 == 0) buf += ',';
            if (col > 72) {
                buf += ".\n";
                col = 0;
            } else {
                buf += ' ';
            }
        }
        const long long n =
            std::min<long long>(static_cast<long long>(buf.size()), total - written);
        std::fwrite(buf.data(), 1, static_cast<std::size_t>(n), f);
        written += n;
    }
    std::fclose(f);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--text") == 0) return Text(argv[2], std::atoll(argv[3]));
    if (argc == 2) return Compress(argv[1]);
    std::fprintf(stderr, "usage: %s FILE | --text FILE BYTES\n", argv[0]);
    return 2;
}
