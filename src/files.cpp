#include "files.hpp"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <limits>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

constexpr std::size_t no_dot = static_cast<std::size_t>(-1);

// How far the drive and directory of `path` reach, and where its last dot
// after them stands (no_dot if none). The walk goes character by character,
// so that the trail byte of a double-byte character is never taken for a
// separator or a dot.
void split_path(const char* path, std::size_t* directory_end,
                std::size_t* dot) {
  std::size_t i = (path[0] != '\0' && path[1] == ':') ? 2 : 0;
  *directory_end = i;
  *dot = no_dot;
#ifndef _WIN32
  std::mblen(nullptr, 0);
#endif
  while (path[i] != '\0') {
    if (path[i] == '/' || path[i] == '\\') {
      *directory_end = i + 1;
      *dot = no_dot;
    } else if (path[i] == '.') {
      *dot = i;
    }
#ifdef _WIN32
    // Windows turns narrow paths into names with the active ANSI code
    // page, not with the C library's locale, so that code page decides.
    bool lead = IsDBCSLeadByte(static_cast<BYTE>(path[i])) != 0;
    i += lead && path[i + 1] != '\0' ? 2 : 1;
#else
    int step = std::mblen(path + i, MB_CUR_MAX);
    i += step > 0 ? static_cast<std::size_t>(step) : 1;
#endif
  }
}

#ifdef _WIN32
int open_descriptor(const char* path, bool create) {
  return create ? _open(path, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY,
                        _S_IREAD | _S_IWRITE)
                : _open(path, _O_RDONLY | _O_BINARY);
}

int is_regular(int fd) {
  struct _stat64 status;
  return _fstat64(fd, &status) == 0 && (status.st_mode & _S_IFREG) != 0;
}

int sync_descriptor(int fd) { return _commit(fd) == 0; }

// Windows files carry no POSIX permission bits worth copying.
int apply_permissions(int, int) { return 1; }

int read_descriptor(int fd, char* buffer, unsigned size) {
  return _read(fd, buffer, size);
}

int write_descriptor(int fd, const char* data, unsigned size) {
  return _write(fd, data, size);
}

int close_descriptor(int fd) { return _close(fd); }

int process_id() { return _getpid(); }

// MoveFileEx without MOVEFILE_COPY_ALLOWED: the C library's rename() would
// copy across volumes straight onto the target's name, where a partial
// file could be seen, and without forcing it to disk. Without
// MOVEFILE_REPLACE_EXISTING it never replaces a file. Returns 0 on
// success; errno is EXDEV when the target is on another volume.
int move_path(const char* from, const char* to) {
  if (MoveFileExA(from, to, 0)) {
    return 0;
  }
  errno = GetLastError() == ERROR_NOT_SAME_DEVICE ? EXDEV : EACCES;
  return -1;
}

// Whether both paths lead to one existing file, which Windows tells by its
// volume and file index; the spelling of a name (case, drive, "..") says
// nothing.
int names_one_file(const char* first, const char* second) {
  BY_HANDLE_FILE_INFORMATION info[2];
  const char* paths[2] = {first, second};
  for (int i = 0; i < 2; ++i) {
    HANDLE file = CreateFileA(
        paths[i], 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      return 0;
    }
    BOOL known = GetFileInformationByHandle(file, &info[i]);
    CloseHandle(file);
    if (!known) {
      return 0;
    }
  }
  return info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
         info[0].nFileIndexHigh == info[1].nFileIndexHigh &&
         info[0].nFileIndexLow == info[1].nFileIndexLow;
}
#else
int open_descriptor(const char* path, bool create) {
  if (create) {
    return open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  }
  // Without O_NONBLOCK, opening a pipe would wait for a writer forever.
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0) {
    int flags = fcntl(fd, F_GETFL);
    if (flags == -1 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1) {
      close(fd);
      return -1;
    }
  }
  return fd;
}

int is_regular(int fd) {
  struct stat status;
  return fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
}

int sync_descriptor(int fd) { return fsync(fd) == 0; }

// Owner and group first: changing them may clear the set-id bits. Where
// the process may not give the file the original's group, the group bits
// are dropped, since they would grant reading to the wrong group.
int apply_permissions(int from, int to) {
  struct stat status;
  if (fstat(from, &status) != 0) {
    return 0;
  }
  mode_t mode = status.st_mode & 07777;
  if (fchown(to, status.st_uid, status.st_gid) != 0) {
    mode &= static_cast<mode_t>(~S_ISUID);
    if (fchown(to, static_cast<uid_t>(-1), status.st_gid) != 0) {
      mode &= static_cast<mode_t>(~(S_ISGID | S_IRWXG));
    }
  }
  return fchmod(to, mode) == 0;
}

ssize_t read_descriptor(int fd, char* buffer, std::size_t size) {
  ssize_t count;
  do {
    count = read(fd, buffer, size);
  } while (count < 0 && errno == EINTR);
  return count;
}

ssize_t write_descriptor(int fd, const char* data, std::size_t size) {
  ssize_t count;
  do {
    count = write(fd, data, size);
  } while (count < 0 && errno == EINTR);
  return count;
}

int close_descriptor(int fd) { return close(fd); }

int process_id() { return static_cast<int>(getpid()); }

int move_path(const char* from, const char* to) {
  return std::rename(from, to);
}

// rename() itself succeeds when both paths name one file.
int names_one_file(const char*, const char*) { return 0; }
#endif

// Every this many bytes written, the disk is asked to start on them, so
// that it works while the rest is still being produced and the fsync
// before the final rename has little left to do.
constexpr std::size_t writeback_step = std::size_t{8} << 20;

#ifdef __linux__
void start_writeback(int fd) {
  // Only a hint: a failure here leaves the work to the fsync.
  sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
}
#else
void start_writeback(int) {}
#endif

// Copies the whole of `from` to `to`; 1 on success.
int copy_descriptor(int from, int to) {
  static char buffer[1 << 16];
  for (;;) {
    auto count = read_descriptor(from, buffer, sizeof buffer);
    if (count < 0) {
      return 0;
    }
    if (count == 0) {
      return 1;
    }
    for (decltype(count) done = 0; done < count;) {
      auto written = write_descriptor(to, buffer + done,
                                      static_cast<unsigned>(count - done));
      if (written <= 0) {
        return 0;
      }
      done += written;
    }
  }
}

// Creates a new owner-only file in the directory of `target`, under a
// name that nothing else uses, and leaves its path in `path`.
int create_beside(const char* target, char* path, std::size_t size) {
  std::size_t directory_end;
  std::size_t dot;
  split_path(target, &directory_end, &dot);
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    int length = std::snprintf(path, size, "%.*s.cnfupgrade-%d-%u.tmp",
                               static_cast<int>(directory_end), target,
                               process_id(), attempt);
    if (length < 0 || static_cast<std::size_t>(length) >= size) {
      return -1;
    }
    int fd = open_descriptor(path, true);
    if (fd >= 0 || errno != EEXIST) {
      return fd;
    }
  }
  return -1;
}

// A rename cannot cross file systems. Copy the data to a new file beside
// the target and rename that into place, so that the target's name never
// holds a partial file; only then is the source removed.
int move_across(const char* from, const char* to) {
  char beside[text_size * 2];
  int in = open_descriptor(from, false);
  if (in < 0) {
    return 0;
  }
  int out = create_beside(to, beside, sizeof beside);
  if (out < 0) {
    close_descriptor(in);
    return 0;
  }
  int ok = copy_descriptor(in, out) && apply_permissions(in, out) &&
           sync_descriptor(out);
  ok = (close_descriptor(out) == 0) && ok;
  close_descriptor(in);
  if (ok && move_path(beside, to) == 0) {
    // The target is complete now; a scratch file that cannot be removed
    // is reported but does not undo the move.
    remove_file(from);
    return 1;
  }
  // A partial copy of the configuration left beside it would hold its
  // text unseen: say so when it cannot be removed.
  remove_file(beside);
  return 0;
}

}  // namespace

std::FILE* open_file(const char* path, const char* mode) {
  bool create = mode[0] == 'w';
  std::FILE* stream = nullptr;
  int fd = open_descriptor(path, create);
  if (fd >= 0) {
#ifdef _WIN32
    stream = _fdopen(fd, create ? "wb" : "rb");
#else
    stream = fdopen(fd, create ? "wb" : "rb");
#endif
    if (stream == nullptr) {
      close_descriptor(fd);
      // The file just created would block every later upgrade; one that
      // cannot be removed is reported, not left behind in silence.
      if (create) {
        remove_file(path);
      }
    }
  }
  if (stream == nullptr) {
    std::printf("Can't open %s.\n", path);
    return nullptr;
  }
  // The callers read and write in large blocks of their own; a second
  // layer of buffering would only copy every byte once more.
  std::setvbuf(stream, nullptr, _IONBF, 0);
  return stream;
}

int close_file(const char* path, std::FILE* stream) {
  int ok = std::fclose(stream) == 0;
  if (!ok) {
    std::printf("Can't close %s.\n", path);
  }
  return ok;
}

int remove_file(const char* path) {
  // unlink, not remove: a directory at the path is never deleted.
#ifdef _WIN32
  int ok = _unlink(path) == 0 || errno == ENOENT;
#else
  int ok = unlink(path) == 0 || errno == ENOENT;
#endif
  if (!ok) {
    std::printf("Can't remove %s.\n", path);
  }
  return ok;
}

// Windows may refuse to move a file onto its own name; that move, of a
// configuration named like the scratch file, is done already.
int rename_file(const char* from, const char* to) {
  int ok = move_path(from, to) == 0;
  if (!ok) {
    ok = errno == EXDEV ? move_across(from, to) : names_one_file(from, to);
  }
  if (!ok) {
    std::printf("Can't rename %s to %s.\n", from, to);
  }
  return ok;
}

int read_block(const char* path, std::FILE* stream, char* buffer,
               std::size_t size, std::size_t* count) {
  *count = std::fread(buffer, 1, size, stream);
  // The end of a pipe or a device is no proof that the whole
  // configuration was read; only a regular file's end is.
  int ok = *count > 0 || (!std::ferror(stream) && is_regular(fileno(stream)));
  if (!ok) {
    std::printf("Can't read %s.\n", path);
  }
  return ok;
}

int seek_block(const char* path, std::FILE* stream, std::uint64_t offset) {
#ifdef _WIN32
  int ok = _fseeki64(stream, static_cast<__int64>(offset), SEEK_SET) == 0;
#else
  int ok = offset <= static_cast<std::uint64_t>(
                         std::numeric_limits<off_t>::max()) &&
           fseeko(stream, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
  if (!ok) {
    std::printf("Can't read %s.\n", path);
  }
  return ok;
}

int write_block(const char* path, std::FILE* stream, const char* data,
                std::size_t size) {
  int ok = std::fwrite(data, 1, size, stream) == size;
  if (!ok) {
    std::printf("Can't write %s.\n", path);
  }
  // Counted over all streams: a hint that reaches the next file early
  // costs nothing.
  static std::size_t since_writeback = 0;
  since_writeback += size;
  if (ok && since_writeback >= writeback_step) {
    since_writeback = 0;
    start_writeback(fileno(stream));
  }
  return ok;
}

int copy_permissions(std::FILE* from, const char* to_path, std::FILE* to) {
  int ok = apply_permissions(fileno(from), fileno(to));
  if (!ok) {
    std::printf("Can't set permissions of %s.\n", to_path);
  }
  return ok;
}

int commit_file(const char* path, std::FILE* stream) {
  int ok = std::fflush(stream) == 0 && sync_descriptor(fileno(stream));
  if (!ok) {
    std::printf("Can't write %s.\n", path);
  }
  return ok;
}

int change_extension(const char* path, const char* extension, char* result) {
  std::size_t directory_end;
  std::size_t dot;
  split_path(path, &directory_end, &dot);
  std::size_t base_end = dot != no_dot ? dot : std::strlen(path);
  const char* separator = extension[0] == '\0' || extension[0] == '.' ? "" : ".";
  int length = std::snprintf(result, text_size, "%.*s%s%s",
                             static_cast<int>(base_end), path, separator,
                             extension);
  if (length < 0 || static_cast<std::size_t>(length) >= text_size) {
    result[0] = '\0';
    return 0;
  }
  return 1;
}

int back_up_file(const char* name, char* backup_path) {
  if (!change_extension(name, "bak", backup_path)) {
    std::printf("Filename too long: %s.\n", name);
    return 0;
  }
  // A missing configuration keeps its old backup: the rename below then
  // fails and says so, and nothing has been removed.
#ifdef _WIN32
  struct _stat64 status;
  // Here a rename never replaces a file: an earlier backup goes first, but
  // only when the configuration is there to take its place.
  bool remove_first = _stat64(name, &status) == 0;
#else
  // Here the rename below replaces an earlier backup in one step.
  // Removing it first would let a second run on the same file delete the
  // backup this run has just made, the only copy of the original. Only a
  // directory at the backup path goes to remove_file, which refuses it.
  struct stat status;
  bool remove_first =
      lstat(backup_path, &status) == 0 && S_ISDIR(status.st_mode);
#endif
  if (remove_first && !remove_file(backup_path)) {
    return 0;
  }
  if (!rename_file(name, backup_path)) {
    return 0;
  }
  std::printf("%s backed up to %s\n", name, backup_path);
  return 1;
}
