/* Writes realistic old-format configuration files for the benchmark, the
 * same bytes for the same seed on every machine.
 *
 *   gen [-l] SEED BYTES FILE          one file of about BYTES bytes
 *   gen [-l] SEED BYTES DIR COUNT     COUNT files DIR/c00000.cnf ... each
 *                                     of about BYTES bytes (DIR must exist)
 *
 * Lines end in CR LF, or in LF with -l. The mix: comments, blank lines,
 * every one of the twenty old keys with mixed indentation and delimiters,
 * lines already in the new format, near misses that must stay as they are,
 * other keys, values with colons and high bytes, and now and then a very
 * long line. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static uint64_t state;

/* splitmix64: small, fast, and the same everywhere. */
static uint64_t next(void) {
  uint64_t z = (state += 0x9e3779b97f4a7c15u);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
  return z ^ (z >> 31);
}

static unsigned pick(unsigned n) { return (unsigned)(next() % n); }

static const char *const old_keys[] = {
    "proxy_1",          "port_1",           "user_name_1",
    "logical_name_1",   "logical_password_1", "display_name_1",
    "user_name_2",      "logical_name_2",   "logical_password_2",
    "display_name_2",   "username",         "user_name",
    "logical_name",     "logical_password", "proxy_ipaddr",
    "proxy",            "port",             "register_timeout",
    "register_expires", "timer_expires"};

static const char *const new_keys[] = {
    "proxy1_address", "proxy1_port",     "line1_name",
    "line1_authname", "line1_password",  "line1_shortname",
    "line2_name",     "line2_authname",  "line2_password",
    "line2_shortname", "timer_register_expires", "timer_invite_expires"};

/* Looks like a key but is not one: wrong case, a suffix, a prefix, no
 * delimiter after it, or another character in front. */
static const char *const near_misses[] = {
    "Proxy 10.0.0.9",      "PORT 5060",          "proxy_2 10.0.0.2",
    "ports 5061",          "usernames alice",    "proxy=10.0.0.3",
    "port;5062",           "user_name_3 carol",  "xproxy 10.0.0.4",
    "#port 5063",          "register_timeouts 60", "timer_expires_2 90",
    "logical_name-1 bob",  "display_name_1=Desk", "proxy",
    "port\r",             "proxy_ipaddr2 10.0.0.5", "username\x0b alice",
    "set proxy 10.0.0.6",  "- port 5064"};

static const char *const other_keys[] = {
    "codec",   "vlan_id",     "dns_server", "ntp_server", "time_zone",
    "language", "ring_tone",  "dial_plan",  "voice_mail", "tftp_server"};

static const char *const words[] = {
    "desk",   "phone",  "lobby",  "office",  "floor",  "settings",
    "do",     "not",    "edit",   "backup",  "second", "line",
    "main",   "site",   "north",  "wing",    "B\xc3\xbcro", "caf\xc3\xa9"};

static const char *const names[] = {
    "alice", "bob", "carol", "dave", "J\xc3\xb6rg", "Ren\xc3\xa9" "e",
    "\xe7\x94\xb0\xe4\xb8\xad", "O'Brien", "anna-lena", "x1000"};

static char *out;
static size_t used;

static void put(const char *s) {
  size_t n = strlen(s);
  memcpy(out + used, s, n);
  used += n;
}

static void putc_(char c) { out[used++] = c; }

static void put_number(unsigned n) {
  char text[16];
  snprintf(text, sizeof text, "%u", n);
  put(text);
}

static void put_indentation(void) {
  static const char *const indents[] = {"", "", "", "", " ", "  ", "    ",
                                        "\t", "\t\t", " \t", "\t  "};
  put(indents[pick(sizeof indents / sizeof *indents)]);
}

static void put_delimiter(void) {
  static const char *const delimiters[] = {" ", " ", "  ", "\t", ":", ": ",
                                           ":\t", " \t"};
  put(delimiters[pick(sizeof delimiters / sizeof *delimiters)]);
}

/* Addresses, ports, names, passwords with colons and high bytes, URIs. */
static void put_value(void) {
  switch (pick(6)) {
    case 0:
      put_number(10 + pick(200));
      putc_('.');
      put_number(pick(256));
      putc_('.');
      put_number(pick(256));
      putc_('.');
      put_number(1 + pick(254));
      break;
    case 1:
      put_number(1024 + pick(64000));
      break;
    case 2:
      put(names[pick(sizeof names / sizeof *names)]);
      break;
    case 3: {
      unsigned length = 8 + pick(12);
      for (unsigned i = 0; i < length; ++i) {
        unsigned r = pick(20);
        putc_(r == 0   ? ':'
              : r == 1 ? (char)(0x80 + pick(0x80))
                       : (char)('!' + pick('~' - '!' + 1)));
      }
      break;
    }
    case 4:
      put("sip:");
      put(names[pick(sizeof names / sizeof *names)]);
      put("@pbx.example.net:");
      put_number(5060 + pick(10));
      break;
    default:
      put_number(30 + pick(3600));
      break;
  }
}

static void put_words(unsigned count) {
  for (unsigned i = 0; i < count; ++i) {
    if (i > 0) {
      putc_(' ');
    }
    put(words[pick(sizeof words / sizeof *words)]);
  }
}

static void put_line(const char *line_end) {
  unsigned kind = pick(100);
  if (kind < 10) {
    put(pick(2) ? "# " : "; ");
    put_words(1 + pick(8));
  } else if (kind < 15) {
    if (pick(3) == 0) {
      put("   ");
    }
  } else if (kind < 55) {
    put_indentation();
    put(old_keys[pick(sizeof old_keys / sizeof *old_keys)]);
    put_delimiter();
    put_value();
    if (pick(8) == 0) {
      put("  # ");
      put_words(1 + pick(3));
    }
  } else if (kind < 75) {
    put_indentation();
    put(new_keys[pick(sizeof new_keys / sizeof *new_keys)]);
    put_delimiter();
    put_value();
  } else if (kind < 89) {
    put_indentation();
    put(near_misses[pick(sizeof near_misses / sizeof *near_misses)]);
  } else if (kind < 99) {
    put_indentation();
    put(other_keys[pick(sizeof other_keys / sizeof *other_keys)]);
    put_delimiter();
    put_value();
  } else if (pick(20) == 0) {
    /* A certificate or a dial plan on one line, up to 8 KiB. */
    put_indentation();
    put("certificate ");
    unsigned length = 256 + pick(8192 - 256);
    for (unsigned i = 0; i < length; ++i) {
      putc_((char)('A' + pick(26)));
    }
  } else {
    put("[line");
    put_number(1 + pick(2));
    putc_(']');
  }
  put(line_end);
}

/* Fills `out` with lines until `bytes` is reached; returns the size. */
static size_t make_text(size_t bytes, const char *line_end) {
  used = 0;
  while (used < bytes) {
    put_line(line_end);
  }
  return used;
}

static int write_file(const char *path, size_t size) {
  FILE *f = fopen(path, "wb");
  if (f == NULL) {
    perror(path);
    return 0;
  }
  int ok = fwrite(out, 1, size, f) == size;
  ok = fclose(f) == 0 && ok;
  if (!ok) {
    perror(path);
  }
  return ok;
}

int main(int argc, char **argv) {
  const char *line_end = "\r\n";
  int first = 1;
  if (argc > 1 && strcmp(argv[1], "-l") == 0) {
    line_end = "\n";
    first = 2;
  }
  int rest = argc - first;
  if (rest != 3 && rest != 4) {
    fprintf(stderr,
            "usage: gen [-l] SEED BYTES FILE\n"
            "       gen [-l] SEED BYTES DIR COUNT\n");
    return 2;
  }
  uint64_t seed = strtoull(argv[first], NULL, 10);
  size_t bytes = strtoull(argv[first + 1], NULL, 10);
  /* The longest line is under 9 KiB; the last one may pass `bytes`. */
  out = malloc(bytes + 16384);
  if (out == NULL) {
    perror("gen");
    return 1;
  }
  if (rest == 3) {
    state = seed;
    return write_file(argv[first + 2], make_text(bytes, line_end)) ? 0 : 1;
  }
  unsigned long count = strtoul(argv[first + 3], NULL, 10);
  char path[4096];
  for (unsigned long i = 0; i < count; ++i) {
    state = seed * 1000003u + i;
    snprintf(path, sizeof path, "%s/c%05lu.cnf", argv[first + 2], i);
    if (!write_file(path, make_text(bytes, line_end))) {
      return 1;
    }
  }
  return 0;
}
