/* Loaded with LD_PRELOAD into the real tool, this wraps every C library call
 * by which the tool touches a file, numbers each such call (an "operation")
 * and, as the environment asks, logs it, fails it with a given errno, or
 * ends the process abruptly just before it. The fault driver runs the tool
 * once per operation with this library.
 *
 *   CNF_FAULT_LOG=path     append one line per operation:
 *                          "number<TAB>function<TAB>path[<TAB>path2]<TAB>result"
 *   CNF_FAULT_FAIL=n[,m]   fail operations n (and m) with CNF_FAULT_ERRNO
 *   CNF_FAULT_ERRNO=e[,f]  the errno numbers of those failures
 *   CNF_FAULT_CRASH=n      _exit(86) just before operation n
 *   CNF_FAULT_STOP=n       stop (SIGSTOP) just before operation n, so that a
 *                          test can run another process at that point and
 *                          then let this one go on with SIGCONT
 *   CNF_FAULT_EXDEV=1      a rename from "tmp.cnf" fails with EXDEV, as it
 *                          does when the configuration lies on another
 *                          file system than the working directory
 *
 * Calls the C library makes inside itself do not come through here, so
 * stdio is wrapped at its own entry points (fread, fwrite, fflush, fclose,
 * fdopen, fseeko) and raw descriptors at theirs. Operations on the standard
 * streams other than stdout, and on the log itself, are not counted. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#define MAX_FDS 1024
#define PATH_SIZE 512

static char fd_paths[MAX_FDS][PATH_SIZE];
static int log_fd = -2;
static long operation_count;
static long fail_at[2];
static long crash_at;
static long stop_at;
static int fail_errno[2] = {EIO, EIO};
static int last_errno = EIO;
static int cross_device;

static void set_up(void) {
  if (log_fd != -2) {
    return;
  }
  log_fd = -1;
  const char* log_path = getenv("CNF_FAULT_LOG");
  if (log_path != NULL) {
    log_fd = (int)syscall(SYS_openat, AT_FDCWD, log_path,
                          O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  }
  const char* fail = getenv("CNF_FAULT_FAIL");
  if (fail != NULL) {
    char* end;
    fail_at[0] = strtol(fail, &end, 10);
    if (*end == ',') {
      fail_at[1] = strtol(end + 1, NULL, 10);
    }
  }
  const char* crash = getenv("CNF_FAULT_CRASH");
  if (crash != NULL) {
    crash_at = strtol(crash, NULL, 10);
  }
  const char* stop = getenv("CNF_FAULT_STOP");
  if (stop != NULL) {
    stop_at = strtol(stop, NULL, 10);
  }
  const char* number = getenv("CNF_FAULT_ERRNO");
  if (number != NULL) {
    char* end;
    fail_errno[0] = fail_errno[1] = (int)strtol(number, &end, 10);
    if (*end == ',') {
      fail_errno[1] = (int)strtol(end + 1, NULL, 10);
    }
  }
  const char* exdev = getenv("CNF_FAULT_EXDEV");
  cross_device = exdev != NULL && exdev[0] == '1';
}

static const char* path_of_fd(int fd) {
  if (fd == 1) {
    return "<stdout>";
  }
  if (fd >= 0 && fd < MAX_FDS && fd_paths[fd][0] != '\0') {
    return fd_paths[fd];
  }
  return NULL;
}

static void remember_fd(int fd, const char* path) {
  if (fd >= 0 && fd < MAX_FDS) {
    snprintf(fd_paths[fd], PATH_SIZE, "%s", path);
  }
}

static void forget_fd(int fd) {
  if (fd >= 0 && fd < MAX_FDS) {
    fd_paths[fd][0] = '\0';
  }
}

static void log_line(long number, const char* function, const char* path,
                     const char* path2, const char* result) {
  if (log_fd < 0) {
    return;
  }
  char line[PATH_SIZE * 2 + 64];
  int length =
      snprintf(line, sizeof line, "%ld\t%s\t%s%s%s\t%s\n", number, function,
               path, path2 != NULL ? "\t" : "", path2 != NULL ? path2 : "",
               result);
  if (length > 0) {
    syscall(SYS_write, log_fd, line,
            (size_t)length < sizeof line ? (size_t)length : sizeof line - 1);
  }
}

/* Numbers the operation and decides its fate: 1 to fail it (errno is
 * then set), 0 to let it run. */
static int operation(const char* function, const char* path,
                     const char* path2, const char* outcome) {
  set_up();
  long number = ++operation_count;
  if (number == crash_at) {
    log_line(number, function, path, path2, "crash");
    _exit(86);
  }
  if (number == stop_at) {
    raise(SIGSTOP);
  }
  int which = number == fail_at[0] ? 0 : number == fail_at[1] ? 1 : -1;
  log_line(number, function, path, path2, which >= 0 ? "fail" : outcome);
  if (which >= 0) {
    last_errno = errno = fail_errno[which];
  }
  return which >= 0;
}

#define REAL(name)                        \
  static __typeof__(name)* real_##name;   \
  if (real_##name == NULL) {              \
    real_##name = (__typeof__(name)*)dlsym(RTLD_NEXT, #name); \
  }

/* glibc keeps a stream's error indicator in _flags; ferror() reads it. */
static void mark_stream_error(FILE* stream) { stream->_flags |= 0x0020; }

static int open_common(const char* name, const char* path, int flags,
                       mode_t mode) {
  typedef int (*open_type)(const char*, int, ...);
  static open_type real_open;
  static open_type real_open64;
  open_type* real = name[4] == '6' ? &real_open64 : &real_open;
  if (*real == NULL) {
    *real = (open_type)dlsym(RTLD_NEXT, name);
  }
  /* Coverage data that an instrumented build writes at exit is no file
   * operation of the tool: neither count nor fail it. */
  size_t length = strlen(path);
  if (length > 5 && strcmp(path + length - 5, ".gcda") == 0) {
    return (*real)(path, flags, mode);
  }
  char tagged[PATH_SIZE];
  snprintf(tagged, sizeof tagged, "%s\t%s", path,
           (flags & O_ACCMODE) == O_RDONLY ? "r" : "w");
  if (operation(name, tagged, NULL, "ok")) {
    return -1;
  }
  int fd = (*real)(path, flags, mode);
  if (fd >= 0) {
    remember_fd(fd, path);
  }
  return fd;
}

int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = (flags & O_CREAT) != 0 ? va_arg(args, mode_t) : 0;
  va_end(args);
  return open_common("open", path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = (flags & O_CREAT) != 0 ? va_arg(args, mode_t) : 0;
  va_end(args);
  return open_common("open64", path, flags, mode);
}

static int fcntl_common(const char* name, int fd, int command, long argument) {
  typedef int (*fcntl_type)(int, int, ...);
  static fcntl_type real_fcntl;
  static fcntl_type real_fcntl64;
  fcntl_type* real = name[5] == '6' ? &real_fcntl64 : &real_fcntl;
  if (*real == NULL) {
    *real = (fcntl_type)dlsym(RTLD_NEXT, name);
  }
  const char* path = path_of_fd(fd);
  if (path != NULL && operation(name, path, NULL, "ok")) {
    return -1;
  }
  return (*real)(fd, command, argument);
}

int fcntl(int fd, int command, ...) {
  va_list args;
  va_start(args, command);
  long argument = va_arg(args, long);
  va_end(args);
  return fcntl_common("fcntl", fd, command, argument);
}

int fcntl64(int fd, int command, ...) {
  va_list args;
  va_start(args, command);
  long argument = va_arg(args, long);
  va_end(args);
  return fcntl_common("fcntl64", fd, command, argument);
}

int close(int fd) {
  REAL(close);
  const char* path = path_of_fd(fd);
  int fail = path != NULL && operation("close", path, NULL, "ok");
  forget_fd(fd);
  int result = real_close(fd);
  /* A failed close still releases the descriptor on Linux. */
  if (fail) {
    errno = last_errno;
    return -1;
  }
  return result;
}

ssize_t read(int fd, void* buffer, size_t size) {
  REAL(read);
  const char* path = path_of_fd(fd);
  if (path != NULL && operation("read", path, NULL, "ok")) {
    return -1;
  }
  return real_read(fd, buffer, size);
}

ssize_t write(int fd, const void* data, size_t size) {
  REAL(write);
  const char* path = fd == 1 ? NULL : path_of_fd(fd);
  if (path != NULL && operation("write", path, NULL, "ok")) {
    return -1;
  }
  return real_write(fd, data, size);
}

int fsync(int fd) {
  REAL(fsync);
  const char* path = path_of_fd(fd);
  if (path != NULL && operation("fsync", path, NULL, "ok")) {
    return -1;
  }
  return real_fsync(fd);
}

/* Only a hint to start writing out; the tool ignores how it ends. */
int sync_file_range(int fd, off64_t offset, off64_t size, unsigned flags) {
  REAL(sync_file_range);
  const char* path = path_of_fd(fd);
  if (path != NULL && operation("sync_file_range", path, NULL, "ok")) {
    return -1;
  }
  return real_sync_file_range(fd, offset, size, flags);
}

int fchown(int fd, uid_t owner, gid_t group) {
  REAL(fchown);
  const char* path = path_of_fd(fd);
  if (path != NULL && operation("fchown", path, NULL, "ok")) {
    return -1;
  }
  return real_fchown(fd, owner, group);
}

int fchmod(int fd, mode_t mode) {
  REAL(fchmod);
  const char* path = path_of_fd(fd);
  if (path != NULL && operation("fchmod", path, NULL, "ok")) {
    return -1;
  }
  return real_fchmod(fd, mode);
}

int fstat(int fd, struct stat* status) {
  REAL(fstat);
  const char* path = path_of_fd(fd);
  if (path != NULL && operation("fstat", path, NULL, "ok")) {
    return -1;
  }
  return real_fstat(fd, status);
}

int fstat64(int fd, struct stat64* status) {
  REAL(fstat64);
  const char* path = path_of_fd(fd);
  if (path != NULL && operation("fstat64", path, NULL, "ok")) {
    return -1;
  }
  return real_fstat64(fd, status);
}

int lstat(const char* path, struct stat* status) {
  REAL(lstat);
  if (operation("lstat", path, NULL, "ok")) {
    return -1;
  }
  return real_lstat(path, status);
}

int lstat64(const char* path, struct stat64* status) {
  REAL(lstat64);
  if (operation("lstat64", path, NULL, "ok")) {
    return -1;
  }
  return real_lstat64(path, status);
}

int unlink(const char* path) {
  REAL(unlink);
  if (operation("unlink", path, NULL, "ok")) {
    return -1;
  }
  return real_unlink(path);
}

int remove(const char* path) {
  REAL(remove);
  if (operation("remove", path, NULL, "ok")) {
    return -1;
  }
  return real_remove(path);
}

int rename(const char* from, const char* to) {
  REAL(rename);
  int moves_across = cross_device && strcmp(from, "tmp.cnf") == 0;
  if (operation("rename", from, to, moves_across ? "exdev" : "ok")) {
    return -1;
  }
  if (moves_across) {
    errno = EXDEV;
    return -1;
  }
  return real_rename(from, to);
}

FILE* fdopen(int fd, const char* mode) {
  REAL(fdopen);
  const char* path = path_of_fd(fd);
  if (path != NULL && operation("fdopen", path, NULL, "ok")) {
    return NULL;
  }
  return real_fdopen(fd, mode);
}

static const char* path_of_stream(FILE* stream) {
  return stream != NULL ? path_of_fd(fileno(stream)) : NULL;
}

size_t fread(void* buffer, size_t size, size_t count, FILE* stream) {
  REAL(fread);
  const char* path = path_of_stream(stream);
  if (path != NULL && operation("fread", path, NULL, "ok")) {
    mark_stream_error(stream);
    return 0;
  }
  return real_fread(buffer, size, count, stream);
}

size_t fwrite(const void* data, size_t size, size_t count, FILE* stream) {
  REAL(fwrite);
  const char* path = path_of_stream(stream);
  if (path != NULL && operation("fwrite", path, NULL, "ok")) {
    /* A full disk takes part of the data before it refuses the rest. */
    size_t written = real_fwrite(data, size, count / 2, stream);
    mark_stream_error(stream);
    errno = last_errno;
    return written;
  }
  return real_fwrite(data, size, count, stream);
}

int fflush(FILE* stream) {
  REAL(fflush);
  const char* path = path_of_stream(stream);
  if (path != NULL && operation("fflush", path, NULL, "ok")) {
    mark_stream_error(stream);
    return EOF;
  }
  return real_fflush(stream);
}

int fclose(FILE* stream) {
  REAL(fclose);
  const char* path = path_of_stream(stream);
  int fail = path != NULL && operation("fclose", path, NULL, "ok");
  if (stream != NULL) {
    forget_fd(fileno(stream));
  }
  /* The stream is released even when its close reports an error. */
  int result = real_fclose(stream);
  if (fail) {
    errno = last_errno;
    return EOF;
  }
  return result;
}

int fseeko(FILE* stream, off_t offset, int whence) {
  REAL(fseeko);
  const char* path = path_of_stream(stream);
  if (path != NULL && operation("fseeko", path, NULL, "ok")) {
    return -1;
  }
  return real_fseeko(stream, offset, whence);
}

int fseeko64(FILE* stream, off64_t offset, int whence) {
  REAL(fseeko64);
  const char* path = path_of_stream(stream);
  if (path != NULL && operation("fseeko64", path, NULL, "ok")) {
    return -1;
  }
  return real_fseeko64(stream, offset, whence);
}
