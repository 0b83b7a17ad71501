#include "log_path_kinds.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "diag/debug_log.h"

namespace {

// Beside the log path, so that they share its (private, under the tests'
// launcher) /tmp.
const char* const LINK_TARGET = "/tmp/ostrevan.log.target";
const char* const TARGET_CONTENT = "1\n";
// Any user but this process's own: the owner of a file given away.
const uid_t OTHER_USER = 65534;

std::string file_text(const char* path)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

bool exists(const char* path)
{
    struct stat info;
    return lstat(path, &info) == 0;
}

mode_t type_at(const char* path)
{
    struct stat info;
    return lstat(path, &info) == 0 ? (info.st_mode & S_IFMT) : 0;
}

mode_t expected_type(PathKind kind)
{
    switch (kind) {
    case PathKind::LINK_TO_FILE:
    case PathKind::DANGLING_LINK:
    case PathKind::LINK_TO_DEV_NULL:
        return S_IFLNK;
    case PathKind::PIPE:
    case PathKind::PIPE_WITH_READER:
        return S_IFIFO;
    case PathKind::DIRECTORY:
        return S_IFDIR;
    case PathKind::SOCKET:
        return S_IFSOCK;
    case PathKind::DEVICE:
        return S_IFCHR;
    default:
        return S_IFREG;
    }
}

std::string errno_text(const char* call)
{
    return std::string(call) + ": " + std::strerror(errno);
}

// Bytes waiting on a non-blocking descriptor, without waiting for any.
std::string pending_bytes(int fd)
{
    std::string got;
    char buffer[256];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) {
        got.append(buffer, static_cast<size_t>(n));
    }
    return got;
}

}  // namespace

const char* path_kind_name(PathKind kind)
{
    static const char* const names[] = {
        "RegularFile",  "EmptyFile",     "Missing",    "LinkToAFile",
        "DanglingLink", "LinkToDevNull", "NamedPipe",  "NamedPipeWithAReader",
        "Directory",    "Socket",        "ZeroDevice", "HardLink",
        "OtherUsersFile",
    };
    return names[static_cast<int>(kind)];
}

bool counts_as_log_file(PathKind kind)
{
    return kind == PathKind::REGULAR || kind == PathKind::EMPTY;
}

void clear_log_path()
{
    if (unlink(LOG_PATH) != 0 && errno == EISDIR) {
        rmdir(LOG_PATH);
    }
}

ThingAtLogPath::ThingAtLogPath(PathKind kind) : kind_(kind)
{
    clear_log_path();
    unlink(LINK_TARGET);
    switch (kind) {
    case PathKind::REGULAR:
        std::ofstream(LOG_PATH, std::ios::binary) << "1";
        break;
    case PathKind::EMPTY:
        std::ofstream(LOG_PATH, std::ios::binary).flush();
        break;
    case PathKind::MISSING:
        break;
    case PathKind::LINK_TO_FILE:
        std::ofstream(LINK_TARGET, std::ios::binary) << TARGET_CONTENT;
        if (symlink(LINK_TARGET, LOG_PATH) != 0) not_placed_ = errno_text("symlink");
        break;
    case PathKind::DANGLING_LINK:
        if (symlink(LINK_TARGET, LOG_PATH) != 0) not_placed_ = errno_text("symlink");
        break;
    case PathKind::LINK_TO_DEV_NULL:
        if (symlink("/dev/null", LOG_PATH) != 0) not_placed_ = errno_text("symlink");
        break;
    case PathKind::PIPE:
    case PathKind::PIPE_WITH_READER:
        if (mkfifo(LOG_PATH, 0666) != 0) {
            not_placed_ = errno_text("mkfifo");
        } else if (kind == PathKind::PIPE_WITH_READER) {
            held_ = open(LOG_PATH, O_RDONLY | O_NONBLOCK);
            if (held_ < 0) not_placed_ = errno_text("open the pipe");
        }
        break;
    case PathKind::DIRECTORY:
        if (mkdir(LOG_PATH, 0777) != 0) not_placed_ = errno_text("mkdir");
        break;
    case PathKind::SOCKET: {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, LOG_PATH, sizeof address.sun_path - 1);
        held_ = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (held_ < 0 || bind(held_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(held_, 4) != 0) {
            not_placed_ = errno_text("socket");
        }
        break;
    }
    case PathKind::DEVICE:
        // Read, it yields no integer: taken as the switch, it would turn the
        // log on at level 1.
        if (mknod(LOG_PATH, S_IFCHR | 0666, makedev(1, 5)) != 0) not_placed_ = errno_text("mknod");
        break;
    case PathKind::HARD_LINK:
        std::ofstream(LINK_TARGET, std::ios::binary) << TARGET_CONTENT;
        if (link(LINK_TARGET, LOG_PATH) != 0) not_placed_ = errno_text("link");
        break;
    case PathKind::OTHER_USERS_FILE:
        // Writable by all, so that only the owner check keeps lines out.
        std::ofstream(LOG_PATH, std::ios::binary) << TARGET_CONTENT;
        if (chmod(LOG_PATH, 0666) != 0 || chown(LOG_PATH, OTHER_USER, OTHER_USER) != 0) {
            not_placed_ = errno_text("give the file to another user");
        }
        break;
    }
}

ThingAtLogPath::~ThingAtLogPath()
{
    if (held_ >= 0) close(held_);
    clear_log_path();
    unlink(LINK_TARGET);
}

std::string ThingAtLogPath::disturbance() const
{
    std::string found;
    if (kind_ != PathKind::MISSING && type_at(LOG_PATH) != expected_type(kind_)) {
        found += "the path holds another kind of thing now; ";
    }
    if (kind_ == PathKind::MISSING && exists(LOG_PATH)) {
        found += "something was created at the path; ";
    }
    if (kind_ == PathKind::LINK_TO_FILE && file_text(LINK_TARGET) != TARGET_CONTENT) {
        found += "the link's target now holds \"" + file_text(LINK_TARGET) + "\"; ";
    }
    if (kind_ == PathKind::HARD_LINK && file_text(LINK_TARGET) != TARGET_CONTENT) {
        found += "the linked file now holds \"" + file_text(LINK_TARGET) + "\"; ";
    }
    if (kind_ == PathKind::OTHER_USERS_FILE && file_text(LOG_PATH) != TARGET_CONTENT) {
        found += "the other user's file now holds \"" + file_text(LOG_PATH) + "\"; ";
    }
    if (kind_ == PathKind::DANGLING_LINK && exists(LINK_TARGET)) {
        found += "the link's target was created; ";
    }
    if (kind_ == PathKind::DIRECTORY) {
        if (DIR* dir = opendir(LOG_PATH)) {
            int entries = 0;
            while (readdir(dir) != nullptr) ++entries;
            closedir(dir);
            if (entries != 2) found += "the directory is not empty; ";
        }
    }
    if (kind_ == PathKind::PIPE_WITH_READER) {
        const std::string got = pending_bytes(held_);
        if (!got.empty()) found += "the reader received \"" + got + "\"; ";
    }
    if (kind_ == PathKind::SOCKET) {
        const int peer = accept4(held_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (peer >= 0) {
            close(peer);
            found += "the socket was connected to; ";
        }
    }
    return found;
}

void ThingAtLogPath::release_waiters()
{
    // Opening a pipe for reading and writing at once never waits, and counts
    // as the other end for anyone waiting in open; the level it then holds
    // lets a waiting read of the level end too.
    const int fd = open(LOG_PATH, O_RDWR | O_NONBLOCK | O_NOFOLLOW);
    if (fd >= 0) {
        (void)!write(fd, "0\n", 2);
        close(fd);
    }
}
