#include "tools/spphone-sim/endpoint.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "tools/common/parse.h"
#include "transport/stream.h"

namespace simserver {

namespace {

std::string Errno(const std::string &what) { return what + ": " + std::strerror(errno); }

std::string ParentOf(const std::string &path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

bool FillAddress(const std::string &path, sockaddr_un *addr, std::string *error) {
    std::memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    if (path.size() >= sizeof addr->sun_path) {
        *error = "socket path is longer than " + std::to_string(sizeof addr->sun_path - 1) + " bytes: " + path;
        return false;
    }
    std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
    return true;
}

// A socket file nobody listens on any more (its owner was killed) may be
// replaced; anything else at the path stays.
bool ClearStaleSocket(const std::string &path, std::string *error) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return errno == ENOENT ? true : (*error = Errno("cannot look at " + path), false);
    if (!S_ISSOCK(st.st_mode)) {
        *error = path + " exists and is not a socket";
        return false;
    }
    sockaddr_un addr;
    if (!FillAddress(path, &addr, error))
        return false;
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        *error = Errno("socket");
        return false;
    }
    const bool live = connect(probe, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    close(probe);
    if (live) {
        *error = "another device already listens on " + path;
        return false;
    }
    if (unlink(path.c_str()) != 0) {
        *error = Errno("cannot remove the stale socket " + path);
        return false;
    }
    return true;
}

// What waits for one host, between the device's delivery thread (which adds)
// and the sink's writer thread (which sends).
struct HostOut {
    sim::Device *dev = nullptr;
    int fd = -1;
    std::mutex m;
    std::condition_variable wake;
    std::vector<uint8_t> queued; // not taken by the writer yet
    size_t sending = 0;          // taken by the writer, not all sent yet
    bool closeAfter = false;     // a link report: close once the queue is out
    bool dropped = false;        // shut down: nothing more goes out
    bool stop = false;
    std::thread writer;
};

// Ends the connection: the host sees it closed, the caller's read of fd
// returns 0, what waits is freed. Called with out.m held.
void ShutLocked(HostOut &out) {
    out.dropped = true;
    std::vector<uint8_t>().swap(out.queued);
    shutdown(out.fd, SHUT_RDWR);
}

void WriteToHost(HostOut *out) {
    std::unique_lock<std::mutex> lk(out->m);
    for (;;) {
        out->wake.wait(lk, [out] { return out->stop || (!out->dropped && (!out->queued.empty() || out->closeAfter)); });
        if (out->stop)
            return;
        if (out->queued.empty()) { // a link report with nothing before it
            ShutLocked(*out);
            continue;
        }
        std::vector<uint8_t> batch;
        batch.swap(out->queued);
        out->sending = batch.size();
        lk.unlock();
        size_t done = 0;
        while (done < batch.size()) {
            ssize_t n = send(out->fd, batch.data() + done, batch.size() - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            done += static_cast<size_t>(n);
            std::lock_guard<std::mutex> g(out->m);
            out->sending = batch.size() - done;
        }
        lk.lock();
        out->sending = 0;
        if (done < batch.size())
            ShutLocked(*out);
    }
}

void FreeHostOut(HostOut *out) {
    {
        std::lock_guard<std::mutex> lk(out->m);
        out->stop = true;
        if (out->sending) // a send that waits on a host that reads nothing
            shutdown(out->fd, SHUT_RDWR);
    }
    out->wake.notify_all();
    if (out->writer.joinable())
        out->writer.join();
    delete out;
#ifdef __GLIBC__
    // What the host's answers took goes back to the system, not only to the
    // allocator, so a flood leaves no lasting mark on the process.
    malloc_trim(0);
#endif
}

// On the device's delivery thread.
void AddForHost(HostOut &out, const uint8_t *data, int32_t count, int32_t type) {
    bool drop = false;
    {
        std::lock_guard<std::mutex> lk(out.m);
        if (out.dropped)
            return;
        if (type != TALVO_TYPE_DATA) {
            // The device reports its link as changed: a stream says so by closing.
            out.closeAfter = true;
        } else if (count > 0) {
            const size_t n = static_cast<size_t>(count);
            if (out.queued.size() + out.sending + n > kHostUnreadLimit) {
                ShutLocked(out);
                drop = true;
            } else {
                out.queued.insert(out.queued.end(), data, data + n);
            }
        }
    }
    out.wake.notify_one();
    if (drop) {
        std::fprintf(stdout, "host dropped (it left more than %zu bytes unread)\n", kHostUnreadLimit);
        std::fflush(stdout);
        sim::Disconnect(out.dev); // from the delivery thread: does not wait for itself
    }
}

} // namespace

sim::Sink HostSink(sim::Device *dev, int fd) {
    std::shared_ptr<HostOut> out(new HostOut, FreeHostOut);
    out->dev = dev;
    out->fd = fd;
    try {
        out->writer = std::thread(WriteToHost, out.get());
    } catch (const std::system_error &) { // no thread: the host is not served
        std::lock_guard<std::mutex> lk(out->m);
        ShutLocked(*out);
    }
    return [out](const uint8_t *data, int32_t count, int32_t type) { AddForHost(*out, data, count, type); };
}

void RefuseHost(int fd, const std::string &why) {
    const std::string line = talvo::kRefusalPrefix + why + "\n";
    // The socket is fresh: its buffer takes one short line without waiting.
    ssize_t ignored = send(fd, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    (void)ignored;
    close(fd);
}

bool IsPrivateDirectory(const std::string &dir, std::string *error) {
    struct stat st;
    if (stat(dir.c_str(), &st) != 0) {
        *error = Errno("cannot look at " + dir);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        *error = dir + " is not a directory";
        return false;
    }
    if (st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
        *error = "directory " + dir + " is open to other users; put the socket in a directory only you can enter "
                                      "(mode 0700), or leave out the path";
        return false;
    }
    return true;
}

bool ListenUnix(const std::string &path, Endpoint *ep, std::string *error) {
    std::string socketPath = path;
    std::string madeDir;
    if (socketPath.empty()) {
        const char *base = std::getenv("XDG_RUNTIME_DIR");
        struct stat st;
        if (base == nullptr || *base == '\0' || stat(base, &st) != 0 || !S_ISDIR(st.st_mode))
            base = std::getenv("TMPDIR");
        if (base == nullptr || *base == '\0')
            base = "/tmp";
        std::string templ = std::string(base) + "/spphone-sim.XXXXXX";
        std::vector<char> buf(templ.begin(), templ.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data()) == nullptr) { // made with mode 0700
            *error = Errno("cannot make a private directory under " + std::string(base));
            return false;
        }
        madeDir = buf.data();
        socketPath = madeDir + "/device.sock";
    } else {
        if (!IsPrivateDirectory(ParentOf(socketPath), error))
            return false;
        if (!ClearStaleSocket(socketPath, error))
            return false;
    }
    auto fail = [&](const std::string &why) {
        *error = why;
        if (!madeDir.empty())
            rmdir(madeDir.c_str());
        return false;
    };
    sockaddr_un addr;
    if (!FillAddress(socketPath, &addr, error))
        return fail(*error);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return fail(Errno("socket"));
    // The socket file is born 0600: no moment in which others could connect.
    mode_t old = umask(0177);
    int rc = bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    umask(old);
    if (rc != 0) {
        std::string why = Errno("cannot bind " + socketPath);
        close(fd);
        return fail(why);
    }
    if (chmod(socketPath.c_str(), 0600) != 0 || listen(fd, 4) != 0) {
        std::string why = Errno("cannot listen on " + socketPath);
        close(fd);
        unlink(socketPath.c_str());
        return fail(why);
    }
    ep->fd = fd;
    ep->socketPath = socketPath;
    ep->privateDir = madeDir;
    ep->talvoDevice = "unix:" + socketPath;
    return true;
}

bool ListenTcp(const std::string &address, bool anyHost, Endpoint *ep, std::string *error) {
    std::string host = anyHost ? "0.0.0.0" : "127.0.0.1";
    std::string port = address;
    const size_t colon = address.rfind(':');
    if (colon != std::string::npos) {
        host = address.substr(0, colon);
        port = address.substr(colon + 1);
    }
    auto p = tools::ParseUnsigned(port, 65535, error);
    if (!p) {
        *error = "port: " + *error;
        return false;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(*p));
    if (host == "localhost")
        host = "127.0.0.1";
    if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) {
        *error = "'" + host + "' is not an IPv4 address";
        return false;
    }
    const bool loopback = (ntohl(addr.sin_addr.s_addr) >> 24) == 127;
    if (!loopback && !anyHost) {
        *error = "refusing to listen on " + host + ": the device has no access control; give --listen-any to "
                                                   "listen beyond this machine";
        return false;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = Errno("socket");
        return false;
    }
    // A restarted device takes its port back at once.
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(fd, 4) != 0) {
        *error = Errno("cannot listen on " + host + ":" + port);
        close(fd);
        return false;
    }
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    ep->fd = fd;
    const std::string shownHost = host == "0.0.0.0" ? "127.0.0.1" : host;
    ep->talvoDevice = "tcp:" + shownHost + ":" + std::to_string(ntohs(addr.sin_port));
    return true;
}

void CloseEndpoint(Endpoint *ep) {
    if (ep->fd >= 0)
        close(ep->fd);
    ep->fd = -1;
    if (!ep->socketPath.empty())
        unlink(ep->socketPath.c_str());
    if (!ep->privateDir.empty())
        rmdir(ep->privateDir.c_str());
    ep->socketPath.clear();
    ep->privateDir.clear();
}

} // namespace simserver
