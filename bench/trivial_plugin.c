/* The benchmark's trivial plugin: prints one line and exits 0. Built static, so that a run
 * costs one exec and no dynamic loading.
 *
 *   trivial_plugin [STARTS_FILE ID [ppid]]
 *
 * With two arguments it first appends "ID START_NS\n" to STARTS_FILE, START_NS being the
 * wall-clock time at which it started, in nanoseconds since the epoch; with a third, "ID START_NS
 * PPID\n", PPID being the daemon that started it. The file is opened with O_APPEND and each line
 * is one write, so lines of plugins running at the same time never mix. The service's argument
 * line passes "$SERID" as ID. */

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char** argv) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  if (argc >= 3) {
    char line[96];
    const long long ns = (long long)now.tv_sec * 1000000000LL + now.tv_nsec;
    const int n = argc >= 4
                      ? snprintf(line, sizeof line, "%s %lld %d\n", argv[2], ns, (int)getppid())
                      : snprintf(line, sizeof line, "%s %lld\n", argv[2], ns);
    const int fd = open(argv[1], O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0 && n > 0 && (size_t)n < sizeof line) {
      if (write(fd, line, (size_t)n) != n) return 3;
    }
    if (fd >= 0) close(fd);
  }
  static const char kOutput[] = "OK - trivial plugin\n";
  if (write(1, kOutput, sizeof kOutput - 1) != (ssize_t)(sizeof kOutput - 1)) return 3;
  return 0;
}
