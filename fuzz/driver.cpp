// Runs a fuzz target without libFuzzer, as a short deterministic test:
// every seed in the corpus directory given as the first argument, then a
// fixed number (second argument, default 5000) of random mutations of them
// from a fixed start, so that every run tries the same inputs. The target
// aborts on a broken invariant; run again with NATD_FUZZ_SAVE=FILE to find
// the input that broke it in FILE (each input is written there first).
#include <dirent.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv) {
  std::vector<std::string> names;
  DIR *dir = argc > 1 ? opendir(argv[1]) : nullptr;
  for (dirent *e; dir && (e = readdir(dir));)
    if (e->d_name[0] != '.') names.push_back(std::string(argv[1]) + "/" + e->d_name);
  if (dir) closedir(dir);
  std::sort(names.begin(), names.end());
  std::vector<std::vector<uint8_t>> seeds = {{}};
  for (const std::string &name : names) {
    std::ifstream in(name, std::ios::binary);
    seeds.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  std::mt19937 rng(1);
  long mutations = argc > 2 ? atol(argv[2]) : 5000;
  for (size_t i = 0; i < seeds.size() + size_t(mutations); i++) {
    std::vector<uint8_t> b = seeds[i < seeds.size() ? i : rng() % seeds.size()];
    // One to four changes: a bit flipped, a byte set to any value, 0 or 0xFF,
    // bytes inserted or erased, a piece of a seed spliced in.
    for (int k = i < seeds.size() ? 0 : 1 + int(rng() % 4); k > 0; --k) {
      size_t at = b.empty() ? 0 : rng() % b.size(), n = 1 + rng() % 16;
      const std::vector<uint8_t> &o = seeds[rng() % seeds.size()];  // another seed
      size_t from = o.empty() ? 0 : rng() % o.size(), to = std::min(o.size(), from + 4 * n);
      switch (b.empty() ? 1 + rng() % 3 : rng() % 4) {
        case 0: b[at] = uint8_t(rng() % 2 ? b[at] ^ 1u << rng() % 8 : rng() % 2 ? rng() : -(rng() % 2)); break;
        case 1: b.insert(b.begin() + long(at), n, uint8_t(rng())); break;
        case 2: b.erase(b.begin() + long(at), b.begin() + long(std::min(b.size(), at + n))); break;
        default: b.insert(b.begin() + long(at), o.begin() + long(from), o.begin() + long(to));
      }
    }
    if (const char *save = getenv("NATD_FUZZ_SAVE")) std::ofstream(save) << std::string(b.begin(), b.end());
    LLVMFuzzerTestOneInput(b.data(), b.size());
  }
  printf("%zu seeds and %ld mutations ran\n", names.size(), mutations);
  return 0;
}
