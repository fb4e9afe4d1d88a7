// Runs a fuzz target without libFuzzer, as a short deterministic test:
// every seed in the corpus directory given as the first argument, then a
// fixed number (second argument, default 5000) of random mutations of them
// from a fixed start, so that every run tries the same inputs. The target
// aborts on a broken invariant. With NATD_FUZZ_SAVE=PATH each input is
// written to PATH before it runs, so a crash leaves it there.
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
    // One to four changes: a bit flipped, a byte set to a random or a boundary
    // value, bytes inserted or erased, a piece of a seed spliced in.
    for (int k = i < seeds.size() ? 0 : 1 + int(rng() % 4); k > 0; --k) {
      size_t at = b.empty() ? 0 : rng() % b.size();
      const std::vector<uint8_t> &other = seeds[rng() % seeds.size()];
      size_t from = other.empty() ? 0 : rng() % other.size();
      uint8_t *p = b.empty() ? nullptr : &b[at];
      switch (rng() % 6) {
        case 0: if (p) *p ^= uint8_t(1u << rng() % 8); break;
        case 1: if (p) *p = uint8_t(rng()); break;
        case 2: if (p) *p = "\x00\x01\x7F\x80\xFF"[rng() % 5]; break;
        case 3: b.insert(b.begin() + long(at), 1 + rng() % 8, uint8_t(rng())); break;
        case 4: b.erase(b.begin() + long(at), b.begin() + long(std::min(b.size(), at + 1 + rng() % 16))); break;
        default:
          b.insert(b.begin() + long(at), other.begin() + long(from), other.begin() + long(std::min(other.size(), from + rng() % 64)));
      }
    }
    if (const char *save = getenv("NATD_FUZZ_SAVE"))
      std::ofstream(save, std::ios::binary).write(reinterpret_cast<const char *>(b.data()), long(b.size()));
    LLVMFuzzerTestOneInput(b.data(), b.size());
  }
  printf("%zu seeds and %ld mutations ran\n", names.size(), mutations);
  return 0;
}
