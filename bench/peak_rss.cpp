// peak-rss FILE COMMAND [ARG...]: runs the command and writes its peak resident memory, in KiB,
// to FILE. A child's peak as the kernel reports it starts from the memory of the process that
// forked it, so the benchmarks measure programs through this small one rather than directly.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  pid_t pid = fork();
  if (pid < 0) return 2;
  if (pid == 0) {
    execvp(argv[2], argv + 2);
    _exit(127);
  }
  int status = 0;
  struct rusage usage {};
  if (wait4(pid, &status, 0, &usage) != pid) return 2;
  if (FILE* f = std::fopen(argv[1], "w")) {
    std::fprintf(f, "%ld\n", usage.ru_maxrss);
    std::fclose(f);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 2;
}
