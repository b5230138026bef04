// What one frame of raw pixels costs the writer per receiver: 1.9 MB into each of N loopback TCP
// connections, written with write() or handed over page by page with vmsplice() and splice().
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kFrame = 800 * 600 * 4;
constexpr std::size_t kBand = 256 << 10;   // the server's largest PutImage

double cpu_seconds() {
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
           static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

// N connected sockets whose far ends a child process reads and drops; the child's own work is
// not counted, but on loopback the receiving side's TCP work runs in the writer, as it does for
// telvane-server in the classroom benchmark.
struct Fan {
    std::vector<int> fds;
    pid_t reader = -1;
};

bool open_fan(int n, Fan &fan) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(listener, n) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        return false;
    for (int i = 0; i < n; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) return false;
        fan.fds.push_back(fd);
    }
    fan.reader = fork();
    if (fan.reader == 0) {
        for (int fd : fan.fds) close(fd);   // the writer's ends, or their closing would never show here
        std::vector<pollfd> far;
        for (int i = 0; i < n; ++i) far.push_back({accept(listener, nullptr, nullptr), POLLIN, 0});
        std::vector<char> sink(1 << 20);
        for (std::size_t open = far.size(); open > 0;) {
            if (poll(far.data(), far.size(), -1) < 0) _exit(1);
            for (pollfd &p : far)
                if (p.fd >= 0 && (p.revents & (POLLIN | POLLHUP)) && read(p.fd, sink.data(), sink.size()) <= 0) {
                    close(p.fd);
                    p.fd = -1;
                    --open;
                }
        }
        _exit(0);
    }
    close(listener);
    return fan.reader > 0;
}

void close_fan(Fan &fan) {
    for (int fd : fan.fds) close(fd);
    if (fan.reader > 0) waitpid(fan.reader, nullptr, 0);
}

bool write_band(int fd, const char *data, std::size_t n) {
    while (n > 0) {
        const ssize_t w = write(fd, data, n);
        if (w <= 0) return false;
        data += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

bool splice_band(int fd, const int pipe_fds[2], const char *data, std::size_t n) {
    while (n > 0) {
        iovec v{const_cast<char *>(data), n};
        const ssize_t in = vmsplice(pipe_fds[1], &v, 1, 0);
        if (in <= 0) return false;
        for (ssize_t left = in; left > 0;) {
            const ssize_t w = splice(pipe_fds[0], nullptr, fd, nullptr, static_cast<std::size_t>(left), SPLICE_F_MORE);
            if (w <= 0) return false;
            left -= w;
        }
        data += in;
        n -= static_cast<std::size_t>(in);
    }
    return true;
}

// The writer's processor time per frame, in ms, for `frames` frames to each of `n` receivers.
double run(int n, bool spliced, int frames, const char *frame) {
    Fan fan;
    int pipe_fds[2] = {-1, -1};
    if (!open_fan(n, fan) || pipe(pipe_fds) != 0) {
        std::perror("fanout_bench");
        std::exit(1);
    }
    fcntl(pipe_fds[1], F_SETPIPE_SZ, static_cast<int>(kBand));
    const char header[24] = {};
    const double t0 = cpu_seconds();
    for (int f = 0; f < frames; ++f)
        for (int fd : fan.fds)
            for (std::size_t at = 0; at < kFrame; at += kBand) {
                const std::size_t len = std::min(kBand, kFrame - at);
                if (!write_band(fd, header, sizeof header) ||
                    !(spliced ? splice_band(fd, pipe_fds, frame + at, len) : write_band(fd, frame + at, len))) {
                    std::perror("fanout_bench");
                    std::exit(1);
                }
            }
    const double ms = (cpu_seconds() - t0) * 1000 / frames;
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    close_fan(fan);
    return ms;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const int frames = argc > 2 ? std::max(1, std::atoi(argv[2])) : 100;
    // Page-aligned and never written again once filled, as a frame handed to vmsplice must be.
    char *frame = static_cast<char *>(mmap(nullptr, kFrame, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    if (frame == MAP_FAILED) return 1;
    std::mt19937 random(1);
    for (std::size_t i = 0; i < kFrame; ++i) frame[i] = i % 4 == 3 ? 0 : static_cast<char>(random());
    const int counts[] = {1, 8, 32};
    std::printf("| receivers | write(): ms a frame | per receiver | vmsplice + splice: ms a frame | per receiver |\n");
    std::printf("|---|---|---|---|---|\n");
    for (int n : counts) {
        std::vector<double> written, spliced;
        for (int r = 0; r < rounds; ++r) {
            written.push_back(run(n, false, frames, frame));
            spliced.push_back(run(n, true, frames, frame));
        }
        const double w = median(written), s = median(spliced);
        std::printf("| %d | %.3f | %.3f | %.3f | %.3f |\n", n, w, w / n, s, s / n);
    }
    munmap(frame, kFrame);
    return 0;
}
