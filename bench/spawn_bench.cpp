// Cost of starting a plugin from a large multithreaded process: fork + execve against
// posix_spawn, each run being pipe2, start, read the child's stdout to EOF, waitpid, the same
// steps as a plugin run. The process first allocates and touches a heap of the given size (the
// daemon's memory grows with its services), then 1 or more threads spawn at the same time.
//
// usage: spawn_bench [program [runs_per_thread]]   (default /bin/true, 200)

#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

enum class Method { kFork, kSpawn };

const char* g_program = "/bin/true";

[[noreturn]] void die(const char* what, int err) {
  std::fprintf(stderr, "spawn_bench: %s: %s\n", what, strerror(err));
  std::exit(1);
}

void drainAndReap(int read_fd, pid_t pid) {
  char buf[1024];
  for (;;) {
    const ssize_t n = read(read_fd, buf, sizeof buf);
    if (n > 0) continue;
    if (n < 0 && errno == EINTR) continue;
    break;
  }
  close(read_fd);
  int status;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) die("waitpid", errno);
  }
  if (!WIFEXITED(status)) die("child did not exit", 0);
}

void runOnce(Method method) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) die("pipe2", errno);
  char* argv[] = {const_cast<char*>(g_program), nullptr};
  char* envp[] = {nullptr};
  pid_t pid;
  if (method == Method::kFork) {
    pid = fork();
    if (pid < 0) die("fork", errno);
    if (pid == 0) {
      if (dup2(fds[1], 1) < 0) _exit(2);
      execve(g_program, argv, envp);
      _exit(2);
    }
  } else {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    const int err = posix_spawn(&pid, g_program, &actions, nullptr, argv, envp);
    posix_spawn_file_actions_destroy(&actions);
    if (err != 0) die("posix_spawn", err);
  }
  close(fds[1]);
  drainAndReap(fds[0], pid);
}

// Returns the wall time in seconds for `threads` threads each doing `runs` runs.
double measure(Method method, int threads, int runs) {
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t)
    pool.emplace_back([method, runs] {
      for (int i = 0; i < runs; ++i) runOnce(method);
    });
  for (std::thread& th : pool) th.join();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) g_program = argv[1];
  const int runs = argc > 2 ? std::atoi(argv[2]) : 200;
  if (access(g_program, X_OK) != 0) die(g_program, errno);

  std::printf("program %s, %d runs per thread\n", g_program, runs);
  std::printf("%-8s %-12s %7s %12s %14s\n", "heap", "method", "threads", "us/run", "runs/s total");
  const long sizes_mb[] = {50, 1024};
  std::vector<char*> heap;
  long held_mb = 0;
  for (const long size_mb : sizes_mb) {
    // Grow the heap in 1 MB blocks, as many small allocations would, and touch every page.
    for (; held_mb < size_mb; ++held_mb) {
      char* block = static_cast<char*>(std::malloc(1 << 20));
      if (block == nullptr) die("malloc", ENOMEM);
      memset(block, 1, 1 << 20);
      heap.push_back(block);
    }
    for (const Method method : {Method::kFork, Method::kSpawn}) {
      for (const int threads : {1, 4}) {
        measure(method, threads, runs / 10 + 1);  // warm-up
        const double seconds = measure(method, threads, runs);
        const double total = static_cast<double>(threads) * runs;
        std::printf("%-8s %-12s %7d %12.1f %14.0f\n", (std::to_string(size_mb) + "MB").c_str(),
                    method == Method::kFork ? "fork+execve" : "posix_spawn", threads,
                    seconds * 1e6 * threads / total, total / seconds);
      }
    }
  }
  for (char* block : heap) std::free(block);
  return 0;
}
