// Every path of train_walk gives the per-sample update of the definition, with every kernel table
// this build holds and this processor runs (on aarch64 the portable and the NEON one): per sample
// (rows of the two matrices interleaved, so never fused), the fused pair of a fixed and of any
// negative count, the blocks of shared negatives, the draw-as-you-go fallback of walks too long
// to schedule, and strided matrices; and with frozen rows, which must stay bit-identical. Kernels
// may sum a dot product in another order, which now and then moves a lookup to the neighbouring
// sigmoid entry (about 3e-5 here); every fault of the update (a lost negative, a wrong sign, window
// or kernel) exceeds the 1e-3 allowed many times.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "negatives.hpp"
#include "sigmoid_table.hpp"
#include "skipgram.hpp"
#include "vec_kernels.hpp"

using namespace velmor;

namespace {

std::vector<std::pair<const VecKernels*, const char*>> supported_tables() {
  std::vector<std::pair<const VecKernels*, const char*>> tables;
  for (const NamedKernels& k : runnable_kernels()) tables.push_back({k.table, k.name});
  return tables;
}

// Both matrices in one of three layouts, starting from the same values.
enum class Layout { Separate, Interleaved, Strided };

struct Matrices {
  std::vector<float> a;
  MatrixView emb, hid;

  Matrices(Layout layout, size_t rows, size_t dim) : a(4 * rows * dim) {
    std::mt19937 gen(7);
    std::uniform_real_distribution<float> u(-0.5f, 0.5f);
    // Interleaved: emb row r, then hid row r, so their extents overlap; else hid after emb.
    const bool interleaved = layout == Layout::Interleaved;
    const ptrdiff_t step = layout == Layout::Strided ? 2 : 1;
    const ptrdiff_t row_stride = static_cast<ptrdiff_t>(dim) * (interleaved ? 2 : step);
    emb = {a.data(), rows, dim, row_stride, step};
    hid = {a.data() + (interleaved ? dim : 2 * rows * dim), rows, dim, row_stride, step};
    for (const MatrixView* m : {&emb, &hid})
      for (size_t r = 0; r < rows; ++r)
        for (size_t c = 0; c < dim; ++c) m->row(r)[c * m->col_stride] = u(gen);
  }
  float at(const MatrixView& m, size_t r, size_t c) const { return m.row(r)[c * m.col_stride]; }
};

// The definition in plain float arithmetic: for each position its window draw, then for each of
// its pairs the centre and the negatives in draw order, a negative equal to the centre skipped,
// the context's embeddings row updated last with the pair's summed error. `shared`: a position
// with pairs draws its negatives once, after its window draw, unless there are too many to hold.
// `frozen` (empty, or one entry per node): a frozen row is never written, and a pair of two
// frozen nodes is skipped, its per-pair draws included.
void defined_walk(const std::vector<uint32_t>& walk, Lcg48& rng, float alpha, int32_t window,
                  uint64_t num_negative, const UniformNegatives& negatives, Matrices& m,
                  bool shared, const std::vector<uint8_t>& frozen = {}) {
  const auto is_frozen = [&](uint32_t v) { return !frozen.empty() && frozen[v] != 0; };
  const size_t dim = m.emb.cols;
  const int64_t len = static_cast<int64_t>(walk.size());
  std::vector<float> error(dim);
  std::vector<uint32_t> drawn;
  for (int64_t i = 0; i < len; ++i) {
    const int64_t b = rng.next_int(window);
    const int64_t start = std::max<int64_t>(0, i - window + b);
    const int64_t end = std::min<int64_t>(i + window + 1 - b, len);
    const bool share_here = shared && num_negative <= (1u << 22) && end - start > 1;
    drawn.clear();
    for (uint64_t d = 0; share_here && d < num_negative; ++d) drawn.push_back(negatives.next(rng));
    for (int64_t c = start; c < end; ++c) {
      if (c == i || (is_frozen(walk[c]) && is_frozen(walk[i]))) continue;
      float* e = m.emb.row(walk[c]);
      std::fill(error.begin(), error.end(), 0.0f);
      for (uint64_t d = 0; d <= num_negative; ++d) {
        const uint32_t target = d == 0 ? walk[i] : share_here ? drawn[d - 1] : negatives.next(rng);
        if (d > 0 && target == walk[i]) continue;
        float* h = m.hid.row(target);
        float f = 0.0f;
        for (size_t j = 0; j < dim; ++j) f += e[j] * h[j];
        const std::optional<float> s = sigmoid_lookup(f);
        if (!s) continue;
        const float g = ((d == 0 ? 1.0f : 0.0f) - *s) * alpha;
        for (size_t j = 0; j < dim; ++j) error[j] += g * h[j];
        if (!is_frozen(target))
          for (size_t j = 0; j < dim; ++j) h[j] += g * e[j];
      }
      if (!is_frozen(walk[c]))
        for (size_t j = 0; j < dim; ++j) e[j] += error[j];
    }
  }
}

struct Case {
  const char* what;
  size_t nodes, dim, walk_length;
  int32_t window;
  uint64_t num_negative;
};

}  // namespace

TEST(UpdatePaths, EveryPathWithEveryKernelTableGivesThePerSampleUpdate) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "one thread: minutes under ThreadSanitizer for nothing it could find";
#endif
  fill_sigmoid_table();
  const float alpha = 0.01f;
  const std::vector<Case> cases = {
      // Few nodes: negatives often repeat or hit the centre, and the fused pair gives way.
      {"fixed count, repeats", 6, 13, 40, 3, 4},
      {"fixed count 1..8 targets", 300, 16, 60, 4, 7},
      {"fixed count, no negative", 300, 5, 30, 2, 0},
      {"any count", 300, 37, 50, 3, 12},
      {"any count, repeats", 9, 8, 30, 2, 20},
      {"beyond the fused pair", 300, 67, 20, 2, 40},
      // Schedules beyond 2^20 pairs or 2^22 negatives: drawn as the walk trains.
      {"fallback, fused", 50000, 9, 1025, 512, 3},
      {"fallback, per sample", 50000, 4, 400, 200, 40},
      {"fallback, one negative at a time", 50, 2, 2, 1, (1u << 22) + 1},
  };
  const auto tables = supported_tables();
  for (const Case& c : cases)
    for (const NegativeDraws draws : {NegativeDraws::per_pair, NegativeDraws::per_position_pairwise,
                                      NegativeDraws::per_position})
      for (const bool freeze : {false, true}) {
        const bool shared = draws != NegativeDraws::per_pair;
        // A walk over random nodes (any sequence of rows trains as a walk would).
        std::mt19937 gen(static_cast<uint32_t>(c.walk_length * 31 + c.num_negative));
        std::uniform_int_distribution<uint32_t> node(0, static_cast<uint32_t>(c.nodes - 1));
        std::vector<uint32_t> walk(c.walk_length);
        for (uint32_t& v : walk) v = node(gen);
        const UniformNegatives negatives(static_cast<int32_t>(c.nodes));
        // Two nodes of every three frozen, and the walk's first two, so that every walk has pairs
        // of two frozen nodes (skipped, with their draws), of one, and of none.
        std::vector<uint8_t> frozen;
        for (size_t v = 0; freeze && v < c.nodes; ++v)
          frozen.push_back(v % 3 != 2 || v == walk[0] || v == walk[1]);
        const Matrices start(Layout::Separate, c.nodes, c.dim);
        Matrices want(Layout::Separate, c.nodes, c.dim);
        Lcg48 want_rng = Lcg48::from_seed(99);
        defined_walk(walk, want_rng, alpha, c.window, c.num_negative, negatives, want, shared,
                     frozen);

        const auto check = [&](Layout layout, const VecKernels& table, std::string path) {
          if (shared) path += draws == NegativeDraws::per_position ? ", blocks" : ", shared";
          if (freeze) path += ", frozen";
          Matrices got(layout, c.nodes, c.dim);
          TrainScratch scratch;
          scratch.error.assign(c.dim, 0.0f);
          Lcg48 rng = Lcg48::from_seed(99);
          train_walk(walk, rng, alpha, c.window, c.num_negative, negatives, got.emb, got.hid,
                     scratch, draws, table, frozen);
          EXPECT_EQ(rng.state(), want_rng.state()) << c.what << ", " << path;
          double worst = 0.0;  // relative to the value, or absolute below 1
          const auto compare = [&](float a, float b) {
            worst = std::max(worst, std::fabs(double(a) - b) / std::max(1.0, std::fabs(double(b))));
          };
          for (size_t r = 0; r < c.nodes; ++r)
            for (size_t j = 0; j < c.dim; ++j) {
              compare(got.at(got.emb, r, j), want.at(want.emb, r, j));
              compare(got.at(got.hid, r, j), want.at(want.hid, r, j));
            }
          EXPECT_LT(worst, 1e-3) << c.what << ", " << path;
          bool kept = true;
          for (size_t r = 0; r < frozen.size(); ++r)
            for (size_t j = 0; j < c.dim && frozen[r]; ++j)
              kept = kept && got.at(got.emb, r, j) == start.at(start.emb, r, j) &&
                     got.at(got.hid, r, j) == start.at(start.hid, r, j);
          EXPECT_TRUE(kept) << c.what << ", " << path << ": a frozen row was written";
        };
        for (const auto& [table, name] : tables) {
          check(Layout::Separate, *table, std::string("fused, ") + name);
          check(Layout::Interleaved, *table, std::string("per sample, ") + name);
        }
        check(Layout::Strided, *tables[0].first, "strided");
      }
}

// One position block on every kernel table against the model in double precision: the scores,
// then the updates of both sides, every one from the rows as the block found them. Target counts
// with a form of their own (1..8) and beyond it, up to the most a block takes; column counts
// that leave a tail for every vector width.
TEST(BlockKernels, EveryTableMatchesTheDoubleModel) {
  struct Shape {
    size_t nc, nt, dim;
  };
  const std::vector<Shape> shapes = {{1, 1, 1}, {4, 6, 128}, {3, 8, 13},   {7, 9, 37},
                                     {2, 5, 3}, {8, 2, 17},  {8, 32, 131}, {5, 4, 8}};
  for (const Shape& shape : shapes)
    for (const auto& [table, name] : supported_tables()) {
      const size_t nc = shape.nc, nt = shape.nt, dim = shape.dim;
      std::mt19937 gen(static_cast<uint32_t>(nc * 1000 + nt * 10 + dim));
      std::uniform_real_distribution<float> u(-1.0f, 1.0f);
      std::vector<float> rows((nc + nt) * dim), g(nc * nt), m(nc * nc);
      for (float& x : rows) x = u(gen);
      for (float& x : g) x = 0.5f * u(gen);
      for (float& x : m) x = 0.5f * u(gen);
      const std::vector<float> before = rows;
      std::vector<float*> c(nc), t(nt);
      for (size_t a = 0; a < nc; ++a) c[a] = rows.data() + a * dim;
      for (size_t b = 0; b < nt; ++b) t[b] = rows.data() + (nc + b) * dim;
      const auto old = [&](size_t row, size_t j) { return double(before[row * dim + j]); };

      std::vector<float> s(nc * nt);
      table->block_dots(c.data(), nc, t.data(), nt, dim, s.data());
      table->block_update(g.data(), m.data(), c.data(), nc, t.data(), nt, dim);
      double worst_score = 0.0, worst_row = 0.0;
      for (size_t a = 0; a < nc; ++a)
        for (size_t b = 0; b < nt; ++b) {
          double want = 0.0;
          for (size_t j = 0; j < dim; ++j) want += old(a, j) * old(nc + b, j);
          worst_score = std::max(worst_score, std::fabs(s[a * nt + b] - want));
        }
      for (size_t j = 0; j < dim; ++j) {
        for (size_t a = 0; a < nc; ++a) {
          double want = old(a, j);
          for (size_t b = 0; b < nt; ++b) want += double(g[a * nt + b]) * old(nc + b, j);
          for (size_t e = 0; e < a; ++e) want += double(m[a * nc + e]) * old(e, j);
          worst_row = std::max(worst_row, std::fabs(c[a][j] - want));
        }
        for (size_t b = 0; b < nt; ++b) {
          double want = old(nc + b, j);
          for (size_t a = 0; a < nc; ++a) want += double(g[a * nt + b]) * old(a, j);
          worst_row = std::max(worst_row, std::fabs(t[b][j] - want));
        }
      }
      const std::string what = std::to_string(nc) + " x " + std::to_string(nt) + ", " +
                               std::to_string(dim) + " columns, " + name;
      EXPECT_LT(worst_score, 1e-4) << what;
      EXPECT_LT(worst_row, 1e-4) << what;
    }
}

// Blocks train a position as its pairs would, one after the other, at a learning rate where a
// pair moves the rows under the next one (a block that scored every context against the
// targets as the position found them would be far off): on every table, for fixed and any
// negative counts, with contexts met more than once in a window.
TEST(BlockKernels, BlocksTrainAsThePairsDo) {
  fill_sigmoid_table();
  const UniformNegatives negatives(5000);  // no negative drawn twice here
  std::mt19937 gen(3);
  std::uniform_int_distribution<uint32_t> node(0, 11);
  std::vector<uint32_t> walk(30);
  for (uint32_t& v : walk) v = node(gen);  // contexts from 12 nodes: repeats in every window
  for (const uint64_t num_negative : {0u, 5u, 12u})
    for (const auto& [table, name] : supported_tables()) {
      Matrices blocks(Layout::Separate, 5000, 21), pairs(Layout::Separate, 5000, 21);
      for (Matrices* m : {&blocks, &pairs}) {
        TrainScratch scratch;
        scratch.error.assign(21, 0.0f);
        Lcg48 rng = Lcg48::from_seed(5);
        train_walk(
            walk, rng, 0.1f, 5, num_negative, negatives, m->emb, m->hid, scratch,
            m == &blocks ? NegativeDraws::per_position : NegativeDraws::per_position_pairwise,
            *table);
      }
      double worst = 0.0;
      for (size_t i = 0; i < blocks.a.size(); ++i)
        worst = std::max(worst, std::fabs(double(blocks.a[i]) - pairs.a[i]));
      EXPECT_LT(worst, 1e-4) << num_negative << " negatives, " << name;
    }
}
