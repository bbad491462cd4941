// Fuzz target, differential: events made from the input bytes, encoded into random chunk chains, decode
// to exactly the encoded values.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "block_encoder.h"
#include "block_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8) return 0;
  uint64_t seed;
  memcpy(&seed, data, 8);
  std::mt19937_64 rng(seed ^ size);
  cdchost::RandomEventOptions opt;
  opt.max_columns = 1 + data[0 % size] % 40;
  opt.max_rows = data[1 % size] % 5;
  opt.max_value_len = 1 + data[2 % size] * 4;
  static ostrel::ParseEvent pe;  // reused across inputs, as a worker reuses it
  static ostrel::SqlEvent ev;
  for (int k = 0; k < 4; ++k) {
    cdchost::Event e = cdchost::RandomEvent(rng, opt);
    // Splice input bytes into the values, so the fuzzer steers their content and length.
    if (!e.rows.empty() && size > 8) e.rows[0][0].assign(reinterpret_cast<const char*>(data + 8), size - 8);
    std::string stream = cdchost::EncodeFieldStream(e);
    std::vector<size_t> cuts = cdchost::RandomCuts(rng, stream.size(), 1 + data[3 % size] % 16);
    cdchost::Block b = cdchost::MakeBlockWithCuts(static_cast<uint8_t>(e.type), stream, cuts,
                                                  static_cast<cdchost::ChainOrder>(rng() % 3), rng());
    ostrel::GetEventFromBlock(&pe, b.first(), &ev);
    std::string why;
    if (!cdchost::SameEvent(e, ev, &why)) {
      fprintf(stderr, "decoded event differs: %s\n", why.c_str());
      abort();
    }
    if (ev.ev_len_ != stream.size() + 1) abort();
  }
  return 0;
}
