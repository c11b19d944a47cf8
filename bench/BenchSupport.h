// A scratch directory for the benchmarks, removed afterwards.
#ifndef VANTREL_BENCH_BENCHSUPPORT_H
#define VANTREL_BENCH_BENCHSUPPORT_H

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace VantrelBench {

class ScratchDir {
 public:
  ScratchDir() {
    char pattern[] = "/tmp/vantrel-bench-XXXXXX";
    const char *made = mkdtemp(pattern);
    path = made != nullptr ? made : "/tmp";
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  std::string File(const std::string &name, std::size_t bytes) const {
    const std::string full = path + "/" + name;
    std::ofstream(full) << std::string(bytes, 'x');
    return full;
  }
  std::string Dir(const std::string &name, int entries) const {
    const std::string full = path + "/" + name;
    std::filesystem::create_directory(full);
    for (int i = 0; i < entries; ++i) {
      std::ofstream(full + "/entry" + std::to_string(i)) << "x";
    }
    return full;
  }
  std::string path;
};

}  // namespace VantrelBench

#endif  // VANTREL_BENCH_BENCHSUPPORT_H
