// Benchmark helper: what the disk allows for many small files.
//   create_files DIR N
// Creates N files of 1 KiB in DIR (which must not exist yet) as a receiver
// does, each under a temporary name, written, closed and renamed. Prints the
// files per second.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s DIR N\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    const int n = std::atoi(argv[2]);
    if (::mkdir(dir.c_str(), 0755) != 0) {
        std::perror("mkdir");
        return 1;
    }
    char data[1024];
    for (std::size_t i = 0; i < sizeof data; ++i)
        data[i] = static_cast<char>(i * 131);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < n; ++i) {
        const std::string name = dir + "/f" + std::to_string(i);
        const std::string part = name + ".Recv";
        const int fd = ::open(part.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0 || ::write(fd, data, sizeof data) != sizeof data || ::close(fd) != 0 ||
            ::rename(part.c_str(), name.c_str()) != 0) {
            std::perror(part.c_str());
            return 1;
        }
    }
    const double s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%.0f\n", n / s);
}
