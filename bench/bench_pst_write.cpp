// Writes one generated PST through the writer and prints the time, the
// rate in MB/s and in messages per second, and the peak resident memory;
// then copies the finished file with cp (and syncs the copy, as the writer
// syncs its file) and prints cp's rate beside it. Content generation is
// part of the writer's figure.
//
// usage: bench_pst_write OUT.pst [--messages N] [--folders N]
//        [--attachments-per-message N] [--attachment-size BYTES]

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "mapi/pst/writer/generator.h"

namespace pst = varnolt::mapi::pst;

namespace {

double seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_pst_write OUT.pst [--messages N] [--folders N] "
                         "[--attachments-per-message N] [--attachment-size BYTES]\n");
    return 1;
  }
  std::string out = argv[1];
  pst::GeneratorOptions o;
  o.messages = 100000;
  o.folders = 100;
  o.attachmentsPerMessage = 0;
  for (int i = 2; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    double v = std::atof(argv[i + 1]);
    if (a == "--messages") o.messages = static_cast<std::uint64_t>(v);
    else if (a == "--folders") o.folders = static_cast<std::uint32_t>(v);
    else if (a == "--attachments-per-message") o.attachmentsPerMessage = v;
    else if (a == "--attachment-size") o.attachmentSize = static_cast<std::uint64_t>(v);
  }

  auto start = std::chrono::steady_clock::now();
  pst::GeneratorTotals t = pst::generatePst(out, o);
  double writeTime = seconds(start);
  struct rusage ru {};
  getrusage(RUSAGE_SELF, &ru);
  double size = static_cast<double>(std::filesystem::file_size(out));
  // CPU time beside the wall clock: on a busy machine the two part ways.
  double cpu = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
               static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
  std::printf("write: %.0f MB in %.2f s = %.1f MB/s, %llu messages = %.0f messages/s, peak RSS %.1f MiB\n",
              size / 1e6, writeTime, size / 1e6 / writeTime, static_cast<unsigned long long>(t.messages),
              static_cast<double>(t.messages) / writeTime, static_cast<double>(ru.ru_maxrss) / 1024.0);
  std::printf("       CPU %.2f s = %.0f messages per CPU second\n", cpu, static_cast<double>(t.messages) / cpu);

  std::string copy = out + ".cp";
  std::string command = "cp '" + out + "' '" + copy + "'";
  start = std::chrono::steady_clock::now();
  int rc = std::system(command.c_str());
  int fd = ::open(copy.c_str(), O_RDONLY);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
  double cpTime = seconds(start);
  std::filesystem::remove(copy);
  if (rc != 0) {
    std::fprintf(stderr, "cp failed\n");
    return 1;
  }
  std::printf("cp:    %.0f MB in %.2f s = %.1f MB/s (writer at %.0f%% of cp)\n", size / 1e6, cpTime,
              size / 1e6 / cpTime, 100.0 * cpTime / writeTime);
  return 0;
}
