#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include "file_io.h"

namespace {

// Closes a descriptor on scope exit unless it was released.
struct Descriptor {
  explicit Descriptor(int fd) : fd(fd) {}
  ~Descriptor() {
    if (fd >= 0) close(fd);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int fd;
};

// Reads up to `count` bytes, retrying short reads; the count actually read.
size_t ReadFully(int fd, uint8_t* buffer, size_t count) {
  size_t done = 0;
  while (done < count) {
    ssize_t n = read(fd, buffer + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

bool WriteFully(int fd, const uint8_t* bytes, size_t count) {
  size_t done = 0;
  while (done < count) {
    ssize_t n = write(fd, bytes + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// The file a destination path stands for: a symbolic link is followed, so
// the patched bytes replace its target rather than the link.
std::string ResolveDestination(const char* path) {
  struct stat st;
  if (lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
    char resolved[PATH_MAX];
    if (realpath(path, resolved) != nullptr) return resolved;
  }
  return path;
}

// The mode a newly created file gets: 0666 less the process's umask.
mode_t NewFileMode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

}  // namespace

bool GetSourceSize(const char* path, uint64_t* size) {
  Descriptor file(open(path, O_RDONLY | O_CLOEXEC));
  struct stat st;
  if (file.fd < 0 || fstat(file.fd, &st) != 0) return false;
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool ReadWholeFile(const char* path, uint32_t size, uint8_t* buffer) {
  Descriptor file(open(path, O_RDONLY | O_CLOEXEC));
  if (file.fd < 0 || ReadFully(file.fd, buffer, size) != size) return false;
  // A file that grew since its size was taken would be patched only in part.
  uint8_t extra;
  return ReadFully(file.fd, &extra, 1) == 0;
}

bool WriteWholeFile(const char* path, uint32_t size, const uint8_t* bytes) {
  const std::string target = ResolveDestination(path);
  struct stat old;
  const bool exists = stat(target.c_str(), &old) == 0;
  if (exists && access(target.c_str(), W_OK) != 0) return false;

  // A short name of its own, so a destination name near the length limit
  // still leaves room for it.
  const size_t slash = target.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  std::string temporary = folder + ".namesmith.XXXXXX";
  Descriptor file(mkstemp(&temporary[0]));
  if (file.fd < 0) return false;

  bool ok = fchmod(file.fd, exists ? (old.st_mode & 07777) : NewFileMode()) == 0;
  if (ok && exists) {
    // Keeping the owner needs privileges most users lack; the mode is kept.
    (void)fchown(file.fd, old.st_uid, old.st_gid);
  }
  ok = ok && WriteFully(file.fd, bytes, size);
  const int fd = file.fd;
  file.fd = -1;
  ok = close(fd) == 0 && ok;
  ok = ok && rename(temporary.c_str(), target.c_str()) == 0;
  if (!ok) unlink(temporary.c_str());
  return ok;
}
