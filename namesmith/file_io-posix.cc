// POSIX: the source is mapped privately rather than copied into the heap,
// and the destination is written by letting the kernel copy every page that
// the walk left as it was in the source, so a patch of a large collection
// moves only its name tables through this process.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

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
  int Release() {
    const int released = fd;
    fd = -1;
    return released;
  }
  int fd;
};

// Reads up to `count` bytes, retrying short reads; the count actually read.
size_t ReadFully(int fd, uint8_t* buffer, size_t count) {
  size_t done = 0;
  while (done < count) {
    const ssize_t n = read(fd, buffer + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

bool WriteAt(int fd, const uint8_t* bytes, size_t count, off_t at) {
  size_t done = 0;
  while (done < count) {
    const ssize_t n = pwrite(fd, bytes + done, count - done, at + done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Copies [at, at + count) of `from` to the same place in `to` inside the
// kernel. False when the kernel cannot; the caller then writes the bytes.
bool CopyRange(int from, int to, size_t count, off_t at) {
  off_t in = at, out = at;
  while (count > 0) {
    const ssize_t n = copy_file_range(from, &in, to, &out, count, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    count -= static_cast<size_t>(n);
  }
  return true;
}

// For each page of a private file mapping: true when the page may differ
// from the file, that is, when this process has written to it (the page is
// then anonymous, in memory or in swap). Empty when the kernel does not tell.
std::vector<bool> WrittenPages(const uint8_t* mapping, size_t length, size_t pageSize) {
  constexpr uint64_t PRESENT = 1ull << 63, SWAPPED = 1ull << 62, FILE_PAGE = 1ull << 61;
  const size_t pages = (length + pageSize - 1) / pageSize;
  std::vector<uint64_t> entries(pages);
  Descriptor pagemap(open("/proc/self/pagemap", O_RDONLY | O_CLOEXEC));
  const off_t first = static_cast<off_t>(reinterpret_cast<uintptr_t>(mapping) / pageSize * 8);
  if (pagemap.fd < 0 ||
      pread(pagemap.fd, entries.data(), pages * 8, first) != static_cast<ssize_t>(pages * 8)) {
    return {};
  }
  std::vector<bool> written(pages);
  for (size_t i = 0; i < pages; ++i) {
    const uint64_t e = entries[i];
    written[i] = (e & SWAPPED) != 0 || ((e & PRESENT) != 0 && (e & FILE_PAGE) == 0);
  }
  return written;
}

// Writes the whole buffer to `fd`: pages the walk did not touch are copied
// from the source file by the kernel, the others written from memory.
bool WriteBuffer(int fd, const FileBuffer& buffer) {
  const size_t pageSize = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const std::vector<bool> written =
      buffer.mapped ? WrittenPages(buffer.bytes, buffer.size, pageSize) : std::vector<bool>{};
  if (written.empty()) return WriteAt(fd, buffer.bytes, buffer.size, 0);

  size_t at = 0;
  while (at < buffer.size) {
    // A run of pages of one kind.
    const bool dirty = written[at / pageSize];
    size_t end = at;
    while (end < buffer.size && written[end / pageSize] == dirty) end += pageSize;
    if (end > buffer.size) end = buffer.size;
    const int source = static_cast<int>(buffer.source);
    if (dirty || !CopyRange(source, fd, end - at, static_cast<off_t>(at))) {
      if (!WriteAt(fd, buffer.bytes + at, end - at, static_cast<off_t>(at))) return false;
    }
    at = end;
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

FileBuffer::~FileBuffer() {
  if (mapped) {
    munmap(bytes, size);
  } else {
    free(bytes);
  }
  if (source >= 0) close(static_cast<int>(source));
}

LoadResult LoadWholeFile(const char* path, FileBuffer* buffer) {
  Descriptor file(open(path, O_RDONLY | O_CLOEXEC));
  struct stat st;
  if (file.fd < 0 || fstat(file.fd, &st) != 0) return LOAD_NOT_FOUND;
  // The buffer's size is a 32-bit count: a larger file cannot be held.
  if (static_cast<uint64_t>(st.st_size) > 0xFFFFFFFFu) return LOAD_NO_MEMORY;
  buffer->size = static_cast<uint32_t>(st.st_size);

  if (S_ISREG(st.st_mode) && buffer->size > 0) {
    void* mapping =
        mmap(nullptr, buffer->size, PROT_READ | PROT_WRITE, MAP_PRIVATE, file.fd, 0);
    if (mapping != MAP_FAILED) {
      buffer->bytes = static_cast<uint8_t*>(mapping);
      buffer->mapped = true;
      buffer->source = file.Release();
      // A file that changed size since it was measured is not the one mapped.
      struct stat now;
      const bool same = fstat(static_cast<int>(buffer->source), &now) == 0 &&
                        now.st_size == st.st_size;
      return same ? LOAD_OK : LOAD_NOT_FOUND;
    }
  }

  // Anything that cannot be mapped is read into the heap.
  buffer->bytes = static_cast<uint8_t*>(malloc(buffer->size > 0 ? buffer->size : 1));
  if (buffer->bytes == nullptr) return LOAD_NO_MEMORY;
  if (ReadFully(file.fd, buffer->bytes, buffer->size) != buffer->size) return LOAD_NOT_FOUND;
  // A file that grew since its size was taken would be patched only in part.
  uint8_t extra;
  return ReadFully(file.fd, &extra, 1) == 0 ? LOAD_OK : LOAD_NOT_FOUND;
}

bool WriteWholeFile(const char* path, const FileBuffer& buffer) {
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
  ok = ok && WriteBuffer(file.fd, buffer);
  ok = close(file.Release()) == 0 && ok;
  ok = ok && rename(temporary.c_str(), target.c_str()) == 0;
  if (!ok) unlink(temporary.c_str());
  return ok;
}
