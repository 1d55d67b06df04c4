// Small holders that release a handle or a heap block when they go out of
// scope, so every path of a function, the failure paths included, releases
// exactly what it acquired.
#ifndef DEVICE_HOLDERS_H_
#define DEVICE_HOLDERS_H_

#include <windows.h>
#include <stdlib.h>

/// An open registry key; a predefined root is never held.
class KeyHolder {
 public:
  KeyHolder() : key_(NULL) {}
  ~KeyHolder() { Close(); }
  KeyHolder(const KeyHolder&) = delete;
  KeyHolder& operator=(const KeyHolder&) = delete;

  HKEY* Receive() {
    Close();
    return &key_;
  }
  HKEY Get() const { return key_; }
  void Close() {
    if (key_ != NULL) RegCloseKey(key_);  // nothing can be done about a failed close
    key_ = NULL;
  }

 private:
  HKEY key_;
};

/// An open file handle.
class FileHolder {
 public:
  explicit FileHolder(HANDLE file = INVALID_HANDLE_VALUE) : file_(file) {}
  ~FileHolder() {
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
  }
  FileHolder(const FileHolder&) = delete;
  FileHolder& operator=(const FileHolder&) = delete;

  HANDLE Get() const { return file_; }
  BOOL IsOpen() const { return file_ != INVALID_HANDLE_VALUE; }
  /// Closes the file now and tells whether the close succeeded.
  BOOL Close() {
    const BOOL closed = file_ != INVALID_HANDLE_VALUE && CloseHandle(file_);
    file_ = INVALID_HANDLE_VALUE;
    return closed;
  }

 private:
  HANDLE file_;
};

/// A heap block. Its size is taken in 64 bits, so a size computed from a
/// 32-bit count plus one, times two, cannot wrap; a size the address space
/// cannot hold fails like any refused allocation.
class HeapBlock {
 public:
  HeapBlock() : bytes_(NULL) {}
  ~HeapBlock() { Free(); }
  HeapBlock(const HeapBlock&) = delete;
  HeapBlock& operator=(const HeapBlock&) = delete;

  /// False when the block cannot be had. A request of 0 bytes succeeds.
  BOOL Allocate(unsigned long long size) {
    Free();
    if (size > (size_t)-1) return FALSE;
    bytes_ = malloc(size > 0 ? (size_t)size : 1);
    return bytes_ != NULL;
  }
  void Free() {
    free(bytes_);
    bytes_ = NULL;
  }
  BYTE* Bytes() const { return static_cast<BYTE*>(bytes_); }
  WCHAR* Chars() const { return static_cast<WCHAR*>(bytes_); }

 private:
  void* bytes_;
};

#endif  // DEVICE_HOLDERS_H_
