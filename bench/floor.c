/* The least file work an upgrade of each named file can do: move it to
 * its backup, copy the bytes through the scratch file tmp.cnf in large
 * blocks, and move the scratch file onto the name. With -s the scratch
 * file is forced to disk before that last move: the durable floor, the
 * same work the tool must do. No line is looked at.
 *
 *   floor [-s] NAME.cnf...
 */
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

/* Bigger blocks than the tool's, so that the floor is never the slower
 * one because of them. */
static char buffer[1 << 20];

static int copy(int from, int to) {
  for (;;) {
    ssize_t count = read(from, buffer, sizeof buffer);
    if (count < 0) {
      return 0;
    }
    if (count == 0) {
      return 1;
    }
    for (ssize_t done = 0; done < count;) {
      ssize_t written = write(to, buffer + done, (size_t)(count - done));
      if (written <= 0) {
        return 0;
      }
      done += written;
    }
  }
}

static int upgrade(const char *name, int durable) {
  char backup[4096];
  size_t length = strlen(name);
  if (length < 4 || length >= sizeof backup ||
      strcmp(name + length - 4, ".cnf") != 0) {
    return 0;
  }
  memcpy(backup, name, length - 4);
  memcpy(backup + length - 4, ".bak", 5);
  if (rename(name, backup) != 0) {
    return 0;
  }
  int in = open(backup, O_RDONLY);
  if (in < 0) {
    return 0;
  }
  int out = open("tmp.cnf", O_WRONLY | O_CREAT | O_EXCL, 0600);
  if (out < 0) {
    close(in);
    return 0;
  }
  int ok = copy(in, out) && (!durable || fsync(out) == 0);
  ok = close(out) == 0 && ok;
  close(in);
  return ok && rename("tmp.cnf", name) == 0;
}

int main(int argc, char **argv) {
  int first = 1;
  int durable = 0;
  if (argc > 1 && strcmp(argv[1], "-s") == 0) {
    durable = 1;
    first = 2;
  }
  int status = 0;
  for (int i = first; i < argc; ++i) {
    if (!upgrade(argv[i], durable)) {
      perror(argv[i]);
      status = 1;
    }
  }
  return status;
}
