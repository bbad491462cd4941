// Drives libes_writer.so with the documents of a file (one per line) in commits of a given size:
// the writer's side of the comparison with curl posting the same bulk bodies. Prints the wall time
// and the process's CPU time (user + system, all threads) of the run, in seconds.
//   writer_driver ES_URL DOCS_FILE BULK_NUM COMMIT_DOCS [v7|v8]   (v8 by default)
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "libes_writer.h"

int main(int argc, char** argv) {
  if (argc < 5) {
    fprintf(stderr, "usage: writer_driver ES_URL DOCS_FILE BULK_NUM COMMIT_DOCS [v7|v8]\n");
    return 2;
  }
  std::vector<std::string> docs;
  std::ifstream in(argv[2]);
  for (std::string line; std::getline(in, line);) docs.push_back(line);
  std::string url = argv[1], index = "bench", dir = "/tmp", name = "writer_driver";
  const int is_v8 = argc > 5 && std::string(argv[5]) == "v7" ? 0 : 1;
  initialize_return ir = initialize(&url[0], is_v8, &index[0], atoi(argv[3]), &dir[0], &name[0]);
  if (ir.r0 != 0) {
    fprintf(stderr, "initialize: %s\n", ir.r1);
    return 1;
  }
  const size_t per_commit = static_cast<size_t>(atoi(argv[4]));
  struct rusage ru0;
  getrusage(RUSAGE_SELF, &ru0);  // after reading the file and initialize: the writing alone counts
  const double cpu_at_start =
      ru0.ru_utime.tv_sec + ru0.ru_utime.tv_usec / 1e6 + ru0.ru_stime.tv_sec + ru0.ru_stime.tv_usec / 1e6;
  auto start = std::chrono::steady_clock::now();
  for (size_t i = 0; i < docs.size(); ++i) {
    write_msg_return w = write_msg(&docs[i][0], static_cast<int>(docs[i].size()), ES_WRITER_DOC_INDEX);
    if (w.r0 != 0) {
      fprintf(stderr, "write_msg: %s\n", w.r1);
      return 1;
    }
    if ((i + 1) % per_commit == 0 || i + 1 == docs.size()) {
      need_commit_return c = need_commit();
      if (c.r0 != 0) {
        fprintf(stderr, "need_commit: %s\n", c.r1);
        return 1;
      }
    }
  }
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  const double cpu = ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
  printf("%.6f %.6f\n", secs, cpu - cpu_at_start);
  return 0;
}
