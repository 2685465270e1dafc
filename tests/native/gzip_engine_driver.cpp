// Feeds a file through ParallelGzip with a chosen thread count and block
// size, in uneven pieces through both write() and reserve()/commit(), so the
// tests can check the stream with independent gzip readers.
#include "parallel_gzip.hpp"
#include "archive_error.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s INPUT OUTPUT THREADS BLOCK_SIZE\n", argv[0]);
        return 2;
    }
    const int in = ::open(argv[1], O_RDONLY);
    const int out = ::open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0) {
        std::perror("open");
        return 2;
    }
    try {
        vexlo::archive::ParallelGzip gz(out, argv[2], static_cast<unsigned>(std::atoi(argv[3])), 9,
                                        static_cast<std::size_t>(std::atol(argv[4])));
        std::vector<char> piece(7777);
        for (bool direct = true;; direct = !direct) {
            ssize_t n;
            if (direct) {
                std::size_t available;
                char* dst = gz.reserve(available);
                n = ::read(in, dst, available);
                if (n > 0) gz.commit(static_cast<std::size_t>(n));
            } else {
                n = ::read(in, piece.data(), piece.size());
                if (n > 0) gz.write(piece.data(), static_cast<std::size_t>(n));
            }
            if (n < 0) {
                std::perror("read");
                return 2;
            }
            if (n == 0) break;
        }
        gz.finish();
    } catch (const vexlo::archive::ArchiveError& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return ::close(out) == 0 ? 0 : 1;
}
